// A Field over another: `extend` over a base field, and the copy-on-write
// ownership of the value spec that class-specific writers take first.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/args.hpp"
#include "py/named.hpp"

#include <array>

namespace vesk::typing::field {

namespace {

// The stated flags that a base's False carries over, in one order.
constexpr std::array<Tri FieldMembers::*, 5> kCarriedFlags{
    &FieldMembers::enable_repr, &FieldMembers::enable_compare, &FieldMembers::enable_hash,
    &FieldMembers::enable_clone, &FieldMembers::enable_validation};

// Stores `value` into the field's value spec under its exclusive hold; the
// replaced spec is released after the hold, with `value`.
[[nodiscard]] bool store_value_spec(Scoped self, py::Ref& value) {
    Writing w = self.exclusive();
    if (!w) return false;
    std::swap(w->value, value);
    return true;
}

}  // namespace

// Reads the base under one shared hold before this field is held, so a
// field extends itself as well; then each step writes this field under an
// exclusive hold of its own, released before the next call into Python.
PyObject* field_extend(Scoped self, PyObject* base) {
    if (!is_field(base)) {
        py::raise_arg_type("base_field", "Field", base);
        return nullptr;
    }
    FieldMembers theirs;
    {
        Reading b(base);
        if (!b) return nullptr;
        theirs = *b;
    }
    py::Ref key, value, description, metadata;
    {
        Reading s = self.shared();
        if (!s) return nullptr;
        key = s->key;
        value = s->value;
        description = s->description;
        metadata = s->metadata;
    }
    PyObject* base_key = theirs.key ? theirs.key.get() : Py_None;
    if (!py::call_method<"extend">(key ? key.get() : Py_None, base_key)) return nullptr;
    py::Ref new_value = py::call_method<"extend">(value ? value.get() : Py_None,
                                                  theirs.value ? theirs.value.get() : Py_None);
    if (!new_value || !store_value_spec(self, new_value)) return nullptr;
    new_value.reset();

    const int has_description = description ? PyObject_IsTrue(description.get()) : 0;
    if (has_description < 0) return nullptr;
    if (!has_description) {
        Writing w = self.exclusive();
        if (!w) return nullptr;
        std::swap(w->description, theirs.description);
    }
    py::Ref new_metadata;
    const int base_has_metadata = theirs.metadata ? PyObject_IsTrue(theirs.metadata.get()) : 0;
    if (base_has_metadata < 0) return nullptr;
    if (base_has_metadata) {
        new_metadata = py::call_imported<"copy", "copy">(theirs.metadata.get());
        if (!new_metadata ||
            !py::call_method<"update">(new_metadata.get(), metadata ? metadata.get() : Py_None))
            return nullptr;
    }
    {
        Writing w = self.exclusive();
        if (!w) return nullptr;
        if (new_metadata) std::swap(w->metadata, new_metadata);
        // A flag the base states False is False here too, unless stated here.
        for (Tri FieldMembers::* flag : kCarriedFlags)
            if (theirs.*flag == Tri::False && (*w).*flag == Tri::Unset) (*w).*flag = Tri::False;
        if (!theirs.enable_init) w->enable_init = false;
        if (!w->validator || w->validator.get() == Py_None) std::swap(w->validator, theirs.validator);
        if (!w->alias || w->alias.get() == Py_None) std::swap(w->alias, theirs.alias);
    }
    invalidate_meta(self.object());
    return py::new_ref(self.object());  // replaced members leave with `theirs`, after every hold
}

PyObject* field_own_value_spec(Scoped self) {
    py::Ref spec = field_value_spec(self.object());
    if (!spec) return nullptr;
    py::Ref clone = py::call_imported<"copy", "deepcopy">(spec.get());
    if (!clone || !store_value_spec(self, clone)) return nullptr;
    clone.reset();
    invalidate_meta(self.object());
    return py::none();
}

PyObject* field_materialize_strict(Scoped self) {
    py::Ref done = py::Ref::steal(field_own_value_spec(self));
    if (!done) return nullptr;
    py::Ref spec = field_value_spec(self.object());
    if (!spec || !py::call_method<"_materialize_strict">(spec.get())) return nullptr;
    return py::none();
}

}  // namespace vesk::typing::field
