#include "typing/funnel/elem_rule.hpp"

#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/fast_types.hpp"
#include "typing/funnel/classify.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <array>

namespace vesk::typing::funnel {

namespace {

// An exact-class object candidate is refused only when its class may be
// partial and the value says it is.
int object_matches(PyObject* cls, PyObject* value) {
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(cls)) return 0;
    const int maybe = is_maybe_partial(value);
    if (maybe <= 0) return maybe < 0 ? -1 : 1;
    const int partial = read_sym_partial(value);
    return partial < 0 ? -1 : !partial;
}

// What an element spec that is the native Any, Dict or neither allows,
// read in one shared borrow.
struct ContainerFacts {
    bool is_any = false;
    bool is_dict = false;
    bool plain = false;
    py::Ref schema;
};

bool container_facts(PyObject* spec, ContainerFacts& out) {
    if (!is_spec(spec)) return true;
    py::SharedBorrow b(spec_borrow(spec));
    if (!b.acquire()) return false;
    const SpecEngine& e = spec_engine(spec);
    out.plain = !e.frozen && !e.transform;
    out.is_any = e.id() == KindId::Any;
    if (const auto* d = kind_as<DictKind>(e.kind)) {
        out.is_dict = true;
        out.schema = d->schema;
    }
    return true;
}

// Whether the exact dict `d` has `n` entries and only str keys (subclasses
// count): a key of any other class that merely compares like a constant
// key must reach the general road, which refuses it. Type tests only, so
// the scan holds the dict's lock.
bool str_keys_only(PyObject* d, Py_ssize_t n) {
    py::CriticalSection guard(d);
    if (PyDict_GET_SIZE(d) != n) return false;
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_Check(k)) return false;
    return true;
}

// Whether dict key `k` is exactly the constant text `text`, decided with
// no Python code: the same object, or an exact str with the same text.
bool same_text(PyObject* k, PyObject* text) noexcept {
    return k == text || (PyUnicode_CheckExact(k) && PyUnicode_CheckExact(text) &&
                         PyUnicode_Equal(k, text) == 1);
}

// A few new references held past a lock, without an allocation for the
// usual handful.
class HeldRefs {
public:
    void push(PyObject* obj) {
        if (n_ < inline_.size()) inline_[n_] = py::Ref::borrow(obj);
        else more_.push_back(py::Ref::borrow(obj));
        ++n_;
    }
    [[nodiscard]] PyObject* at(std::size_t i) const noexcept {
        return i < inline_.size() ? inline_[i].get() : more_[i - inline_.size()].get();
    }
    [[nodiscard]] std::size_t size() const noexcept { return n_; }
    void clear() noexcept {
        for (py::Ref& r : inline_) r.reset();
        more_.clear();
        n_ = 0;
    }

private:
    std::array<py::Ref, 6> inline_;
    std::vector<py::Ref> more_;
    std::size_t n_ = 0;
};

}  // namespace

bool DictBulk::derive(PyObject* schema, DictBulk& out) {
    out = DictBulk{};
    if (!schema || schema == Py_None) return true;
    // A native Schema is read directly; a subclass may answer
    // `_const_bulk_check` in its own way, so it is asked by name.
    if (!schema::is_schema(schema) || Py_TYPE(schema) != schema::schema_type())
        return const_bulk_check(schema, out.pairs_);
    schema::SchemaMetaRef meta = schema::schema_meta(schema);
    if (!meta) return false;
    if (!meta->has_bulk) return true;
    for (const schema::BulkEntry& e : meta->bulk) {
        if (!e.list_spec) continue;
        PyObject* spec = e.list_spec.get();
        ListRule lr;
        py::Ref element;
        {
            py::SharedBorrow b(spec_borrow(spec));
            if (!b.acquire()) return false;
            const SpecEngine& engine = spec_engine(spec);
            const auto* list = kind_as<ListKind>(engine.kind);
            if (!list || engine.frozen || engine.transform) return true;
            element = list->element;
            lr.min_size = list->min_size;
            lr.max_size = list->max_size;
        }
        // As the list's own fast path does without a child transform.
        if (!elem_rule(element.get(), true, lr.rule)) return false;
        if (lr.rule.kind == ElemRule::Kind::Slow) return true;
        out.lists_.push_back(std::move(lr));
    }
    out.meta_ = std::move(meta);
    return true;
}

int DictBulk::matches(PyObject* value) const {
    if (meta_) return match_entries(value);
    return pairs_ ? const_keys_match(pairs_.get(), value) : 0;
}

int DictBulk::match_entries(PyObject* value) const {
    if (!PyDict_CheckExact(value)) return 0;
    const std::vector<schema::BulkEntry>& entries = meta_->bulk;
    const auto n = static_cast<Py_ssize_t>(entries.size());
    HeldRefs lists;
    bool in_order = true;
    {
        // Keys in the schema's order, each the very constant text or an
        // exact str equal to it, are matched where they stand; type tests
        // only, under the dict's lock. Lists are held for their element
        // scan after the lock is let go.
        py::CriticalSection guard(value);
        if (PyDict_GET_SIZE(value) != n) return 0;
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        std::size_t i = 0;
        while (PyDict_Next(value, &pos, &k, &v)) {
            if (!PyUnicode_Check(k)) return 0;
            if (!in_order) continue;
            const schema::BulkEntry& e = entries[i++];
            if (!same_text(k, e.key.get())) {
                in_order = false;
                continue;
            }
            if (reinterpret_cast<PyObject*>(Py_TYPE(v)) != e.cls.get()) return 0;
            if (e.list_spec) lists.push(v);
        }
    }
    if (!in_order) {
        // Another order, or str subclass keys: look each constant key up.
        lists.clear();
        for (const schema::BulkEntry& e : entries) {
            PyObject* found = nullptr;
            const int present = PyDict_GetItemRef(value, e.key.get(), &found);
            py::Ref held = py::Ref::steal(found);
            if (present <= 0) return present;
            if (reinterpret_cast<PyObject*>(Py_TYPE(found)) != e.cls.get()) return 0;
            if (e.list_spec) lists.push(found);
        }
    }
    for (std::size_t j = 0; j < lists.size(); ++j) {
        const ListRule& lr = lists_[j];
        PyObject* list = lists.at(j);
        const Py_ssize_t size = PyList_Size(list);
        if (size < lr.min_size || (lr.max_size && size > *lr.max_size)) return 0;
        const int r = all_match(lr.rule, list);
        if (r <= 0) return r;
    }
    return 1;
}

