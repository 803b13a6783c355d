// The hierarchical rules of `format`: formattable values format themselves,
// lists, tuples and dicts are formatted child by child through the module's
// own `format`, and anything else by custom_format, str or repr.
#pragma once

#include "formatting/options.hpp"

namespace vesk::formatting {

// The text of `opts.value` (not yet markdown-quoted); `memo` is the set of
// values being formatted on the current path, already holding this one.
[[nodiscard]] py::Ref format_hierarchy(const FormatOptions& opts, PyObject* memo);

}  // namespace vesk::formatting
