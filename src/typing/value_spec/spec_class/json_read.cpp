#include "typing/value_spec/spec_class/json_read.hpp"

#include "typing/bridge.hpp"

namespace vesk::typing {

bool JsonRow::to_i64(const char* name, PyObject* value, std::optional<std::int64_t>& out) {
    if (!PyIndex_Check(value)) {
        py::raise_arg_type(name, "int", value);
        return false;
    }
    py::Ref index = py::Ref::steal(PyNumber_Index(value));
    std::int64_t n = 0;
    if (!index || !py::arg_i64(name, index.get(), n)) return false;
    out = n;
    return true;
}

bool JsonRow::transform(SpecCommon& common) const {
    py::Ref value;
    if (!field<"transform">(value)) return false;
    if (!value || value.get() == Py_None) return true;
    if (!PyCallable_Check(value.get())) {
        PyErr_Format(PyExc_TypeError,
                     "`transform` must be a single-arg callable. Encountered: %R.", value.get());
        return false;
    }
    common.transform = std::move(value);
    return true;
}

namespace {

// "default", "is_noneable", "frozen" and "strict"; never a default factory.
bool read_common(const JsonRow& row, SpecCommon& out) {
    if (!row.field<"default">(out.default_value)) return false;
    if (!out.default_value) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return false;
        out.default_value = bridge->missing_value;
    }
    bool strict = false;
    if (row.stored_flag<"is_noneable">(out.is_noneable) < 0 ||
        row.stored_flag<"frozen">(out.frozen) < 0)
        return false;
    const int given = row.stored_flag<"strict">(strict);
    if (given < 0) return false;
    out.strict = given ? tri_from_bool(strict) : Tri::Unset;
    return true;
}

// The nesting of spec forms on this thread: each form's nested values are
// read through the bridge, which comes back here for a nested spec.
thread_local int json_depth = 0;

class DepthGuard {
public:
    DepthGuard() noexcept { ++json_depth; }
    ~DepthGuard() { --json_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    [[nodiscard]] bool too_deep() const noexcept { return json_depth > kMaxJsonDepth; }
};

}  // namespace

std::optional<SpecEngine> base_from_json(JsonReader read, PyObject* json_value,
                                         PyObject* kwargs) {
    if (!json_check_dict(json_value)) return std::nullopt;
    py::Ref owned;
    if (!kwargs) {
        owned = py::Ref::steal(PyDict_New());
        if (!owned) return std::nullopt;
        kwargs = owned.get();
    }
    DepthGuard depth;
    if (depth.too_deep()) {
        PyErr_Format(PyExc_ValueError,
                     "Value-spec JSON is nested too deeply: more than %d levels.",
                     kMaxJsonDepth);
        return std::nullopt;
    }
    const JsonRow row{json_value, kwargs};
    SpecCommon common;
    if (!read_common(row, common)) return std::nullopt;
    return read(row, std::move(common));
}

}  // namespace vesk::typing