bool const_bulk_check(PyObject* schema, py::Ref& out) {
    out.reset();
    if (!schema || schema == Py_None) return true;
    PyObject* name = py::intern<"_const_bulk_check">();
    if (!name) return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(schema, name, &found) < 0) return false;
    py::Ref check = py::Ref::steal(found);
    if (check && PyTuple_Check(check.get())) out = std::move(check);
    return true;
}

int const_keys_match(PyObject* pairs, PyObject* value) {
    if (!PyDict_CheckExact(value)) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(pairs);
    if (!str_keys_only(value, n)) return 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(pairs, i);
        py::Ref key, cls;
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
            key = py::Ref::borrow(PyTuple_GET_ITEM(pair, 0));
            cls = py::Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        } else {
            key = py::Ref::steal(PySequence_GetItem(pair, 0));
            if (!key) return -1;
            cls = py::Ref::steal(PySequence_GetItem(pair, 1));
            if (!cls) return -1;
        }
        PyObject* found = nullptr;
        const int present = PyDict_GetItemRef(value, key.get(), &found);
        py::Ref held = py::Ref::steal(found);
        if (present <= 0) return present;
        if (reinterpret_cast<PyObject*>(Py_TYPE(held.get())) != cls.get()) return 0;
    }
    return 1;
}

int ElemRule::matches(PyObject* value) const {
    switch (kind) {
        case Kind::ExactType:
            return reinterpret_cast<PyObject*>(Py_TYPE(value)) == payload.get();
        case Kind::AcceptAny:
            return is_any_fast_type(value, allow_containers);
        case Kind::ObjectCandidate:
            return object_matches(payload.get(), value);
        case Kind::ConstKeyDict:
            return bulk ? bulk->matches(value) : 0;
        case Kind::Slow:
            break;
    }
    return 0;
}

bool elem_rule(PyObject* spec, bool allow_containers, ElemRule& out) {
    out = ElemRule{};
    py::Ref leaf;
    if (!spec_exact_leaf_type(spec, leaf)) return false;
    ContainerFacts facts;
    if (leaf) {
        if (leaf.get() != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
            out.kind = ElemRule::Kind::ExactType;
            out.payload = std::move(leaf);
            return true;
        }
        if (!container_facts(spec, facts)) return false;
        if (!facts.is_any) {
            out.kind = ElemRule::Kind::ExactType;
            out.payload = std::move(leaf);
        } else if (facts.plain) {
            out.kind = ElemRule::Kind::AcceptAny;
            out.allow_containers = allow_containers;
        }
        return true;
    }
    py::Ref cls;
    if (!is_object_candidate(spec, cls)) return false;
    if (cls) {
        out.kind = ElemRule::Kind::ObjectCandidate;
        out.payload = std::move(cls);
        return true;
    }
    if (!allow_containers) return true;
    if (!container_facts(spec, facts)) return false;
    if (!facts.is_dict || !facts.plain) return true;
    auto bulk = std::make_shared<DictBulk>();
    if (!DictBulk::derive(facts.schema.get(), *bulk)) return false;
    if (bulk->usable()) {
        out.kind = ElemRule::Kind::ConstKeyDict;
        out.bulk = std::move(bulk);
    }
    return true;
}

int all_match(const ElemRule& rule, PyObject* container) {
    if (rule.kind == ElemRule::Kind::Slow) return 0;
    if (PyList_CheckExact(container)) {
        if (rule.pure()) {
            // Identity tests only: no Python code runs, so the whole scan may
            // hold the list's lock.
            py::CriticalSection guard(container);
            const Py_ssize_t n = PyList_GET_SIZE(container);
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!rule.matches(PyList_GET_ITEM(container, i))) return 0;
            return 1;
        }
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(container, i);
            if (!item) return 1;
            const int r = rule.matches(item.get());
            if (r <= 0) return r;
        }
    }
    if (PyTuple_CheckExact(container)) {
        // A tuple keeps its items alive and never changes.
        const Py_ssize_t n = PyTuple_GET_SIZE(container);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const int r = rule.matches(PyTuple_GET_ITEM(container, i));
            if (r <= 0) return r;
        }
        return 1;
    }
    py::Ref it = py::Ref::steal(PyObject_GetIter(container));
    if (!it) return -1;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
        const int r = rule.matches(item.get());
        if (r <= 0) return r;
    }
    return PyErr_Occurred() ? -1 : 1;
}

int elements_all_match(PyObject* spec, PyObject* container, bool allow_containers) {
    ElemRule rule;
    if (!elem_rule(spec, allow_containers, rule)) return -1;
    return all_match(rule, container);
}

}  // namespace vesk::typing::funnel
