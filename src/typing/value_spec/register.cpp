#include "typing/value_spec/register.hpp"

#include "py/module.hpp"
#include "typing/field/field.hpp"
#include "typing/schema/schema.hpp"
#include "typing/value_spec/callable.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "typing/value_spec/object_type.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/union.hpp"

namespace vesk::typing::value_spec {

int register_module(PyObject* module) {
    // The module order of the classes: SpecBase, Bool, Str, Int, Float, Enum,
    // Any, List, Tuple, Union, Object, Type, Field, Schema, Dict, Callable,
    // Functor. Each class that exists binds here, in that order.
    // Accessors, not types: a class is built only once the one before it
    // was, so no build runs with an exception pending.
    using TypeFn = PyTypeObject* (*)();
    constexpr TypeFn kClasses[] = {
        spec_base_type,
        primitives::bool_type,
        primitives::str_type,
        primitives::int_type,
        primitives::float_type,
        primitives::enum_type,
        primitives::any_type,
        containers::list_type,
        containers::tuple_type,
        union_type,
        object_type,
        type_type,
        field::field_type,
        schema::schema_type,
        containers::dict_type,
        callable::callable_type,
        callable::functor_type,
    };
    for (TypeFn cls : kClasses)
        if (py::add_type(module, cls()) < 0) return -1;
    return 0;
}

}  // namespace vesk::typing::value_spec
