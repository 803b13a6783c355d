// The apply driver's entry: the shortcut phase and the full road up to the
// settled value.
#include "typing/value_spec/engine/apply.hpp"

#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/applied_members.hpp"
#include "typing/bridge.hpp"
#include "typing/shortcuts.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing {

namespace {

// "{sentence} (Path='{path}', ValueSpec={repr})": the form of the driver's
// own checks on the full road.
void raise_on_spec(const SpecEngine& engine, const char* sentence, PyObject* path_text) {
    py::Ref text = repr(engine);
    if (!text) return;
    PyErr_Format(PyExc_ValueError, "%s (Path='%U', ValueSpec=%U)", sentence, path_text,
                 text.get());
}

// A frozen spec answers with its default: for a missing value, or a value
// equal to the default; anything else is refused.
py::Ref apply_frozen(const SpecEngine& engine, PyObject* value, PyObject* path_text) {
    const int missing = is_missing(value);
    if (missing < 0) return {};
    if (!missing) {
        const int differs = PyObject_RichCompareBool(engine.default_value.get(), value, Py_NE);
        if (differs < 0) return {};
        if (differs) {
            py::Ref text = repr(engine);
            if (!text) return {};
            PyErr_Format(
                PyExc_ValueError,
                "Frozen field is not assignable. (Path='%U', ValueSpec=%U, AssignedValue=%R)",
                path_text, text.get(), value);
            return {};
        }
    }
    return engine.default_value;
}

// The value's own `custom_apply(path, spec, allow_partial=, child_transform=)`.
// Returns 1 with `value` replaced when the road goes on, 0 with `value` set to
// the result of the apply, -1 on error.
int run_custom_apply(PyObject* spec, py::Ref& value, const ApplyOptions& options) {
    py::Ref path = options.root_path
                       ? py::Ref::borrow(options.root_path)
                       : topology::make_key_path(std::span<const topology::Key>{});
    if (!path) return -1;
    PyObject* args[] = {value.get(), path.get(), spec ? spec : Py_None,
                        options.allow_partial ? Py_True : Py_False,
                        options.child_transform ? options.child_transform : Py_None};
    py::Ref result = py::call_method_kw<"custom_apply", "allow_partial", "child_transform">(args);
    if (!result) return -1;
    py::Ref proceed = py::Ref::steal(PySequence_GetItem(result.get(), 0));
    if (!proceed) return -1;
    if (!PyBool_Check(proceed.get())) {
        PyErr_Format(PyExc_TypeError,
                     "custom_apply() must return a (bool, value) pair; its first item is %.200s",
                     Py_TYPE(proceed.get())->tp_name);
        return -1;
    }
    py::Ref next = py::Ref::steal(PySequence_GetItem(result.get(), 1));
    if (!next) return -1;
    value = std::move(next);
    return proceed.get() == Py_True ? 1 : 0;
}

// Runs the user transform, then applies its result again through the spec's
// twin without a transform. A failing transform keeps its class and gets the
// path.
py::Ref run_user_transform(const SpecEngine& engine, PyObject* spec, py::Ref value,
                           const ApplyOptions& options, PyObject* path_text) {
    py::Ref transformed =
        py::Ref::steal(PyObject_CallOneArg(engine.transform.get(), value.get()));
    if (!transformed) {
        py::Ref caught = py::Ref::steal(PyErr_GetRaisedException());
        py::Ref raised = wrap_transform_error(caught.get(), path_text);
        PyErr_SetRaisedException(raised.release());
        return {};
    }
    py::Ref twin;
    if (spec) {
        twin = py::get_attr<"skip_user_transform">(spec);
        if (!twin) return {};
    }
    ApplyOptions again = options;
    again.run_user_transform = false;
    return apply(engine, twin.get(), std::move(transformed), again);
}

// The full road of a value that is neither missing nor None: its own
// `custom_apply`, the user transform, then the settled value's checks.
py::Ref apply_present(const SpecEngine& engine, PyObject* spec, py::Ref value,
                      const ApplyOptions& opts, PyObject* path_text) {
    const int custom = is_custom_typing(value.get());
    if (custom < 0) return {};
    if (custom) {
        const int proceed = run_custom_apply(spec, value, opts);
        if (proceed < 0) return {};
        if (proceed == 0) return value;
    }

    if (opts.run_user_transform && engine.transform) {
        const int still_missing = is_missing(value.get());
        if (still_missing < 0) return {};
        if (!still_missing)
            return run_user_transform(engine, spec, std::move(value), opts, path_text);
    }
    return apply_after_value(engine, std::move(value), opts, path_text);
}

}  // namespace

void common_kind::settle_options(const SpecEngine&, ApplyOptions&) {}

Shortcut common_kind::shortcut(const SpecEngine&, PyObject*, PyObject*, ApplyOptions&,
                               py::Ref&) {
    return Shortcut::Undecided;
}

py::Ref apply(const SpecEngine& engine, PyObject* spec, py::Ref value,
              const ApplyOptions& options) {
    ApplyOptions opts = options;
    const KindOps& kind = ops(engine);
    kind.settle_options(engine, opts);
    // Switched off (tests), the shortcuts accept nothing.
    if (!shortcuts_off()) {
        py::Ref out;
        switch (kind.shortcut(engine, spec, value.get(), opts, out)) {
            case Shortcut::Accepted:
                return out;
            case Shortcut::Error:
                return {};
            case Shortcut::Undecided:
                break;
        }
    }

    py::Ref path_text = path_text_of(opts.root_path);
    if (!path_text) return {};

    if (engine.frozen) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return {};
        // A frozen spec whose default is the placeholder applies as if it
        // were not frozen.
        if (engine.default_value.get() != bridge->frozen_placeholder.get())
            return apply_frozen(engine, value.get(), path_text.get());
    }

    const int missing = is_missing(value.get());
    if (missing < 0) return {};
    if (missing) {
        // A new missing value, never the one passed in, and never the default.
        if (opts.allow_partial) return fresh_missing();
        raise_on_spec(engine, "Required value is not specified.", path_text.get());
        return {};
    }

    if (value.get() == Py_None) {
        if (engine.is_noneable) return value;
        raise_on_spec(engine, "Value cannot be None.", path_text.get());
        return {};
    }

    // A dict or list of another class may be a symbolic container: its
    // apply, which may bind it and write its members back, is one operation
    // on it, given back whole should it fail (applied_members.hpp).
    PyObject* v = value.get();
    if (!((PyDict_Check(v) && !PyDict_CheckExact(v)) || (PyList_Check(v) && !PyList_CheckExact(v))))
        return apply_present(engine, spec, std::move(value), opts, path_text.get());
    ContainerPassScope whole;
    if (whole.begin(v, false) < 0) return {};
    py::Ref out = apply_present(engine, spec, std::move(value), opts, path_text.get());
    if (!out || whole.commit() < 0) return {};
    return out;
}

}  // namespace vesk::typing
