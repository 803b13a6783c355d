// Operations shared by the four key-spec classes: their JSON envelope, the
// reading of one JSON entry, extension refusals and integer keys.
#pragma once

#include "py/args.hpp"
#include "py/ref.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing::key_specs {

// The parameters of the members every key spec has alike, from which their
// tables make the docstrings: `match(key, /)`, `extend(base, /)`,
// `__copy__()`, `to_json(**kwargs)` (keywords ignored), and the parsers of
// `__deepcopy__(_memo)` and `from_json(json_value, **kwargs)`, whose other
// keywords are ignored.
extern py::Params<1> kMatchParams;
extern py::Params<1> kExtendParams;
extern py::Params<0> kCopyParams;
extern py::Params<1> kDeepcopyParams;
extern py::Params<0> kToJsonParams;
extern py::Params<1> kFromJsonParams;
// The docstring of `format(*args, **kwargs)`, which ignores every argument.
[[nodiscard]] const char* format_doc();

// A new dict whose one entry is "_type" = `serialization_key`.
[[nodiscard]] py::Ref json_dict(const char* serialization_key);

// The entry `name` of `json_value`, which must be a dict (TypeError naming
// `json_value` otherwise). Sets `out` to the entry, or leaves it empty when
// there is none; returns false with an exception set on failure.
[[nodiscard]] bool from_json_field(PyObject* json_value, const char* name, py::Ref& out);

// Raises `exc_type` with "{} cannot extend {}{}": str(self), str(base) and
// `tail`. An error of either str() is raised instead. Always returns null.
PyObject* extend_reject(PyObject* exc_type, PyObject* self, PyObject* base, const char* tail);

// An object with an integer index converted to a signed 64-bit integer; a
// wrong type or an out-of-range value raises the conversion error naming
// `name`.
[[nodiscard]] bool index_i64(const char* name, PyObject* value, std::int64_t& out);

// Where an int key lies relative to the signed 64-bit range, read without
// converting it, so keys of any size are answered instead of refused.
struct IntKey {
    enum class Range { Below, Inside, Above } range;
    std::int64_t value;  // meaningful when Inside
};
// `key` must be an int (subclasses, bool included). Returns nullopt only
// when reading it fails (an exception is set).
[[nodiscard]] std::optional<IntKey> read_int_key(PyObject* key);

// Decimal text of an optional bound, "None" when absent, into `buf`.
const char* bound_text(std::optional<std::int64_t> value, char (&buf)[24]) noexcept;

}  // namespace vesk::typing::key_specs
