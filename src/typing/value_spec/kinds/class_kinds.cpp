#include "typing/value_spec/kinds/class_kinds.hpp"

#include "typing/bridge.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

namespace vesk::typing {

py::Params<1> kOneTypeArgParams{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kOneTypeArgItemParams{"__class_getitem__", {"type_args"}, 1, 1};

py::Ref make_forward_ref(PyObject* name) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    return py::Ref::steal(PyObject_CallOneArg(bridge->make_forward_ref.get(), name));
}

py::Ref from_one_type_arg(PyObject* type_args, PyTypeObject* type, OneArgNew make,
                          const char* message) {
    if (!type) return {};
    py::Ref args = as_type_args(type_args);
    if (!args) return {};
    if (PyTuple_GET_SIZE(args.get()) != 1) {
        py::Ref text = py::Ref::steal(PyObject_Str(args.get()));
        if (text) PyErr_Format(PyExc_TypeError, message, text.get());
        return {};
    }
    return py::Ref::steal(wrap_built(type, make(PyTuple_GET_ITEM(args.get(), 0), defaults())));
}

py::Ref one_type_arg_item(PyObject* type_args, PyTypeObject* type, OneArgNew make,
                          const char* message) {
    py::Ref spec = from_one_type_arg(type_args, type, make, message);
    if (!spec) return {};
    return generic_getitem_result(std::move(spec));
}

int equal_forward_refs(const SpecEngine& engine, PyObject* other) {
    py::Ref mine = forward_refs(engine);
    if (!mine) return -1;
    return eq_attr<"forward_refs">(mine.get(), other);
}

int extend_by_compatibility(PyObject* child, PyObject* base, const char* what) {
    const int compatible = spec_is_compatible(base, child);
    if (compatible != 0) return compatible < 0 ? -1 : 0;
    return extension::refuse_of(child, base, ": incompatible %s.", what);
}

}  // namespace vesk::typing
