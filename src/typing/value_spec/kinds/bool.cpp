// Bool: the spec of a bool. It has no options of its own.
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/kinds/leaf_shortcuts.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"

namespace vesk::typing {

namespace {

std::optional<SpecEngine> bool_new(SpecCommon common) {
    return build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type)), BoolKind{},
                      std::move(common));
}

struct BoolClass {
    static constexpr py::Literal kName{"Bool"};
    static constexpr const char* kParams[] = {
        "default=...", "default_factory=None", "is_noneable=False", "frozen=False",
        "strict=None"};
    static constexpr Py_ssize_t kPositional = 5, kRequired = 0;

    static std::optional<SpecEngine> make(const py::Args<5>&, SpecCommon common) {
        return bool_new(std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow&, SpecCommon common) {
        return bool_new(std::move(common));
    }
};

using Class = SpecClass<BoolClass>;

const KindClass& bool_class_of(const SpecKind&) { return Class::kClass; }

bool bool_write_json(SpecJsonWriter& w, const SpecEngine& e) { return w.noneable_strict_frozen(e); }

Shortcut bool_shortcut(const SpecEngine& engine, PyObject*, PyObject* value, ApplyOptions& options,
                  py::Ref& out) {
    return leaf_shortcut(engine, value, options, out);
}

Leaf bool_leaf(const SpecKind&) { return Leaf::Exact; }

}  // namespace

PyTypeObject* bool_type() { return Class::type(); }

constinit const KindOps BoolKind::ops{
    .class_of = bool_class_of,
    .repr_cacheable = true,
    .default_wrap_threshold = -1,
    .format_items = kCommon,
    .write_json = bool_write_json,
    .derived_default = kCommon,
    .keep_default_origin = kCommon,
    .shows_default = kCommon,
    .settle_options = kCommon,
    .shortcut = bool_shortcut,
    .coerce = kCommon,
    .apply_kind = kCommon,
    .validate = kCommon,
    .forward_refs = kCommon,
    .value_type_obj = kCommon,
    .annotation = value_type_or_missing,
    .optional_when_noneable = true,
    .leaf = bool_leaf,
    .descends = false,
    .constrains = false,
    .strict_children = kCommon,
    .deep_clone_payload = kCommon,
    .equal = kCommon,
    .compatible_first = kCommon,
    .compatible = kCommon,
    .call = kCommon,
    .noneable = kCommon,
    .extend = kCommon,
};

}  // namespace vesk::typing
