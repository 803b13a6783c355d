// The JSON forms of the typing layer (value specs, fields, schemas): a dict
// whose "_type" is the class's serialisation key, nested values converted by
// the package's writer and reader on the typing bridge with the keyword
// arguments of the `to_json` / `from_json` call, and a bound on how deeply
// forms may nest while they are read back.
//
// Errors follow the interpreter's convention: false means an exception is
// set.
#pragma once

#include "py/args.hpp"
#include "py/ref.hpp"

namespace vesk::typing {

// The keyword arguments of a `from_json(json_value, **kwargs)` or
// `to_json(**kwargs)` call as a new dict, in call order.
[[nodiscard]] py::Ref json_kwargs(const py::ExtraKeywords& extra);

// `json_value[key]` (exact dict lookup) rebuilt through the bridge's
// `from_json` with `kwargs`: 1 with `out` set (None included), 0 when the
// key is absent, -1 on error. `key` is a str.
[[nodiscard]] int json_field(PyObject* json_value, PyObject* key, PyObject* kwargs, py::Ref& out);
// The same with the key given as text.
[[nodiscard]] int json_field(PyObject* json_value, const char* key, PyObject* kwargs,
                             py::Ref& out);

// `json_value` is a dict (subclasses included); TypeError otherwise.
[[nodiscard]] bool json_check_dict(PyObject* json_value);

// `json_value[key]` as stored, which must be True or False: 1 with `out`
// set, 0 when absent (`out` untouched), -1 on error.
[[nodiscard]] int json_bool(PyObject* json_value, PyObject* key, bool& out);

// One `to_json(**kwargs)` call: `start` parses the call (no positional
// arguments) and makes the form holding "_type"; `set` adds an entry
// converted by the bridge's `to_json(value, **kwargs)`, `set_raw` one stored
// as it is.
class JsonWriter {
public:
    template <std::size_t N>
    [[nodiscard]] bool start(py::Params<N>& params, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames, const char* serialization_key) {
        py::Args<N> a;
        return py::parse(params, args, nargs, kwnames, a) && start(a.extra(), serialization_key);
    }
    [[nodiscard]] bool set(const char* name, PyObject* value);
    [[nodiscard]] bool set_raw(const char* name, PyObject* value);
    // The finished form (a new reference).
    [[nodiscard]] PyObject* release() noexcept { return out_.release(); }

private:
    [[nodiscard]] bool start(const py::ExtraKeywords& extra, const char* serialization_key);
    py::Ref kwargs_;
    py::Ref out_;
};

// The forms arrive from outside, and each level of a field inside a schema
// inside a spec's field goes through the package's reader and back into
// native code, so a hostile document could otherwise exhaust the
// interpreter's recursion budget (or, in a debug build, the C stack) before
// anything says what is wrong. The count is per thread: it follows one chain
// of nested readings.
class JsonNesting {
public:
    // Fields and schemas read inside each other, counted together.
    static constexpr int kLimit = 100;

    JsonNesting() noexcept = default;
    JsonNesting(const JsonNesting&) = delete;
    JsonNesting& operator=(const JsonNesting&) = delete;
    ~JsonNesting() {
        if (entered_) --depth_;
    }

    // Enters one more level; false with ValueError "{what} json is nested
    // too deeply: ..." when the bound is passed.
    [[nodiscard]] bool enter(const char* what) noexcept;

private:
    static inline thread_local int depth_ = 0;
    bool entered_ = false;
};

}  // namespace vesk::typing
