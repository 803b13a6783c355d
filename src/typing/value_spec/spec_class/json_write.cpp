// SpecBase.to_json: "_type", "default", then the kind's keys and flags.
#include "typing/value_spec/spec_class/json_write.hpp"

#include "typing/bridge.hpp"
#include "typing/json_form.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/spec_class/surface.hpp"

namespace vesk::typing {

py::Ref SpecJsonWriter::convert(PyObject* value) { return call_to_json(value, kwargs_); }

namespace {

// "default" is left out when there is none, and where the kind does not
// show it (a Dict whose default only mirrors its schema).
bool write_default(SpecJsonWriter& w, const SpecEngine& e) {
    if (!ops(e).shows_default(e)) return true;
    const int missing = is_missing(e.default_value.get());
    if (missing < 0) return false;
    return missing || w.conv<"default">(e.default_value.get());
}

}  // namespace

py::Params<0> kToJsonParams{"to_json", py::Keywords::Collect};

PyObject* spec_to_json(const SpecRead& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kToJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref kwargs = json_kwargs(a.extra());
    if (!kwargs) return nullptr;
    const SpecEngine& engine = *self;
    // Nested specs come back here through the bridge: a spec nested in
    // itself (an Enum listing itself, say) ends in RecursionError.
    if (Py_EnterRecursiveCall(" while converting a value spec to JSON")) return nullptr;
    const KindOps& kind = ops(engine);
    py::Ref type_key = py::Ref::steal(PyUnicode_FromString(kind.serialization_key(engine.kind)));
    py::Ref out = py::Ref::steal(type_key ? PyDict_New() : nullptr);
    SpecJsonWriter w(out.get(), kwargs.get());
    const bool done = out && w.put<"_type">(type_key.get()) && write_default(w, engine) &&
                      kind.write_json(w, engine);
    Py_LeaveRecursiveCall();
    return done ? out.release() : nullptr;
}

}  // namespace vesk::typing
