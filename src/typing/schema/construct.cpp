// Schema construction in its fixed order of steps, the bridge-driven merge of
// own fields over a base, and the fold of several schemas into one.
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing::schema {

namespace {

PyObject* none_if_absent(PyObject* value) noexcept {
    return value && value != Py_None ? value : nullptr;
}

// The fields dict of a field list: keyed by each item's `key`, a repeated key
// keeping its first position and its last field. Items appended while `key`
// reads run are not visited; a list that shrinks ends the walk.
py::Ref fields_dict_of(PyObject* list) {
    py::Ref d = py::Ref::steal(PyDict_New());
    if (!d) return {};
    const Py_ssize_t start = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;
        py::Ref key = py::get_attr<"key">(item.get());
        if (!key || PyDict_SetItem(d.get(), key.get(), item.get()) < 0) return {};
    }
    return d;
}

// Gives every listed field without an origin the owning class, then lets the
// package register the class as a forward-reference target.
bool adopt_fields(PyObject* list, PyObject* for_cls) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return false;
    const Py_ssize_t start = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < start; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;
        py::Ref origin = py::get_attr<"origin">(item.get());
        if (!origin) return false;
        if (origin.get() != Py_None) continue;
        if (!py::call_method<"set_origin">(item.get(), for_cls)) return false;
    }
    py::Ref done = py::Ref::steal(PyObject_CallFunctionObjArgs(
        bridge->register_forward_ref_target.get(), list, for_cls, nullptr));
    return static_cast<bool>(done);
}

// A field whose value spec still carries the package's inherit marker found
// no base field to inherit from.
bool check_no_inherit_marker(PyObject* fields) {
    py::DictCursor cursor(fields);
    py::Ref key, field;
    for (;;) {
        const int step = cursor.next(key, field);
        if (step <= 0) return step == 0;
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec) return false;
        py::Ref marker = py::get_attr<"_is_inherit_marker">(spec.get());
        if (!marker) {
            PyErr_Clear();  // a spec that cannot answer is not a marker
            continue;
        }
        const int marked = PyObject_IsTrue(marker.get());
        if (marked < 0) return false;
        if (!marked) continue;
        py::Ref field_key = py::get_attr<"key">(field.get());
        if (!field_key) return false;
        PyErr_Format(PyExc_TypeError,
                     "Field %R: `vk.typing.Inherit` requires a parent field with the same key, "
                     "but none was found in the base schema(s).",
                     field_key.get());
        return false;
    }
}

py::Params kNewParams{"Schema",
                      {"fields", "name", "base_schema_list", "description",
                       "allow_nonconst_keys", "metadata", "for_cls"},
                      4,
                      1};

}  // namespace

py::Params<3> kMergeParams{"merge", {"schema_list", "name=None", "description=None"}, 3, 1};

void raise_conversion(const char* what, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "'%s' must be %s, not %s", what, expected,
                 Py_TYPE(got)->tp_name);
}

py::Ref detect_dynamic_field(PyObject* fields) {
    py::DictCursor cursor(fields);
    py::Ref key, field;
    for (;;) {
        const int step = cursor.next(key, field);
        if (step < 0) return {};
        if (step == 0) return py::Ref::borrow(Py_None);
        const int is_const = attr_truth<"is_const">(key.get());
        if (is_const < 0) return {};
        if (!is_const) return field;
    }
}

bool merge_fields(PyObject* fields, PyObject* metadata, bool allow_nonconst_keys,
                  PyObject* base, MergedFields& out) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return false;
    py::Ref base_name = py::get_attr<"name">(base);
    if (!base_name) return false;
    py::Ref base_fields = py::get_attr<"fields">(base);
    if (!base_fields) return false;
    py::Ref base_metadata = py::get_attr<"metadata">(base);
    if (!base_metadata) return false;
    py::Ref merge_fn = py::Ref::steal(PyObject_CallFunctionObjArgs(
        bridge->make_field_merge_fn.get(), allow_nonconst_keys ? Py_True : Py_False,
        base_name.get(), nullptr));
    if (!merge_fn) return false;
    py::Ref pair = py::Ref::steal(PyList_New(2));
    if (!pair) return false;
    PyList_SET_ITEM(pair.get(), 0, py::Ref(base_fields).release());
    PyList_SET_ITEM(pair.get(), 1, py::new_ref(fields));
    py::Ref merged = py::Ref::steal(PyObject_CallFunctionObjArgs(
        bridge->topology_merge.get(), pair.get(), merge_fn.get(), nullptr));
    if (!merged) return false;
    if (!PyDict_Check(merged.get())) {
        raise_conversion("merged fields", "a dict", merged.get());
        return false;
    }
    pair = py::Ref::steal(PyList_New(2));
    if (!pair) return false;
    PyList_SET_ITEM(pair.get(), 0, py::Ref(base_metadata).release());
    PyList_SET_ITEM(pair.get(), 1, py::new_ref(metadata));
    py::Ref merged_metadata = py::Ref::steal(
        PyObject_CallFunctionObjArgs(bridge->topology_merge.get(), pair.get(), nullptr));
    if (!merged_metadata) return false;
    out.fields = std::move(merged);
    out.metadata = std::move(merged_metadata);
    return true;
}

