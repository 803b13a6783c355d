// The container fast paths: one class test per element, decided from the
// element rules, never changing a result.
#include "typing/funnel/container_fast_path.hpp"

#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/lazy.hpp"
#include "typing/change_epoch.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/funnel/dict_bulk.hpp"
#include "typing/funnel/elem_rule.hpp"
#include "typing/shortcuts.hpp"
#include "typing/value_spec/engine/apply.hpp"

namespace vesk::typing::funnel {

namespace {

Shortcut accept(PyObject* value, py::Ref& out) {
    out = py::Ref::borrow(value);
    return Shortcut::Accepted;
}

bool within(Py_ssize_t n, std::int64_t min_size, const std::optional<std::int64_t>& max_size) {
    return n >= min_size && (!max_size || n <= *max_size);
}

// A child transform lets the fast paths through only when it says it leaves
// scalars unchanged.
Shortcut transform_allows(PyObject* child_transform) {
    if (!child_transform) return Shortcut::Accepted;
    const int r = is_scalar_identity_transform(child_transform);
    if (r < 0) return Shortcut::Error;
    return r ? Shortcut::Accepted : Shortcut::Undecided;
}

// An accepted list: itself, or without `inplace` what the full road gives
// where a rule beyond the plain ones took it (elem_rule.hpp, `settle_list`).
Shortcut accept_list(const ElemRule& rule, PyObject* value, bool inplace, py::Ref& out) {
    if (inplace) return accept(value, out);
    return settle_list(rule, value, out) < 0 ? Shortcut::Error : Shortcut::Accepted;
}

Shortcut list_path(const ListKind& list, PyObject* value, PyObject* child_transform, bool allow,
                   bool inplace, py::Ref& out) {
    if (!PyList_CheckExact(value)) return Shortcut::Undecided;
    if (const Shortcut s = transform_allows(child_transform); s != Shortcut::Accepted) return s;
    if (!within(PyList_GET_SIZE(value), list.min_size, list.max_size)) return Shortcut::Undecided;
    ElemRule rule;
    if (!elem_rule(list.element.get(), allow, rule)) return Shortcut::Error;
    const int r = all_match(rule, value);
    if (r <= 0) return r < 0 ? Shortcut::Error : Shortcut::Undecided;
    return accept_list(rule, value, inplace, out);
}

// A child transform the caller asked for must see every element, as it does
// for a tuple subclass: like List and Dict, the tuple is taken whole only
// without one or with one that says it leaves scalars unchanged.
// An accepted tuple: itself, or a new one where an item must be copied
// (without `inplace`, as the full road's apply of that item gives it).
Shortcut accept_tuple(const TupleRule& rule, PyObject* value, bool inplace, py::Ref& out) {
    if (inplace) return accept(value, out);
    ElemRule whole;
    whole.kind = ElemRule::Kind::Tuple;
    whole.tuple = std::make_shared<const TupleRule>(rule);
    return settle_item(whole, value, out) < 0 ? Shortcut::Error : Shortcut::Accepted;
}

Shortcut tuple_path(const TupleKind& tuple, PyObject* value, PyObject* child_transform,
                    bool allow, bool inplace, py::Ref& out) {
    if (!PyTuple_CheckExact(value)) return Shortcut::Undecided;
    if (const Shortcut s = transform_allows(child_transform); s != Shortcut::Accepted) return s;
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    PyObject* fields = tuple.elements.get();
    if (!tuple.fixed_length) {
        if (!within(n, tuple.min_size, tuple.max_size)) return Shortcut::Undecided;
        py::Ref field = py::list_item(fields, 0);
        if (!field) return Shortcut::Undecided;
        py::Ref spec = element_spec(field.get());
        if (!spec) return Shortcut::Error;
        ElemRule rule;
        if (!elem_rule(spec.get(), allow, rule)) return Shortcut::Error;
        const int r = all_match(rule, value);
        if (r <= 0) return r < 0 ? Shortcut::Error : Shortcut::Undecided;
        if (inplace || !rule.needs_copy()) return accept(value, out);
        TupleRule whole;
        whole.fixed = false;
        whole.min_size = tuple.min_size;
        whole.max_size = tuple.max_size;
        whole.positions.push_back(std::move(rule));
        return accept_tuple(whole, value, inplace, out);
    }
    Py_ssize_t positions;
    {
        py::CriticalSection guard(fields);
        positions = PyList_GET_SIZE(fields);
    }
    if (n != positions) return Shortcut::Undecided;
    TupleRule whole;
    bool copies = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref field = py::list_item(fields, i);
        if (!field) return Shortcut::Undecided;
        py::Ref spec = element_spec(field.get());
        if (!spec) return Shortcut::Error;
        ElemRule rule;
        if (!elem_rule(spec.get(), allow, rule)) return Shortcut::Error;
        if (rule.kind == ElemRule::Kind::Slow) return Shortcut::Undecided;
        const int r = rule.matches(PyTuple_GET_ITEM(value, i));
        if (r <= 0) return r < 0 ? Shortcut::Error : Shortcut::Undecided;
        if (!inplace) {
            copies = copies || rule.needs_copy();
            whole.positions.push_back(std::move(rule));
        }
    }
    if (!copies) return accept(value, out);
    return accept_tuple(whole, value, inplace, out);
}

Shortcut settle_open(const ElemRule& rule, PyObject* value, py::Ref& out) {
    bool plain = rule.has_plain();
    if (plain) {
        py::DictCursor cursor(value);
        py::Ref key, item;
        for (;;) {
            const int step = cursor.next(key, item);
            if (step < 0) return Shortcut::Error;
            if (step == 0) break;
            const int m = rule.plain_matches(item.get());
            if (m < 0) return Shortcut::Error;
            if (!m) {
                plain = false;
                break;
            }
        }
    }
    if (plain) return accept(value, out);
    py::Ref copy = py::Ref::steal(PyDict_Copy(value));
    if (!copy) return Shortcut::Error;
    py::Ref items = py::Ref::steal(PyDict_Items(copy.get()));
    if (!items) return Shortcut::Error;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* v = PyTuple_GET_ITEM(pair, 1);
        py::Ref settled;
        if (settle_item(rule, v, settled) < 0) return Shortcut::Error;
        if (settled.get() != v &&
            PyDict_SetItem(copy.get(), PyTuple_GET_ITEM(pair, 0), settled.get()) < 0)
            return Shortcut::Error;
    }
    out = std::move(copy);
    return Shortcut::Accepted;
}

