// Test-only C entry points compiled into development builds of the module
// (never into the wheel). The seams extension finds them in the loaded
// module by name, so tests reach the module's own state and drivers:
//
//   vesk_test_set_shortcuts(on)       turns every native shortcut on or off
//   vesk_test_set_added_rules(on)     turns the element rules beyond the plain
//                                     ones (and their native roads) on or off
//   vesk_test_validate_fields_native  the construct validation of a schema
//   vesk_test_hold_rule(spec)         a copy of the spec's element rule, held
//                                     by a capsule, as a reader holds one
//   vesk_test_elem_rule               the element rule of a spec, and whether it is kept
//
// They are called with the interpreter attached; errors follow its
// convention (null with an exception set).
#include "typing/shortcuts.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/change_epoch.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/funnel/elem_rule.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#define VESK_EXPORT extern "C" __attribute__((visibility("default")))

VESK_EXPORT void vesk_test_set_shortcuts(int on) {
    vesk::typing::SHORTCUTS_OFF.store(on == 0, std::memory_order_relaxed);
}

VESK_EXPORT void vesk_test_set_added_rules(int on) {
    vesk::typing::ADDED_RULES_OFF.store(on == 0, std::memory_order_relaxed);
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

// A capsule owning a copy of the element rule of `spec` (containers allowed),
// taken from the spec's cache as a fast path takes it: it shares the cached
// rule's nested parts for as long as the capsule lives.
VESK_EXPORT PyObject* vesk_test_hold_rule(PyObject* spec) {
    using vesk::typing::funnel::ElemRule;
    auto* rule = new ElemRule();
    if (!vesk::typing::funnel::elem_rule(spec, true, *rule)) {
        delete rule;
        return nullptr;
    }
    PyObject* capsule = PyCapsule_New(rule, "vesk.test.rule", [](PyObject* c) {
        delete static_cast<ElemRule*>(PyCapsule_GetPointer(c, "vesk.test.rule"));
    });
    if (!capsule) delete rule;
    return capsule;
}

// (kind, payload, allow_none, widen_int, kept) for the element rule of `spec`
// with containers allowed or not: `kind` names the rule's kind, `payload` is
// its class or classes (None when it has none), and `kept` says whether the
// spec's cache holds that rule, current, once it was asked for.
VESK_EXPORT PyObject* vesk_test_elem_rule(PyObject* spec, int allow_containers) {
    namespace funnel = vesk::typing::funnel;
    using Kind = funnel::ElemRule::Kind;
    funnel::ElemRule rule;
    if (!funnel::elem_rule(spec, allow_containers != 0, rule)) return nullptr;
    bool kept = false;
    if (vesk::typing::is_spec(spec)) {
        const auto& slot =
            vesk::py::state<vesk::typing::SpecEngine>(spec).rules.slots[allow_containers ? 1 : 0];
        vesk::typing::field::ReadSection reading;
        const funnel::CompiledRule* cached = slot.peek();
        kept = cached && cached->epoch == vesk::typing::change_epoch() && cached->witness.holds();
    }
    const char* kind = "Slow";
    switch (rule.kind) {
        case Kind::Slow: kind = "Slow"; break;
        case Kind::ExactType: kind = "ExactType"; break;
        case Kind::ExactTypes: kind = "ExactTypes"; break;
        case Kind::Tuple: kind = "Tuple"; break;
        case Kind::List: kind = "List"; break;
        case Kind::ObjectCandidate: kind = "ObjectCandidate"; break;
        case Kind::AcceptAny: kind = "AcceptAny"; break;
        case Kind::ConstKeyDict: kind = "ConstKeyDict"; break;
        case Kind::Bounded: kind = "Bounded"; break;
    }
    PyObject* payload = rule.payload ? rule.payload.get() : Py_None;
    return Py_BuildValue("(sOOOO)", kind, payload, rule.allow_none ? Py_True : Py_False,
                         rule.widen_int ? Py_True : Py_False, kept ? Py_True : Py_False);
}
