// `spec(*args, **kwargs)`: under a shared hold, the kind's `call` entry.
#include "typing/value_spec/spec_class/call.hpp"

#include "py/errors.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/spec_class/surface.hpp"

namespace vesk::typing {

PyObject* spec_call(const SpecRead& self, PyObject* args, PyObject* kwargs) {
    return ops(*self).call(*self, self.object(), args, kwargs);
}

PyObject* refuse_call(const SpecEngine& engine, PyObject*, PyObject*, PyObject*) {
    py::Ref text = repr(engine);
    if (text) PyErr_Format(PyExc_TypeError, "%U cannot be instantiated.", text.get());
    return nullptr;
}

py::Ref apply_made(const SpecEngine& engine, PyObject* self, py::Ref made) {
    if (!made) return {};
    return apply(engine, self, std::move(made), ApplyOptions{});
}

int call_from_default(const SpecEngine& engine, PyObject* self, PyObject* args, py::Ref& out) {
    if (PyTuple_GET_SIZE(args) == 0) {
        const int missing = is_missing(engine.default_value.get());
        if (missing < 0) return -1;
        if (!missing) {
            out = engine.default_value;
            return 1;
        }
        // A factory's product, applied: what materialize_default gives.
        if (engine.default_factory) {
            out = materialize(engine, self, false);
            return out ? 1 : -1;
        }
    }
    if (engine.frozen) {
        out = engine.default_value;
        return 1;
    }
    return 0;
}

// Bool, Str, Number, List, Tuple: `value_type(*args)` (keyword arguments
// are not passed), applied.
PyObject* common_kind::call(const SpecEngine& engine, PyObject* self, PyObject* args,
                            PyObject*) {
    py::Ref out;
    const int answered = call_from_default(engine, self, args, out);
    if (answered) return answered < 0 ? nullptr : out.release();
    if (!engine.value_type) {
        py::raise_internal("primitive value_type");
        return nullptr;
    }
    return apply_made(engine, self,
                      py::Ref::steal(PyObject_CallObject(engine.value_type.get(), args)))
        .release();
}

}  // namespace vesk::typing
