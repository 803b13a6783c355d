// The compiled fill: a new object's field dictionary made from the keyword
// arguments through the class's compiled fields (ctor_meta.hpp). Each value
// goes straight through the acceptance funnel with its field's shared
// FieldMeta; a raw dict or list is wrapped into the installed symbolic
// container types by the native wrap builders. Whatever the fill cannot
// decide makes it decline as a whole, and construction then validates the
// keyword arguments through the init schema instead.
//
// The fill runs on the constructing thread only and touches nothing but the
// new field dictionary and its own flags. Errors follow the interpreter's
// convention.
#pragma once

#include "symbolic/object/ctor_meta.hpp"
#include "typing/funnel/funnel.hpp"

#include <cstdint>

namespace vesk::symbolic::object {

enum class FillOutcome : std::uint8_t { Error, Filled, Declined };

// What one construction hands the fill.
struct FillArgs {
    PyObject* cls = nullptr;        // the class (names the missing-arguments error)
    PyObject* kwargs = nullptr;     // a dict, screened already
    PyObject* owner = nullptr;      // the object under construction
    PyObject* root_path = nullptr;  // null: none
    bool allow_partial = false;     // construction's own value (not the effective one)
};

// The per-value step's running state over one construction.
struct FillStep {
    const CtorMeta* meta = nullptr;
    const FillArgs* args = nullptr;
    typing::funnel::FunnelCtx funnel;
    bool all_primitive = true;  // every stored value is primitive
    bool all_scalar = true;     // no stored value can make the object abstract

    FillStep(const CtorMeta& m, const FillArgs& a) noexcept;
};

// The per-value step for `value` under `field`: Filled with the value to
// store in `out` (the accepted value, or a new symbolic container wrapping
// a raw one), Declined when the funnel cannot claim it or it cannot be
// wrapped here, Error with an exception set.
[[nodiscard]] FillOutcome fill_value(const CompiledField& field, PyObject* value, FillStep& step,
                                     py::Ref& out);

struct FillResult {
    py::Ref fields;  // the new field dictionary
    bool all_primitive = true;
    bool all_scalar = true;
};

// The whole fill. Declines at once when the class has no compiled fields or
// the effective allow_partial (the thread's scope, else `args.allow_partial`)
// is true. Missing required fields raise the missing-arguments TypeError
// with the names in compiled order, after every present value was accepted.
[[nodiscard]] FillOutcome compiled_fill(const CtorMeta& meta, const FillArgs& args,
                                        FillResult& out);

// TypeError "{cls.__name__}.__init__() missing {n} required {auto_plural(n,
// "argument")}: {comma_delimited_str(names)}." for the list `names`.
void raise_missing_arguments(PyObject* cls, PyObject* names);

}  // namespace vesk::symbolic::object
