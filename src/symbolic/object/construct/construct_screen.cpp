// Keyword screening of a construction: the keywords a class does not
// accept, and those reserved as aliases of its fields.
#include "symbolic/object/construct/construct_steps.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/object/construct/keyword_report.hpp"
#include "typing/schema/schema.hpp"

namespace vesk::symbolic::object {

namespace {

// The open plan's verdict on every keyword: 1 screened into `out`, 0 when a
// key is not a str (the plan cannot screen it), -1 on error.
int screen_by_plan(const typing::schema::OpenSchemaPlan& plan, PyObject* kwargs, PyObject* out) {
    py::DictCursor cursor(kwargs);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return -1;
        if (!PyUnicode_Check(key.get())) return 0;
        const std::ptrdiff_t pos = plan.index.find_key(key.get());
        const bool accepted =
            pos >= 0 ? plan.const_init[static_cast<std::size_t>(pos)] : plan.wildcard_init;
        if (!accepted && PyList_Append(out, key.get()) < 0) return -1;
    }
    return 1;
}

// The keywords of `kwargs` in dict order, as a list.
py::Ref keyword_names(PyObject* kwargs) { return py::Ref::steal(PyDict_Keys(kwargs)); }

// `init_schema.resolve(names)[1]`, iterated into a new list.
py::Ref screen_by_resolve(PyObject* init_schema, PyObject* kwargs) {
    py::Ref names = keyword_names(kwargs);
    py::Ref resolved = names ? py::call_method<"resolve">(init_schema, names.get()) : py::Ref();
    py::Ref unresolved =
        resolved ? py::Ref::steal(PySequence_GetItem(resolved.get(), 1)) : py::Ref();
    return unresolved ? py::Ref::steal(PySequence_List(unresolved.get())) : py::Ref();
}

// The unexpected keywords under the init schema, before the non-symbolic
// names are moved to the end.
py::Ref screen_by_schema(const CtorMeta& meta, PyObject* kwargs) {
    if (typing::schema::is_schema(meta.init_schema.get())) {
        typing::schema::SchemaMetaRef sm = typing::schema::schema_meta(meta.init_schema.get());
        if (!sm) return {};
        if (sm->open_plan) {
            py::Ref out = py::Ref::steal(PyList_New(0));
            if (!out) return {};
            const int r = screen_by_plan(*sm->open_plan, kwargs, out.get());
            if (r < 0) return {};
            if (r > 0) return out;
        }
    }
    return screen_by_resolve(meta.init_schema.get(), kwargs);
}

// Non-symbolic names are reported as unexpected, after the others, in the
// keywords' order.
py::Ref move_non_symbolic_last(const CtorMeta& meta, PyObject* kwargs, py::Ref list) {
    PyObject* names = meta.non_symbolic_names.get();
    if (PySet_GET_SIZE(names) == 0) return list;
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) return {};
    const Py_ssize_t n = PyList_GET_SIZE(list.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::list_item(list.get(), i);
        if (!item) break;
        const int in = PySet_Contains(names, item.get());
        if (in < 0 || (!in && PyList_Append(out.get(), item.get()) < 0)) return {};
    }
    py::DictCursor cursor(kwargs);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return {};
        const int in = PySet_Contains(names, key.get());
        if (in < 0 || (in && PyList_Append(out.get(), key.get()) < 0)) return {};
    }
    return out;
}

// Whether every key of `kwargs` is an exact str among the init field
// names, decided in one pass under the dict's lock (exact str keys compare
// and hash without running Python code): 1 all accepted, 0 not decided here.
int all_init_names(const CtorMeta& meta, PyObject* kwargs) noexcept {
    PyObject* names = meta.init_field_names.get();
    py::CriticalSection guard(kwargs);
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return 0;
        const int in = PySet_Contains(names, key);
        if (in <= 0) {
            if (in < 0) PyErr_Clear();
            return 0;
        }
    }
    return 1;
}

