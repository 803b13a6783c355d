#include "symbolic/object/partial.hpp"

namespace vesk::symbolic::object {

// No native symbolic object class exists yet, so every value is declined and
// the caller falls back to the value's own `sym_partial` attribute.
hooks::Partial sym_partial_native(PyObject*) { return hooks::Partial::Declined; }

}  // namespace vesk::symbolic::object
