#include "typing/funnel/dict_bulk.hpp"

#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "typing/field/field.hpp"
#include "typing/field/field_state.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/shortcuts.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "typing/value_spec/utilities/number_compare.hpp"

#include <array>

namespace vesk::typing::funnel {

namespace {

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

bool DictBulk::derive(PyObject* schema, DictBulk& out, RuleWitness* witness) {
    out = DictBulk{};
    RuleWitness unkept;
    RuleWitness& lists_read = witness ? *witness : unkept;
    if (!schema || schema == Py_None) return true;
    // A native Schema is read directly; a subclass may answer
    // `_const_bulk_check` in its own way, so it is asked by name. With the
    // added rules off, only the pairs are read.
    if (!schema::is_schema(schema) || Py_TYPE(schema) != schema::schema_type() ||
        added_rules_off()) {
        if (!const_bulk_check(schema, out.pairs_)) return false;
        out.plain_pairs_ = out.pairs_;
        return true;
    }
    schema::SchemaMetaRef meta = schema::schema_meta(schema);
    if (!meta) return false;
    out.plain_pairs_ = meta->const_bulk_check;
    if (!meta->has_bulk) return true;
    const std::size_t n = meta->bulk.size();
    for (std::size_t i = 0; i < n; ++i) {
        const schema::BulkEntry& e = meta->bulk[i];
        if (e.none_spec) {
            // A spec that is still noneable (not frozen, without transform)
            // gives None back as it is.
            SpecRead engine(e.none_spec.get());
            if (!engine) return false;
            if (engine->is_noneable && untouched(*engine)) {
                out.takes_none_.resize(n, false);
                out.takes_none_[i] = true;
            }
        }
        if (e.check_spec) {
            Check check;
            check.spec = e.check_spec;
            SpecRead engine(e.check_spec.get());
            if (!engine) return false;
            if (!untouched(*engine)) return true;
            auto native_bound = [](const py::Ref& b) {
                return !b || PyLong_CheckExact(b.get()) || PyFloat_CheckExact(b.get());
            };
            if (const auto* num = kind_as<NumberKind>(engine->kind)) {
                if (!native_bound(num->min_value) || !native_bound(num->max_value)) return true;
                check.min = num->min_value;
                check.max = num->max_value;
            } else if (const auto* str = kind_as<StrKind>(engine->kind)) {
                if (!str->regex) return true;
                check.regex = str->regex;
            } else {
                return true;  // a candidate list compares by equality, which may run code
            }
            out.checks_.push_back(std::move(check));
        }
        if (!e.list_spec) continue;
        PyObject* spec = e.list_spec.get();
        ListRule lr;
        py::Ref element;
        {
            SpecRead engine(spec);
            if (!engine) return false;
            const auto* list = kind_as<ListKind>(engine->kind);
            if (!list || !untouched(*engine)) return true;
            element = list->element;
            lr.min_size = list->min_size;
            lr.max_size = list->max_size;
        }
        // As the list's own fast path does without a child transform; derived
        // afresh, since the check may be cached.
        if (!derive_elem_rule(element.get(), true, lr.rule, lists_read)) return false;
        out.lists_cacheable_ = out.lists_cacheable_ && lr.rule.cacheable;
        if (lr.rule.kind == ElemRule::Kind::Slow) return true;
        out.lists_.push_back(std::move(lr));
    }
    out.native_fields_ = true;
    for (const py::Ref& f : meta->const_fields)
        out.native_fields_ = out.native_fields_ && field::is_field(f.get());
    out.meta_ = std::move(meta);
    return true;
}

bool DictBulk::cacheable() const noexcept { return (meta_ || owned_) && lists_cacheable_; }

void DictBulk::own_entries() {
    if (!meta_) return;
    entries_ = meta_->bulk;
    fields_ = meta_->const_fields;
    owned_ = true;
    meta_.reset();
}

void DictBulk::visit(void (*fn)(const py::Ref&, const void*), const void* ctx) const {
    struct Forward {
        void (*fn)(const py::Ref&, const void*);
        const void* ctx;
        void operator()(const py::Ref& r) const { fn(r, ctx); }
    } forward{fn, ctx};
    fn(pairs_, ctx);
    fn(plain_pairs_, ctx);
    for (const schema::BulkEntry& e : entries_) e.visit(forward);
    for (const py::Ref& f : fields_) fn(f, ctx);
    for (const ListRule& lr : lists_) lr.rule.visit(forward);
    for (const Check& c : checks_) {
        fn(c.spec, ctx);
        fn(c.min, ctx);
        fn(c.max, ctx);
        fn(c.regex, ctx);
    }
}

void visit_bulk(const DictBulk& bulk, void (*fn)(const py::Ref&, const void*), const void* ctx) {
    bulk.visit(fn, ctx);
}

int DictBulk::passes(const Check& c, PyObject* v) {
    auto refused = [](int r) {
        if (r < 0) PyErr_Clear();
        return r != 0;
    };
    if (c.regex) {
        py::Ref match = py::call_method<"match">(c.regex.get(), v);
        if (!match) PyErr_Clear();
        return match && match.get() != Py_None;
    }
    // Both bounds are compared, as the spec's own check does; a NaN is within
    // no bound (only a Float's checked class is float).
    if ((c.min || c.max) && is_float_nan(v)) return 0;
    const bool low = c.min && refused(PyObject_RichCompareBool(v, c.min.get(), Py_LT));
    const bool high = c.max && refused(PyObject_RichCompareBool(v, c.max.get(), Py_GT));
    return !low && !high;
}

int DictBulk::plain_matches(PyObject* value) const {
    return plain_pairs_ ? const_keys_match(plain_pairs_.get(), value) : 0;
}

int DictBulk::settle(PyObject* value, py::Ref& out) const {
    out = py::Ref::borrow(value);
    const int plain = plain_matches(value);
    if (plain != 0) return plain < 0 ? -1 : 0;
    if (!(meta_ || owned_) || !PyDict_CheckExact(value)) return 0;
    const std::vector<schema::BulkEntry>& entries = this->entries();
    // Keys already in the schema's order (the usual case): the dict's own
    // copy, then only the List fields' values replaced where settled.
    // The copy is taken under the same lock as the order test (the dict's
    // lock is re-entered, not taken twice), so a key another thread adds
    // meanwhile cannot slip into a copy judged in order; the List fields
    // are then read from that copy, which only this call holds.
    bool in_order = true;
    py::Ref fresh;
    {
        py::CriticalSection guard(value);
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        std::size_t i = 0;
        while (in_order && PyDict_Next(value, &pos, &k, &v))
            in_order = i < entries.size() && same_text(k, entries[i++].key.get());
        if (in_order) fresh = py::Ref::steal(PyDict_Copy(value));
    }
    if (!in_order) fresh = py::Ref::steal(PyDict_New());
    if (!fresh) return -1;
    PyObject* source = in_order ? fresh.get() : value;
    std::size_t li = 0;
    for (const schema::BulkEntry& e : entries) {
        if (in_order && !e.list_spec) continue;
        PyObject* found = nullptr;
        const int present = PyDict_GetItemRef(source, e.key.get(), &found);
        py::Ref v = py::Ref::steal(found);
        if (present < 0) return -1;
        if (!present) return 0;  // absent, or gone meanwhile: what it held is kept
        PyObject* was = v.get();
        if (e.list_spec) {
            const ListRule& lr = lists_[li++];
            if (v.get() != Py_None && PyList_CheckExact(v.get()) && settle_list(lr.rule, v.get(), v) < 0)
                return -1;
        }
        if ((!in_order || v.get() != was) && PyDict_SetItem(fresh.get(), e.key.get(), v.get()) < 0)
            return -1;
    }
    out = std::move(fresh);
    return 0;
}

int DictBulk::matches(PyObject* value) const {
    if (meta_ || owned_) return match_entries(value);
    return pairs_ ? const_keys_match(pairs_.get(), value) : 0;
}

bool DictBulk::entry_takes(std::size_t i, const schema::BulkEntry& e, PyObject* v) const noexcept {
    return reinterpret_cast<PyObject*>(Py_TYPE(v)) == e.cls.get() ||
           (v == Py_None && i < takes_none_.size() && takes_none_[i]);
}

int DictBulk::match_entries(PyObject* value) const {
    if (!PyDict_CheckExact(value)) return 0;
    const std::vector<schema::BulkEntry>& entries = this->entries();
    const auto n = static_cast<Py_ssize_t>(entries.size());
    // The values of the List and checked entries, in order, held for the
    // tests that run after the lock is let go.
    HeldRefs held;
    bool in_order = true;
    {
        // Keys in the schema's order, each the very constant text or an
        // exact str equal to it, are matched where they stand; type tests
        // only, under the dict's lock.
        py::CriticalSection guard(value);
        if (PyDict_GET_SIZE(value) != n) return 0;
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        std::size_t i = 0;
        while (PyDict_Next(value, &pos, &k, &v)) {
            // The very constant text (the usual case: both interned) is a str.
            if (in_order && k == entries[i].key.get()) {
                const schema::BulkEntry& e = entries[i];
                if (!entry_takes(i++, e, v)) return 0;
                if (e.list_spec || e.check_spec) held.push(v);
                continue;
            }
            if (!PyUnicode_Check(k)) return 0;
            if (!in_order) continue;
            const schema::BulkEntry& e = entries[i];
            if (!same_text(k, e.key.get())) {
                in_order = false;
                continue;
            }
            if (!entry_takes(i++, e, v)) return 0;
            if (e.list_spec || e.check_spec) held.push(v);
        }
    }
    if (!in_order) {
        // Another order, or str subclass keys: look each constant key up.
        held.clear();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const schema::BulkEntry& e = entries[i];
            PyObject* found = nullptr;
            const int present = PyDict_GetItemRef(value, e.key.get(), &found);
            py::Ref taken = py::Ref::steal(found);
            if (present <= 0) return present;
            if (!entry_takes(i, e, found)) return 0;
            if (e.list_spec || e.check_spec) held.push(found);
        }
    }
    if (held.size() == 0) return 1;
    std::size_t j = 0, li = 0, ci = 0;
    for (const schema::BulkEntry& e : entries) {
        if (!e.list_spec && !e.check_spec) continue;
        PyObject* v = held.at(j++);
        if (e.check_spec) {
            // A pattern match makes a new object: not under the lock.
            if (v != Py_None && !passes(checks_[ci], v)) return 0;
            ++ci;
        }
        if (e.list_spec) {
            const ListRule& lr = lists_[li++];
            if (v == Py_None) continue;
            const Py_ssize_t size = PyList_Size(v);
            if (size < lr.min_size || (lr.max_size && size > *lr.max_size)) return 0;
            const int r = all_match(lr.rule, v);
            if (r <= 0) return r;
        }
    }
    return 1;
}

int DictBulk::convert(PyObject* value, bool inplace, py::Ref& out) const {
    if (!(meta_ || owned_) || !PyDict_CheckExact(value)) return 0;
    const std::vector<schema::BulkEntry>& entries = this->entries();
    const std::size_t n = entries.size();
    if (n != fields().size()) return 0;
    // The values in the schema's order: read where they stand when the keys
    // are in that order (type tests only, under the dict's lock), else
    // looked up.
    HeldRefs values;
    bool in_order = true;
    {
        py::CriticalSection guard(value);
        if (PyDict_GET_SIZE(value) != static_cast<Py_ssize_t>(n)) return 0;
        Py_ssize_t pos = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        std::size_t i = 0;
        while (PyDict_Next(value, &pos, &k, &v)) {
            if (!PyUnicode_Check(k)) return 0;
            if (in_order && same_text(k, entries[i].key.get())) {
                values.push(v);
                ++i;
            } else {
                in_order = false;
            }
        }
    }
    if (!in_order) {
        values.clear();
        for (const schema::BulkEntry& e : entries) {
            PyObject* found = nullptr;
            const int present = PyDict_GetItemRef(value, e.key.get(), &found);
            py::Ref held = py::Ref::steal(found);
            if (present <= 0) return present;
            values.push(found);
        }
    }
    // What the constant road stores for each field: its value, or a new one.
    HeldRefs produced;
    std::uint64_t changed = 0;  // a bit per field; more fields than bits: not here
    if (n > 64) return 0;
    std::size_t list_at = 0;
    std::size_t check_at = 0;
    // Whether the field's record checks values of exactly the class of `x`
    // with this entry's spec, and `x` passes.
    auto checked_ok = [](const field::FieldMeta& fm, const Check* check, PyObject* x) {
        if (!check) return false;
        for (const auto& [cls, spec] : fm.checked)
            if (cls.get() == reinterpret_cast<PyObject*>(Py_TYPE(x)))
                return spec.get() == check->spec.get() && passes(*check, x) == 1;
        return false;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const schema::BulkEntry& e = entries[i];
        PyObject* v = values.at(i);
        const ListRule* lr = e.list_spec ? &lists_[list_at++] : nullptr;
        const Check* check = e.check_spec ? &checks_[check_at++] : nullptr;
        PyObject* f = fields()[i].get();
        field::FieldMetaRef keep;
        const field::FieldMeta* fm = native_fields_ ? field::published_meta(f) : nullptr;
        if (!fm) fm = schema::field_meta_view(f, keep);
        if (!fm) return -1;
        if (!fm->validate) continue;  // taken as it is
        // The pure leaf tier, its common answer first.
        if (fm->accept_any) continue;
        bool exact = false;
        for (const py::Ref& c : fm->exact)
            if (c.get() == reinterpret_cast<PyObject*>(Py_TYPE(v))) exact = true;
        if (exact) continue;
        funnel::FunnelOutcome leaf = funnel::funnel_leaf(v, *fm);
        switch (leaf.kind) {
            case funnel::FunnelOutcome::Kind::Error:
                return -1;
            case funnel::FunnelOutcome::Kind::Verbatim:
                continue;
            case funnel::FunnelOutcome::Kind::Produced:
                if (funnel::leaf_needs_check(*fm, leaf.value.get()) &&
                    !checked_ok(*fm, check, leaf.value.get()))
                    return 0;
                changed |= std::uint64_t{1} << i;
                produced.push(leaf.value.get());
                continue;
            default:
                break;
        }
        // A value one constraint check decides, which it passes.
        if (checked_ok(*fm, check, v)) continue;
        // A list the field's container fast path accepts is taken as it is.
        if (!lr || !PyList_CheckExact(v) || !fm->wrap ||
            fm->value_spec.get() != e.list_spec.get())
            return 0;
        const Py_ssize_t size = PyList_Size(v);
        if (size < lr->min_size || (lr->max_size && size > *lr->max_size)) return 0;
        const int r = all_match(lr->rule, v);
        if (r <= 0) return r;
        if (!inplace) {
            // The field's own apply without `inplace` copies where the plain
            // rules would not take the list whole.
            py::Ref settled;
            if (settle_list(lr->rule, v, settled) < 0) return -1;
            if (settled.get() != v) {
                changed |= std::uint64_t{1} << i;
                produced.push(settled.get());
            }
        }
    }
    if (!changed && !inplace) {
        // Nothing to write: the dict is itself the result where its own
        // shortcut takes it whole, else the apply gives a copy.
        const int whole = plain_matches(value);
        if (whole < 0) return -1;
        if (whole) {
            out = py::Ref::borrow(value);
            return 1;
        }
    }
    py::Ref target;
    std::size_t p = 0;
    if (!inplace && !in_order) {
        // A new dict with the fields in the schema's order.
        target = py::Ref::steal(PyDict_New());
        if (!target) return -1;
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* v = changed >> i & 1 ? produced.at(p++) : values.at(i);
            if (PyDict_SetItem(target.get(), entries[i].key.get(), v) < 0) return -1;
        }
        out = std::move(target);
        return 1;
    }
    // The dict itself, or its copy, which keeps the schema's order.
    target = inplace ? py::Ref::borrow(value) : py::Ref::steal(PyDict_Copy(value));
    if (!target) return -1;
    for (std::size_t i = 0; i < n; ++i)
        if (changed >> i & 1 &&
            PyDict_SetItem(target.get(), entries[i].key.get(), produced.at(p++)) < 0)
            return -1;
    out = std::move(target);
    return 1;
}

bool str_keys_only(PyObject* d, Py_ssize_t size) {
    // A key of any other class that merely compares like a constant key
    // must reach the general road, which refuses it.
    py::CriticalSection guard(d);
    if (size >= 0 && PyDict_GET_SIZE(d) != size) return false;
    Py_ssize_t pos = 0;
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!PyUnicode_Check(k)) return false;
    return true;
}

bool const_bulk_check(PyObject* schema, py::Ref& out) {
    out.reset();
    if (!schema || schema == Py_None) return true;
    py::Ref check;
    if (py::get_optional_attr<"_const_bulk_check">(schema, check) < 0) return false;
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

}  // namespace vesk::typing::funnel
