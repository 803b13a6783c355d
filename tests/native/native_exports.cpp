// Test-only C entry points compiled into development builds of the module
// (never into the wheel). The seams extension finds them in the loaded
// module by name, so tests reach the module's own state and drivers:
//
//   vesk_test_set_shortcuts(on)       turns every native shortcut on or off
//   vesk_test_validate_fields_native  the construct validation of a schema
//
// They are called with the interpreter attached; errors follow its
// convention (null with an exception set).
#include "typing/funnel/shortcuts.hpp"
#include "typing/schema/drivers.hpp"

#define VESK_EXPORT extern "C" __attribute__((visibility("default")))

VESK_EXPORT void vesk_test_set_shortcuts(int on) {
    vesk::typing::SHORTCUTS_OFF.store(on == 0, std::memory_order_relaxed);
}

// (validated dict, all_scalar) for `schema` (a Schema) and `source`;
// `transform` and `root_path` may be null.
VESK_EXPORT PyObject* vesk_test_validate_fields_native(PyObject* schema, PyObject* source,
                                                       int allow_partial, PyObject* transform,
                                                       PyObject* root_path, int symbolic_default,
                                                       int skip_validation, int no_child_paths,
                                                       int child_paths_for_transform) {
    namespace schema_ns = vesk::typing::schema;
    if (!schema_ns::is_schema(schema)) {
        PyErr_SetString(PyExc_TypeError, "schema must be a Schema");
        return nullptr;
    }
    schema_ns::ConstructArgs args;
    args.allow_partial = allow_partial != 0;
    args.transform = transform;
    args.root_path = root_path;
    args.symbolic_default = symbolic_default != 0;
    args.skip_validation = skip_validation != 0;
    args.no_child_paths = no_child_paths != 0;
    args.child_paths_for_transform = child_paths_for_transform != 0;
    schema_ns::Validated out;
    if (!schema_ns::validate_fields_native(schema, source, args, out)) return nullptr;
    return Py_BuildValue("(OO)", out.fields.get(), out.all_scalar ? Py_True : Py_False);
}
