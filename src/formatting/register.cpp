#include "formatting/register.hpp"

#include "formatting/bridge.hpp"
#include "formatting/cache.hpp"
#include "formatting/format.hpp"
#include "formatting/kvlist.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"

namespace vesk::formatting {

namespace {

PyMethodDef functions[] = {
    py::method<format_entry>(
        "format",
        "format($module, /, value, compact=False, verbose=True, root_indent=0, "
        "list_wrap_threshold=80, strip_object_id=False, include_keys=None, exclude_keys=None, "
        "markdown=False, max_str_len=None, max_bytes_len=None, *, custom_format=None, "
        "memo=None, **kwargs)\n--\n\n"
        "Formats a value, possibly hierarchical, as display text."),
    py::method<kvlist_str_entry>(
        "kvlist_str",
        "kvlist_str($module, /, kvlist, compact=True, verbose=False, root_indent=0, *, "
        "label=None, bracket_type=0, custom_format=None, memo=None, **kwargs)\n--\n\n"
        "Formats a list of (key, value, omit-when) items as key=value pairs."),
    py::method<install_formatting_bridge>(
        "_install_formatting_bridge",
        "_install_formatting_bridge($module, /, str_format, repr_format, "
        "outer_markdown_active)\n--\n\n"
        "Installs the markdown callbacks once; later calls change nothing."),
    py::kMethodsEnd,
};

}  // namespace

int register_module(PyObject* module) {
    if (py::add_functions(module, functions) < 0) return -1;
    return init_format_fn(module);
}

}  // namespace vesk::formatting