// Every key an exact str and every value matching the open value spec.
// Without `inplace`, where the plain rule does not take every value, the
// full road's open road works on a copy: each value settled in it.
Shortcut open_check(PyObject* open_spec, PyObject* value, bool allow, bool inplace,
                    py::Ref& out) {
    if (!open_spec) return Shortcut::Undecided;
    ElemRule rule;
    if (!elem_rule(open_spec, allow, rule)) return Shortcut::Error;
    if (rule.kind == ElemRule::Kind::Slow) return Shortcut::Undecided;
    py::DictCursor cursor(value);
    py::Ref key, item;
    for (;;) {
        const int step = cursor.next(key, item);
        if (step < 0) {
            // The dict changed while it was checked (another thread, or an
            // element's partial-state read): the full apply decides on what
            // it then holds, so the answer is the one it would give.
            PyErr_Clear();
            return Shortcut::Undecided;
        }
        if (step == 0) return inplace ? accept(value, out) : settle_open(rule, value, out);
        if (!PyUnicode_CheckExact(key.get())) return Shortcut::Undecided;
        const int r = rule.matches(item.get());
        if (r <= 0) return r < 0 ? Shortcut::Error : Shortcut::Undecided;
    }
}

}  // namespace

Shortcut container_fast_path(const SpecEngine& engine, PyObject* value, PyObject* child_transform,
                             bool allow, bool inplace, py::Ref& out) {
    if (engine.frozen || engine.transform) return Shortcut::Undecided;
    if (const auto* list = kind_as<ListKind>(engine.kind))
        return list_path(*list, value, child_transform, allow, inplace, out);
    if (const auto* tuple = kind_as<TupleKind>(engine.kind))
        return tuple_path(*tuple, value, child_transform, allow, inplace, out);
    return Shortcut::Undecided;
}

Shortcut dict_fast_path(const SpecEngine& engine, PyObject* schema, PyObject* open_spec,
                        PyObject* value, PyObject* child_transform, bool allow, bool inplace,
                        py::Ref& out) {
    if (engine.frozen || engine.transform) return Shortcut::Undecided;
    if (!PyDict_CheckExact(value)) return Shortcut::Undecided;
    if (const Shortcut s = transform_allows(child_transform); s != Shortcut::Accepted) return s;
    const bool no_schema = !schema || schema == Py_None;
    if (no_schema && !open_spec) return accept(value, out);
    if (!no_schema) {
        DictBulk bulk;
        if (!DictBulk::derive(schema, bulk)) return Shortcut::Error;
        if (bulk.usable()) {
            const int r = bulk.matches(value);
            if (r < 0) return Shortcut::Error;
            if (r && inplace) return accept(value, out);
            // Without `inplace` the schema's apply makes a new dict unless
            // the pairs alone take this one.
            if (r) return bulk.settle(value, out) < 0 ? Shortcut::Error : Shortcut::Accepted;
        }
    }
    return open_check(open_spec, value, allow, inplace, out);
}