// The keywords not among the init field names; a non-str key never is.
py::Ref screen_by_names(const CtorMeta& meta, PyObject* kwargs) {
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) return {};
    py::DictCursor cursor(kwargs);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return {};
        const int in = PyUnicode_Check(key.get())
                           ? PySet_Contains(meta.init_field_names.get(), key.get())
                           : 0;
        if (in < 0 || (!in && PyList_Append(out.get(), key.get()) < 0)) return {};
    }
    return out;
}

// The first element of the class's `_sym_alias_maps`, which must be a dict;
// null (no error) when the maps are None.
int alias_map(PyObject* cls, py::Ref& out) {
    py::Ref maps = py::get_attr<"_sym_alias_maps">(cls);
    if (!maps) return -1;
    if (maps.get() == Py_None) return 0;
    out = py::Ref::steal(PySequence_GetItem(maps.get(), 0));
    if (!out) return -1;
    if (!PyDict_Check(out.get())) {
        py::raise_not_instance(out.get(), "dict");
        return -1;
    }
    return 1;
}

// Raises the reserved-alias error for the first str in `keywords` (an
// iterable) that is one of the class's alias names (`alias_names`, a set).
int refuse_aliases(PyObject* cls, PyObject* keywords, PyObject* alias_names) {
    py::Ref map;
    const int r = alias_map(cls, map);
    if (r <= 0) return r;
    py::Ref it = py::Ref::steal(PyObject_GetIter(keywords));
    if (!it) return -1;
    for (;;) {
        PyObject* next = nullptr;
        const int step = PyIter_NextItem(it.get(), &next);
        py::Ref keyword = py::Ref::steal(next);
        if (step <= 0) return step;
        if (!PyUnicode_Check(keyword.get())) continue;
        const int in = PySet_Contains(alias_names, keyword.get());
        if (in < 0) return -1;
        if (!in) continue;
        PyObject* found = nullptr;
        const int has = PyDict_GetItemRef(map.get(), keyword.get(), &found);
        py::Ref field = py::Ref::steal(found);
        if (has < 0) return -1;
        if (has) return raise_reserved_alias(cls, keyword.get(), field.get());
        // Every alias name indexes the map: a name it lacks is its KeyError.
        raise_with_arg(PyExc_KeyError, keyword.get());
        return -1;
    }
}

// Reports the unexpected keywords `unexpected` (a list); when the class
// ignores them, `to_validate` becomes a copy of `kwargs` without them.
int report(PyObject* cls, PyObject* kwargs, PyObject* unexpected, py::Ref& to_validate) {
    if (PyList_GET_SIZE(unexpected) == 0) return 0;
    if (report_unexpected_keywords(cls, unexpected) < 0) return -1;
    to_validate = without_keys(kwargs, unexpected);
    return to_validate ? 0 : -1;
}

}  // namespace

int screen_keywords(PyObject* cls, const CtorMeta& meta, PyObject* kwargs,
                    py::Ref& to_validate) {
    to_validate = py::Ref::borrow(kwargs);
    if (meta.init_field_names) {
        if (all_init_names(meta, kwargs)) return 0;
        py::Ref unexpected = screen_by_names(meta, kwargs);
        return unexpected ? report(cls, kwargs, unexpected.get(), to_validate) : -1;
    }
    py::Ref unexpected = screen_by_schema(meta, kwargs);
    if (unexpected) unexpected = move_non_symbolic_last(meta, kwargs, std::move(unexpected));
    if (!unexpected || report(cls, kwargs, unexpected.get(), to_validate) < 0) return -1;
    if (!meta.alias_names || PySet_GET_SIZE(meta.alias_names.get()) == 0) return 0;
    py::Ref names = keyword_names(kwargs);
    return names ? refuse_aliases(cls, names.get(), meta.alias_names.get()) : -1;
}

}  // namespace vesk::symbolic::object
