// List and Tuple rebuilt from their JSON dictionaries. Both forms of a Tuple
// come back through the one key "element_values": a list rebuilds the fixed
// form (an empty list the empty fixed form, which is what a zero-length
// fixed Tuple writes), one spec the variable form with its bounds. "size" is
// never read: a fixed form's bounds are its positions.
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/json_read.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"

namespace vesk::typing::containers {

namespace {

// The four size keys, each an int of 64 signed bits when present.
bool json_sizes(PyObject* json_value, PyObject* kwargs, SizeArgs& out) {
    struct Key {
        const char* name;
        std::optional<std::int64_t> SizeArgs::* slot;
    };
    const Key keys[] = {{"min_size", &SizeArgs::min_size},
                        {"max_size", &SizeArgs::max_size},
                        {"min_length", &SizeArgs::min_length},
                        {"max_length", &SizeArgs::max_length}};
    for (const Key& key : keys) {
        py::Ref value;
        if (json_field(json_value, key.name, kwargs, value) < 0) return false;
        if (!read_size_arg(key.name, value.get(), out.*key.slot)) return false;
    }
    return true;
}

bool json_transform(PyObject* json_value, PyObject* kwargs, SpecCommon& common) {
    py::Ref transform;
    if (json_field(json_value, "transform", kwargs, transform) < 0) return false;
    common.transform = py::Ref::borrow(primitives::none_as_omitted(transform.get()));
    return true;
}

}  // namespace

std::optional<SpecEngine> list_from_json(PyObject* json_value, PyObject* kwargs) {
    if (!json_check_dict(json_value)) return std::nullopt;
    SpecCommon common;
    if (!json_common(json_value, kwargs, common)) return std::nullopt;
    py::Ref element;
    if (!json_required(json_value, "element_value", kwargs, "List json missing 'element_value'.",
                       element))
        return std::nullopt;
    ListArgs args;
    args.element_value = element.get();
    if (!json_sizes(json_value, kwargs, args.sizes) ||
        !json_transform(json_value, kwargs, common))
        return std::nullopt;
    py::Ref symbolic;
    py::Ref auto_wrap;
    if (json_field(json_value, "symbolic", kwargs, symbolic) < 0 ||
        json_field(json_value, "auto_wrap", kwargs, auto_wrap) < 0)
        return std::nullopt;
    if (PyObject* given = primitives::none_as_omitted(symbolic.get())) {
        bool b = false;
        if (!py::arg_bool("symbolic", given, b)) return std::nullopt;
        args.symbolic = tri_from_bool(b);
    }
    if (!py::opt_bool("auto_wrap", auto_wrap.get(), true, args.auto_wrap)) return std::nullopt;
    return list_new(std::move(args), std::move(common));
}

std::optional<SpecEngine> tuple_from_json(PyObject* json_value, PyObject* kwargs) {
    if (!json_check_dict(json_value)) return std::nullopt;
    SpecCommon common;
    if (!json_common(json_value, kwargs, common)) return std::nullopt;
    py::Ref element_values;
    if (!json_required(json_value, "element_values", kwargs,
                       "Tuple json missing 'element_values'.", element_values))
        return std::nullopt;
    SizeArgs sizes;
    if (!json_sizes(json_value, kwargs, sizes) || !json_transform(json_value, kwargs, common))
        return std::nullopt;
    return tuple_new(element_values.get(), sizes, std::move(common));
}

namespace {
py::Params<1> kFromJson{"from_json", {"json_value"}, 1, 1, py::Keywords::Collect};
}  // namespace

PyObject* list_from_json_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJson, args, nargs, kwnames, a)) return nullptr;
    py::Ref kwargs = json_kwargs(a.extra());
    PyTypeObject* type = kwargs ? list_type() : nullptr;
    if (!type) return nullptr;
    return primitives::wrap_built(type, list_from_json(a[0], kwargs.get()));
}

PyObject* tuple_from_json_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJson, args, nargs, kwnames, a)) return nullptr;
    py::Ref kwargs = json_kwargs(a.extra());
    PyTypeObject* type = kwargs ? tuple_type() : nullptr;
    if (!type) return nullptr;
    return primitives::wrap_built(type, tuple_from_json(a[0], kwargs.get()));
}

}  // namespace vesk::typing::containers
