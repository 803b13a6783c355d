// What the container kinds share. List and Tuple: the size arguments (the
// alias spellings, the "size" shorthand and the bound checks), the limit on
// how many positions a fixed Tuple may be built with from equal bounds, and
// the apply of one element by name. List and Dict: the storage declarations
// `symbolic` and `auto_wrap`.
//
// Errors: false or a null Ref with the exception set (a ValueError for the
// size rules, or the binding layer's conversion error naming the parameter;
// the callee's own exception for an element).
#pragma once

#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/spec_class/json_read.hpp"

#include <cstdint>
#include <optional>

namespace vesk::typing {

// A fixed Tuple made from equal bounds materialises one field per position,
// so the count is capped: more positions than this are refused with
// ValueError rather than built. A list of positions given explicitly is not
// limited (the caller already holds that many objects).
inline constexpr std::int64_t kMaxFixedPositions = 1'000'000;

// The five size arguments as given; empty = omitted or None.
struct SizeArgs {
    std::optional<std::int64_t> min_size;
    std::optional<std::int64_t> max_size;
    std::optional<std::int64_t> size;
    std::optional<std::int64_t> min_length;
    std::optional<std::int64_t> max_length;
};

// Converts one optional size argument: null or None leaves `out` empty;
// anything else must be an int that fits 64 signed bits.
[[nodiscard]] bool read_size_arg(const char* name, PyObject* value,
                                 std::optional<std::int64_t>& out);

// The four size keys of a JSON form ("size" is never written).
[[nodiscard]] bool read_json_sizes(const JsonRow& row, SizeArgs& out);

// Folds `min_length` into `min_size` and `max_length` into `max_size`; a
// pair given twice is refused, the minimum pair first. `label` names the
// kind in the message ("List", "Tuple").
[[nodiscard]] bool fold_size_aliases(const char* label, SizeArgs& args);

// Whether any of size/min_size/max_size is given (after folding).
[[nodiscard]] inline bool any_size_given(const SizeArgs& args) noexcept {
    return args.size || args.min_size || args.max_size;
}

struct Sizes {
    std::int64_t min = 0;
    std::optional<std::int64_t> max;
};

// The bounds from folded arguments: `size` alone sets both; an absent
// minimum is 0; a given negative minimum and a maximum below the minimum are
// refused. The texts name "List" for both kinds.
[[nodiscard]] bool resolve_sizes(const SizeArgs& args, Sizes& out);

// A new int for a bound, or None for an absent one (for getters and items).
[[nodiscard]] PyObject* size_object(std::optional<std::int64_t> value);

// The key path of element `index` under the options' root path (the index
// alone without one).
[[nodiscard]] py::Ref element_path(const ApplyOptions& options, Py_ssize_t index);

// `callee.apply(element, allow_partial=, inplace=, root_path=path)`, with
// `transform_fn=options.child_transform` added when `with_transform`: the
// element applied through the interpreter, so a Python subclass or a
// pure-Python spec or field is honoured at every level.
[[nodiscard]] py::Ref apply_element(PyObject* callee, PyObject* element,
                                    const ApplyOptions& options, PyObject* path,
                                    bool with_transform);

class ElementGuard;

// Element `index`'s apply in a List or Tuple loop: through the element spec
// the guard holds (the path built only when read; the hold taken again after
// an apply that may have run user code), else `apply_element`.
[[nodiscard]] py::Ref apply_indexed_element(ElementGuard& guard, PyObject* callee,
                                            PyObject* element, const ApplyOptions& options,
                                            Py_ssize_t index, bool with_transform);

// `symbolic` as a constructor argument: None or omitted is unset, else a
// bool.
[[nodiscard]] bool read_symbolic_arg(PyObject* value, Tri& out);

// Equality of the storage flags: `other.symbolic` None requires an unset
// flag, a bool must equal the set one (an unset flag never equals a bool);
// `other.auto_wrap` (a bool) must equal `auto_wrap`. 1, 0 or -1.
[[nodiscard]] int eq_storage_flags(Tri symbolic, bool auto_wrap, PyObject* other);

}  // namespace vesk::typing
