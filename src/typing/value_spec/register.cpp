#include "typing/value_spec/register.hpp"

#include "py/module.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "typing/value_spec/kinds.hpp"

#include <span>

namespace vesk::typing::value_spec {

namespace {

using TypeFn = PyTypeObject* (*)();

// Accessors, not types: a class is built only once the one before it was
// bound, so no build runs with an exception pending.
int add_types(PyObject* module, std::span<const TypeFn> classes) {
    for (TypeFn cls : classes)
        if (py::add_type(module, cls()) < 0) return -1;
    return 0;
}

}  // namespace

int register_classes_before_field(PyObject* module) {
    static constexpr TypeFn kClasses[] = {
        spec_base_type, bool_type, str_type,   int_type,   float_type,  enum_type,
        any_type,       list_type, tuple_type, union_type, object_type, type_type,
    };
    return add_types(module, kClasses);
}

int register_classes_after_schema(PyObject* module) {
    static constexpr TypeFn kClasses[] = {dict_type, callable_type, functor_type};
    return add_types(module, kClasses);
}

}  // namespace vesk::typing::value_spec
