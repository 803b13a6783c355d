// The schema's Python surface over its stored state: the stored members and
// their two setters, the cached flags and tuples, the mapping lookups over
// the fields dict, key resolution and compatibility.
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/dict_cursor.hpp"

#include <utility>

namespace vesk::typing::schema {

namespace {

// A stored member, read under a shared borrow.
template <py::Ref SchemaState::*Member>
PyObject* member(PyObject* self) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    return py::Ref(schema_state(self).*Member).release();
}

// The field stored under exactly `key` (null without an error when absent).
py::Ref lookup(PyObject* fields, PyObject* key) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(fields, key, &found) < 0) return {};
    return py::Ref::steal(found);
}

template <py::Literal Method>
PyObject* dict_view(PyObject* self) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    PyObject* name = py::intern<Method>();
    return name ? PyObject_CallMethodNoArgs(schema_state(self).fields.get(), name) : nullptr;
}

// Stores `value` under the exclusive borrow; the old value is released
// after the borrow, since releasing it may run a finaliser that reads the
// schema.
template <py::Ref SchemaState::*Member>
PyObject* store_member(PyObject* self, PyObject* value) {
    py::Ref old;
    {
        py::ExclusiveBorrow b(schema_borrow(self));
        if (!b.acquire()) return nullptr;
        old = std::exchange(schema_state(self).*Member, py::Ref::borrow(value));
    }
    return py::none();
}

// A copy of cached claims, each claim list copied too.
py::Ref copy_claims(PyObject* cached) {
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out) return {};
    py::DictCursor cursor(cached);
    py::Ref key_spec, keys;
    for (;;) {
        const int step = cursor.next(key_spec, keys);
        if (step < 0) return {};
        if (step == 0) return out;
        py::Ref own = py::Ref::steal(PySequence_List(keys.get()));
        if (!own || PyDict_SetItem(out.get(), key_spec.get(), own.get()) < 0) return {};
    }
}

py::Params kGetParams{"get", {"key", "default"}, 2, 1};

}  // namespace

PyObject* schema_set_name(PyObject* self, PyObject* name) {
    return store_member<&SchemaState::name>(self, name);
}

PyObject* schema_set_description(PyObject* self, PyObject* description) {
    return store_member<&SchemaState::description>(self, description);
}

// The claims of an all-constant schema come from its cached metadata, which
// the general road of `apply` reads too: the caller gets its own copy, so
// changing the result cannot change later applications.
PyObject* schema_resolve(PyObject* self, PyObject* keys) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    py::Ref claimed, unclaimed;
    if (!resolve_inner(self, keys, claimed, unclaimed)) return nullptr;
    if (claimed.get() == schema_state(self).meta->const_resolution.get() &&
        !(claimed = copy_claims(claimed.get())))
        return nullptr;
    return PyTuple_Pack(2, claimed.get(), unclaimed.get());
}

PyObject* schema_get_fields(PyObject* self) { return member<&SchemaState::fields>(self); }
PyObject* schema_get_name(PyObject* self) { return member<&SchemaState::name>(self); }
PyObject* schema_get_description(PyObject* self) {
    return member<&SchemaState::description>(self);
}
PyObject* schema_get_metadata(PyObject* self) { return member<&SchemaState::metadata>(self); }
PyObject* schema_get_dynamic_field(PyObject* self) {
    return member<&SchemaState::dynamic_field>(self);
}

PyObject* schema_get_allow_nonconst_keys(PyObject* self) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    return py::boolean(schema_state(self).allow_nonconst_keys);
}

PyObject* schema_get_has_const_keys(PyObject* self) {
    SchemaMetaRef m = schema_meta(self);
    return m ? py::boolean(m->has_const) : nullptr;
}

PyObject* schema_get_has_nonconst_keys(PyObject* self) {
    SchemaMetaRef m = schema_meta(self);
    return m ? py::boolean(m->has_nonconst) : nullptr;
}

PyObject* schema_get_const_apply_fields(PyObject* self) {
    SchemaMetaRef m = schema_meta(self);
    if (!m) return nullptr;
    return py::new_ref(m->const_apply_fields ? m->const_apply_fields.get() : Py_None);
}

