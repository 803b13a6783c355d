#include "typing/value_spec/primitives/number_bounds.hpp"

#include <string>

namespace vesk::typing::primitives {

namespace {

// The names of one side of the range: the plain bound and its two aliases.
struct Side {
    const char* plain;      // "min_value" / "max_value"
    const char* inclusive;  // "ge" / "le"
    const char* exclusive;  // "gt" / "lt"
    long step;              // +1 / -1: the exclusive-to-inclusive rewrite
};

constexpr Side kLower{"min_value", "ge", "gt", 1};
constexpr Side kUpper{"max_value", "le", "lt", -1};

void raise_value_error(const std::string& text) {
    // The texts may hold non-ASCII characters, which the formatting
    // functions of the C API refuse in their format string.
    py::Ref msg = py::Ref::steal(PyUnicode_DecodeUTF8(text.data(),
                                                      static_cast<Py_ssize_t>(text.size()),
                                                      nullptr));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
}

bool fold_side(const char* kind, bool is_float, const Side& side, PyObject* plain,
               PyObject* exclusive, PyObject* inclusive, py::Ref& out) {
    if (!exclusive && !inclusive) {
        out = py::Ref::borrow(plain);
        return true;
    }
    const std::string k(kind);
    if (plain) {
        raise_value_error(k + ": `" + side.plain + "` and its aliases (`" + side.inclusive + "`/`" +
                          side.exclusive + "`) are mutually exclusive. Use one spelling.");
        return false;
    }
    if (exclusive && inclusive) {
        raise_value_error(k + ": `" + side.inclusive + "` and `" + side.exclusive +
                          "` are mutually exclusive.");
        return false;
    }
    if (inclusive) {
        out = py::Ref::borrow(inclusive);
        return true;
    }
    if (is_float) {
        raise_value_error(k + ": `" + side.exclusive +
                          "` (an EXCLUSIVE bound) is not representable on Float "
                          "\xe2\x80\x94 use `" +
                          side.inclusive + "` (inclusive).");
        return false;
    }
    // Only an exact int is rewritten: the neighbour of a bool or of an int
    // subclass would silently change its type.
    if (!PyLong_CheckExact(exclusive)) {
        PyErr_Format(PyExc_ValueError,
                     "%s: `%s` must be an int (the exclusive-bound rewrite is exact for ints "
                     "only). Encountered: %R.",
                     kind, side.exclusive, exclusive);
        return false;
    }
    py::Ref one = py::Ref::steal(PyLong_FromLong(1));
    if (!one) return false;
    out = py::Ref::steal(side.step > 0 ? PyNumber_Add(exclusive, one.get())
                                       : PyNumber_Subtract(exclusive, one.get()));
    return static_cast<bool>(out);
}

}  // namespace

bool fold_bound_aliases(bool is_float, const BoundArgs& args, Bounds& out) {
    const char* kind = is_float ? "Float" : "Int";
    return fold_side(kind, is_float, kLower, args.min_value, args.gt, args.ge, out.min) &&
           fold_side(kind, is_float, kUpper, args.max_value, args.lt, args.le, out.max);
}

bool check_bound_order(const Bounds& bounds) {
    if (!bounds.min || !bounds.max) return true;
    int crossed = PyObject_RichCompareBool(bounds.min.get(), bounds.max.get(), Py_GT);
    if (crossed < 0) return false;
    if (crossed == 0) return true;
    PyErr_Format(PyExc_ValueError,
                 "\"max_value\" must be equal or greater than \"min_value\". Encountered: "
                 "min_value=%S, max_value=%S.",
                 bounds.min.get(), bounds.max.get());
    return false;
}

}  // namespace vesk::typing::primitives
