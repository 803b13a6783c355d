// The schema's Python surface over its stored state: the stored members and
// their two setters, the cached flags and tuples, the mapping lookups over
// the fields dict, key resolution and compatibility.
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"

#include <utility>

namespace vesk::typing::schema {

namespace {

// A stored member.
template <py::Ref SchemaState::*Member>
PyObject* member(const Reading& self) {
    return py::Ref((*self).*Member).release();
}

// The field stored under exactly `key` (null without an error when absent).
py::Ref lookup(PyObject* fields, PyObject* key) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(fields, key, &found) < 0) return {};
    return py::Ref::steal(found);
}

template <py::Literal Method>
PyObject* dict_view(const Reading& self) {
    return py::call_method<Method>(self->fields.get()).release();
}

// Stores `value` under the exclusive hold; the old value is released after
// the hold, since releasing it may run a finaliser that reads the schema.
template <py::Ref SchemaState::*Member>
PyObject* store_member(Scoped self, PyObject* value) {
    py::Ref old = py::Ref::borrow(value);
    {
        Writing w = self.exclusive();
        if (!w) return nullptr;
        std::swap((*w).*Member, old);
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

}  // namespace

py::Params<2> kGetParams{"get", {"key", "default=None"}, 2, 1};

PyObject* schema_set_name(Scoped self, PyObject* name) {
    return store_member<&SchemaState::name>(self, name);
}

PyObject* schema_set_description(Scoped self, PyObject* description) {
    return store_member<&SchemaState::description>(self, description);
}

// The claims of an all-constant schema come from its cached metadata, which
// the general road of `apply` reads too: the caller gets its own copy, so
// changing the result cannot change later applications.
PyObject* schema_resolve(const Reading& self, PyObject* keys) {
    py::Ref claimed, unclaimed;
    if (!resolve_inner(*self, keys, claimed, unclaimed)) return nullptr;
    if (claimed.get() == self->meta->const_resolution.get() &&
        !(claimed = copy_claims(claimed.get())))
        return nullptr;
    return PyTuple_Pack(2, claimed.get(), unclaimed.get());
}

PyObject* schema_get_fields(const Reading& self) { return member<&SchemaState::fields>(self); }
PyObject* schema_get_name(const Reading& self) { return member<&SchemaState::name>(self); }
PyObject* schema_get_description(const Reading& self) {
    return member<&SchemaState::description>(self);
}
PyObject* schema_get_metadata(const Reading& self) {
    return member<&SchemaState::metadata>(self);
}
PyObject* schema_get_dynamic_field(const Reading& self) {
    return member<&SchemaState::dynamic_field>(self);
}

PyObject* schema_get_allow_nonconst_keys(const Reading& self) {
    return py::boolean(self->allow_nonconst_keys);
}

PyObject* schema_get_has_const_keys(const Reading& self) {
    return py::boolean(self->meta->has_const);
}

PyObject* schema_get_has_nonconst_keys(const Reading& self) {
    return py::boolean(self->meta->has_nonconst);
}

PyObject* schema_get_const_apply_fields(const Reading& self) {
    const py::Ref& cached = self->meta->const_apply_fields;
    return py::new_ref(cached ? cached.get() : Py_None);
}

PyObject* schema_get_const_bulk_check(const Reading& self) {
    const py::Ref& cached = self->meta->const_bulk_check;
    return py::new_ref(cached ? cached.get() : Py_None);
}

PyObject* schema_get(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kGetParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref field = lookup(self->fields.get(), a[0]);
    if (field) return field.release();
    if (PyErr_Occurred()) return nullptr;
    return py::new_ref(a.given(1) ? a[1] : Py_None);
}

PyObject* schema_getitem(const Reading& self, PyObject* key) {
    py::Ref field = lookup(self->fields.get(), key);
    if (field || PyErr_Occurred()) return field.release();
    py::Ref text = py::Ref::steal(PyObject_Repr(key));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
    return nullptr;
}

int schema_contains(const Reading& self, PyObject* key) {
    return PyDict_Contains(self->fields.get(), key);
}

PyObject* schema_keys(const Reading& self) { return dict_view<"keys">(self); }
PyObject* schema_values(const Reading& self) { return dict_view<"values">(self); }
PyObject* schema_items(const Reading& self) { return dict_view<"items">(self); }

// The exact field of `key`, else, where the schema allows non-constant keys,
// the field of the first key spec (in declaration order) whose `match`
// accepts it.
PyObject* schema_get_field(const Reading& self, PyObject* key) {
    py::Ref field = lookup(self->fields.get(), key);
    if (field || PyErr_Occurred()) return field.release();
    if (!self->allow_nonconst_keys) return py::none();
    py::DictCursor cursor(self->fields.get());
    py::Ref key_spec;
    for (;;) {
        const int step = cursor.next(key_spec, field);
        if (step < 0) return nullptr;
        if (step == 0) return py::none();
        py::Ref hit = py::call_method<"match">(key_spec.get(), key);
        if (!hit) return nullptr;
        const int truthy = PyObject_IsTrue(hit.get());
        if (truthy < 0) return nullptr;
        if (truthy) return field.release();
    }
}

// Same keys, and each own value spec compatible with the other's.
PyObject* schema_is_compatible(const Reading& self, PyObject* other) {
    if (!is_schema(other)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'other' should be a Schema object. Encountered %S.", other);
        return nullptr;
    }
    PyObject* own = self->fields.get();
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
        py::Ref ok = py::call_method<"is_compatible">(spec.get(), other_spec.get());
        if (!ok) return nullptr;
        const int truthy = PyObject_IsTrue(ok.get());
        if (truthy <= 0) return truthy < 0 ? nullptr : py::boolean(false);
    }
}

}  // namespace vesk::typing::schema
