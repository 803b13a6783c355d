// The formatting bridge: the package's markdown policy. While `format` hands
// control to foreign formatting code it switches the package's markdown
// quoting off, so that only the outermost text gets quoted.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::formatting {

// (str_format, repr_format, outer_markdown_active), installed once.
inline py::ObjectCell BRIDGE;

// `_install_formatting_bridge(str_format, repr_format, outer_markdown_active)`.
PyObject* install_formatting_bridge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

// One suppression around a call into foreign code. When the bridge is
// installed and the outer markdown is active, `enter` enters the scopes made
// by str_format(markdown=False) and repr_format(markdown=False); they are
// exited in reverse order by `exit` or the destructor. Exit errors are
// ignored and never replace a pending exception.
class MarkdownSuppression {
public:
    MarkdownSuppression() = default;
    MarkdownSuppression(const MarkdownSuppression&) = delete;
    MarkdownSuppression& operator=(const MarkdownSuppression&) = delete;
    ~MarkdownSuppression() { exit(); }

    // false with an exception set; nothing is left entered then.
    [[nodiscard]] bool enter();
    void exit() noexcept;

private:
    py::Ref str_scope_;
    py::Ref repr_scope_;
};

}  // namespace vesk::formatting