Shortcut container_shortcut(const SpecEngine& engine, PyObject* spec, PyObject* value,
                            const ApplyOptions& options, py::Ref& out) {
    const KindId id = engine.id();
    if ((id != KindId::List && id != KindId::Tuple && id != KindId::Dict) || shortcuts_off())
        return Shortcut::Undecided;
    if (spec) {
        PyTypeObject* native = ops(engine).py_class(engine.kind);
        if (!native) return Shortcut::Error;
        if (Py_TYPE(spec) != native) return Shortcut::Undecided;
    }
    const bool allow = options.child_transform == nullptr;
    if (const auto* dict = kind_as<DictKind>(engine.kind))
        return dict_fast_path(engine, dict->schema.get(), dict->open_str_value_spec.get(), value,
                              options.child_transform, allow, options.inplace, out);
    return container_fast_path(engine, value, options.child_transform, allow, options.inplace,
                               out);
}

Shortcut dict_shortcut(const SpecEngine& engine, PyObject* spec, PyObject* value,
                       ApplyOptions& options, py::Ref& out) {
    const Shortcut s = container_shortcut(engine, spec, value, options, out);
    if (s != Shortcut::Undecided) return s;
    const auto* dict = kind_as<DictKind>(engine.kind);
    // The schema's constant road is what the full road takes for such a
    // dict; an open value spec takes another.
    if (!dict || !spec || options.child_transform || shortcuts_off() || added_rules_off() ||
        !PyDict_CheckExact(value) || engine.frozen || engine.transform ||
        dict->open_str_value_spec)
        return Shortcut::Undecided;
    PyTypeObject* native = ops(engine).py_class(engine.kind);
    if (!native) return Shortcut::Error;
    if (Py_TYPE(spec) != native) return Shortcut::Undecided;
    DictBulk bulk;
    if (!DictBulk::derive(dict->schema.get(), bulk)) return Shortcut::Error;
    if (!bulk.usable()) return Shortcut::Undecided;
    field::ReadSection reading;
    const int c = bulk.convert(value, options.inplace, out);
    if (c < 0) return Shortcut::Error;
    return c ? Shortcut::Accepted : Shortcut::Undecided;
}

bool list_element_rule(const ListKind& list, const ApplyOptions& options, ElemRule& out) {
    out = ElemRule{};
    if (options.child_transform || shortcuts_off() || added_rules_off()) return true;
    return elem_rule(list.element.get(), true, out);
}

Shortcut list_shortcut(const SpecEngine& engine, PyObject* spec, PyObject* value,
                       ApplyOptions& options, py::Ref& out) {
    const auto* list = kind_as<ListKind>(engine.kind);
    if (!list || options.child_transform || shortcuts_off() || added_rules_off() ||
        !PyList_CheckExact(value) || engine.frozen || engine.transform)
        return container_shortcut(engine, spec, value, options, out);
    if (spec) {
        PyTypeObject* native = ops(engine).py_class(engine.kind);
        if (!native) return Shortcut::Error;
        if (Py_TYPE(spec) != native) return Shortcut::Undecided;
    }
    if (!within(PyList_GET_SIZE(value), list->min_size, list->max_size))
        return Shortcut::Undecided;
    // Read before the rule: the prefix is proven for the state it names.
    const std::uint64_t epoch = change_epoch();
    ElemRule rule;
    if (!elem_rule(list->element.get(), true, rule)) return Shortcut::Error;
    if (rule.kind == ElemRule::Kind::Slow) return Shortcut::Undecided;
    Py_ssize_t at = 0;
    const int r = first_mismatch(rule, value, at);
    if (r < 0) return Shortcut::Error;
    if (r) return accept_list(rule, value, options.inplace, out);
    // Only a rule that ran no Python code over the elements it passed hands
    // them on: the full road then never reads them again. The driver's
    // later steps leave an exact list of an untouched spec as it is, so the
    // per-kind apply meets this very list (or its copy).
    if (rule.calls_back()) return Shortcut::Undecided;
    options.proven_list = value;
    options.proven_prefix = at;
    options.proven_epoch = epoch;
    return Shortcut::Undecided;
}

}  // namespace vesk::typing::funnel