py::Ref new_schema(PyTypeObject* type, const SchemaArgs& a) {
    // 1. The fields come as a list.
    if (!PyList_Check(a.fields)) {
        PyErr_Format(PyExc_TypeError, "Argument 'fields' must be a list. Encountered: %R.",
                     a.fields);
        return {};
    }
    // 2. The fields dict.
    py::Ref fields = fields_dict_of(a.fields);
    if (!fields) return {};
    // 3. The caller's metadata is kept as it is unless it is empty.
    py::Ref metadata;
    if (PyObject* given = none_if_absent(a.metadata)) {
        const int truthy = PyObject_IsTrue(given);
        if (truthy < 0) return {};
        if (truthy) metadata = py::Ref::borrow(given);
    }
    if (!metadata && !(metadata = py::Ref::steal(PyDict_New()))) return {};
    // 4. The owning class.
    if (PyObject* for_cls = none_if_absent(a.for_cls))
        if (!adopt_fields(a.fields, for_cls)) return {};
    // 5. An own non-constant field is the dynamic field.
    py::Ref dynamic = detect_dynamic_field(fields.get());
    if (!dynamic) return {};
    // 6. The bases, folded into one, under the own fields.
    if (PyObject* bases = none_if_absent(a.base_schema_list)) {
        const int truthy = PyObject_IsTrue(bases);
        if (truthy < 0) return {};
        if (truthy) {
            py::Ref base = merge_schemas(bases, nullptr, nullptr);
            if (!base) return {};
            MergedFields merged;
            if (!merge_fields(fields.get(), metadata.get(), a.allow_nonconst_keys, base.get(),
                              merged))
                return {};
            fields = std::move(merged.fields);
            metadata = std::move(merged.metadata);
            if (dynamic.get() == Py_None && !(dynamic = detect_dynamic_field(fields.get())))
                return {};
        }
    }
    // 7. The cached metadata of the final fields.
    SchemaMetaRef meta = compute_caches(fields.get());
    if (!meta) return {};
    // 8. Non-constant keys only where allowed.
    if (!a.allow_nonconst_keys && dynamic.get() != Py_None) {
        py::Ref key = py::get_attr<"key">(dynamic.get());
        if (!key) return {};
        PyErr_Format(PyExc_ValueError, "NonConstKey is not allowed in schema. Encountered '%S'.",
                     key.get());
        return {};
    }
    // 9. No inherit marker may survive the merge.
    if (!check_no_inherit_marker(fields.get())) return {};
    // 10. The schema.
    py::Ref self = py::alloc<SchemaState>(type);
    if (!self) return {};
    SchemaState& s = py::state<SchemaState>(self.get());  // new: no one else can reach it
    s.fields = std::move(fields);
    s.name = py::Ref::borrow(a.name ? a.name : Py_None);
    s.description = py::Ref::borrow(a.description ? a.description : Py_None);
    s.metadata = std::move(metadata);
    s.dynamic_field = std::move(dynamic);
    s.allow_nonconst_keys = a.allow_nonconst_keys;
    s.meta = std::move(meta);
    return self;
}

py::Ref merge_schemas(PyObject* schema_list, PyObject* name, PyObject* description) {
    py::Ref result = py::Ref::steal(PyDict_New());
    if (!result) return {};  // before the list's `__iter__`, which may be Python code
    py::Ref it = py::Ref::steal(PyObject_GetIter(schema_list));
    if (!it) return {};
    py::Ref carried;  // the first non-constant field met
    while (py::Ref schema = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref fields = py::get_attr<"fields">(schema.get());
        if (!fields) return {};
        if (!PyDict_Check(fields.get())) {
            raise_conversion("fields", "a dict", fields.get());
            return {};
        }
        py::DictCursor cursor(fields.get());
        py::Ref key, field;
        for (;;) {
            const int step = cursor.next(key, field);
            if (step < 0) return {};
            if (step == 0) break;
            const int is_const = attr_truth<"is_const">(key.get());
            if (is_const < 0) return {};
            if (!is_const) {
                if (!carried) carried = field;
                continue;
            }
            PyObject* raw = nullptr;
            if (PyDict_GetItemRef(result.get(), key.get(), &raw) < 0) return {};
            py::Ref kept = py::Ref::steal(raw);
            if (kept) {
                // A field from a subclass of the kept field's origin replaces it.
                py::Ref new_origin = py::get_attr<"origin">(field.get());
                if (!new_origin) return {};
                py::Ref kept_origin = py::get_attr<"origin">(kept.get());
                if (!kept_origin) return {};
                if (new_origin.get() == Py_None || kept_origin.get() == Py_None) continue;
                const int sub = PyObject_IsSubclass(new_origin.get(), kept_origin.get());
                if (sub < 0) return {};
                if (!sub) continue;
            }
            if (PyDict_SetItem(result.get(), key.get(), field.get()) < 0) return {};
        }
    }
    if (PyErr_Occurred()) return {};
    if (carried) {
        py::Ref key = py::get_attr<"key">(carried.get());
        if (!key || PyDict_SetItem(result.get(), key.get(), carried.get()) < 0) return {};
    }
    py::Ref list = py::Ref::steal(PyDict_Values(result.get()));
    if (!list) return {};
    PyTypeObject* type = schema_type();
    if (!type) return {};
    SchemaArgs a;
    a.fields = list.get();
    a.name = none_if_absent(name);
    a.description = none_if_absent(description);
    a.allow_nonconst_keys = true;
    return new_schema(type, a);
}

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<7> p;
    if (!py::parse(kNewParams, args, kwds, p)) return nullptr;
    SchemaArgs a;
    a.fields = p[0];
    a.name = none_if_absent(p[1]);
    a.base_schema_list = none_if_absent(p[2]);
    a.description = none_if_absent(p[3]);
    if (!py::opt_bool("allow_nonconst_keys", p[4], false, a.allow_nonconst_keys)) return nullptr;
    a.metadata = none_if_absent(p[5]);
    a.for_cls = none_if_absent(p[6]);
    return new_schema(type, a).release();
}

PyObject* schema_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> p;
    if (!py::parse(kMergeParams, args, nargs, kwnames, p)) return nullptr;
    return merge_schemas(p[0], p[1], p[2]).release();
}

}  // namespace vesk::typing::schema
