// The per-kind dispatch table. One line per kind, in variant order; a kind
// that is built points its line at its own entry.
#include "typing/value_spec/engine/kind_ops.hpp"

#include "py/errors.hpp"

namespace vesk::typing {

namespace {

const char* unbuilt_label(const SpecKind&) { return "Spec"; }
const char* unbuilt_key(const SpecKind&) { return ""; }
PyTypeObject* unbuilt_class(const SpecKind&) {
    py::raise_internal("spec kind not built");
    return nullptr;
}

}  // namespace

const KindOps kUnbuiltOps{
    .label = unbuilt_label,
    .serialization_key = unbuilt_key,
    .py_class = unbuilt_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = nullptr,
    .shortcut = nullptr,
    .apply_kind = nullptr,
    .validate = nullptr,
    .deep_clone_payload = nullptr,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

const std::array<const KindOps*, kKindCount> kKindOps{
    &kBoolOps,     // Bool
    &kStrOps,      // Str
    &kNumberOps,   // Number
    &kEnumOps,     // Enum
    &kAnyOps,      // Any
    &kListOps,     // List
    &kTupleOps,    // Tuple
    &kUnionOps,    // Union
    &kObjectOps,   // Object
    &kTypeOps,     // Type
    &kDictOps,     // Dict
    &kCallableOps, // Callable
};

}  // namespace vesk::typing