PyObject* schema_get_const_bulk_check(PyObject* self) {
    SchemaMetaRef m = schema_meta(self);
    if (!m) return nullptr;
    return py::new_ref(m->const_bulk_check ? m->const_bulk_check.get() : Py_None);
}

PyObject* schema_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kGetParams, args, nargs, kwnames, a)) return nullptr;
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    py::Ref field = lookup(schema_state(self).fields.get(), a[0]);
    if (field) return field.release();
    if (PyErr_Occurred()) return nullptr;
    return py::new_ref(a.given(1) ? a[1] : Py_None);
}

PyObject* schema_getitem(PyObject* self, PyObject* key) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    py::Ref field = lookup(schema_state(self).fields.get(), key);
    if (field || PyErr_Occurred()) return field.release();
    py::Ref text = py::Ref::steal(PyObject_Repr(key));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
    return nullptr;
}

int schema_contains(PyObject* self, PyObject* key) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return -1;
    return PyDict_Contains(schema_state(self).fields.get(), key);
}

PyObject* schema_keys(PyObject* self) { return dict_view<"keys">(self); }
PyObject* schema_values(PyObject* self) { return dict_view<"values">(self); }
PyObject* schema_items(PyObject* self) { return dict_view<"items">(self); }

// The exact field of `key`, else, where the schema allows non-constant keys,
// the field of the first key spec (in declaration order) whose `match`
// accepts it.
PyObject* schema_get_field(PyObject* self, PyObject* key) {
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    const SchemaState& s = schema_state(self);
    py::Ref field = lookup(s.fields.get(), key);
    if (field || PyErr_Occurred()) return field.release();
    if (!s.allow_nonconst_keys) return py::none();
    PyObject* match = py::intern<"match">();
    if (!match) return nullptr;
    py::DictCursor cursor(s.fields.get());
    py::Ref key_spec;
    for (;;) {
        const int step = cursor.next(key_spec, field);
        if (step < 0) return nullptr;
        if (step == 0) return py::none();
        py::Ref hit = py::Ref::steal(PyObject_CallMethodOneArg(key_spec.get(), match, key));
        if (!hit) return nullptr;
        const int truthy = PyObject_IsTrue(hit.get());
        if (truthy < 0) return nullptr;
        if (truthy) return field.release();
    }
}

// Same keys, and each own value spec compatible with the other's.
PyObject* schema_is_compatible(PyObject* self, PyObject* other) {
    if (!is_schema(other)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'other' should be a Schema object. Encountered %S.", other);
        return nullptr;
    }
    py::SharedBorrow b(schema_borrow(self));
    if (!b.acquire()) return nullptr;
    PyObject* own = schema_state(self).fields.get();
    py::Ref theirs = py::get_attr<"fields">(other);
    if (!theirs) return nullptr;
    if (!PyDict_Check(theirs.get())) {
        raise_conversion("fields", "a dict", theirs.get());
        return nullptr;
    }
    py::Ref key, field;
    {
        py::DictCursor cursor(theirs.get());
        for (;;) {
            const int step = cursor.next(key, field);
            if (step < 0) return nullptr;
            if (step == 0) break;
            const int has = PyDict_Contains(own, key.get());
            if (has <= 0) return has < 0 ? nullptr : py::boolean(false);
        }
    }
    PyObject* is_compatible = py::intern<"is_compatible">();
    if (!is_compatible) return nullptr;
    py::DictCursor cursor(own);
    for (;;) {
        const int step = cursor.next(key, field);
        if (step < 0) return nullptr;
        if (step == 0) return py::boolean(true);
        py::Ref other_field = lookup(theirs.get(), key.get());
        if (!other_field) return PyErr_Occurred() ? nullptr : py::boolean(false);
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec) return nullptr;
        py::Ref other_spec = py::get_attr<"value">(other_field.get());
        if (!other_spec) return nullptr;
        py::Ref ok = py::Ref::steal(
            PyObject_CallMethodOneArg(spec.get(), is_compatible, other_spec.get()));
        if (!ok) return nullptr;
        const int truthy = PyObject_IsTrue(ok.get());
        if (truthy <= 0) return truthy < 0 ? nullptr : py::boolean(false);
    }
}

}  // namespace vesk::typing::schema
