#include "kernel/record/names.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"

namespace vesk::kernel::record {

bool arg_str_list(const char* param, PyObject* value, std::vector<py::Ref>& out) {
    if (!PyList_Check(value)) {
        py::raise_arg_type(param, "a list of str", value);
        return false;
    }
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(value, i);
        if (!item) return true;
        if (!PyUnicode_Check(item.get())) {
            py::raise_arg_type(param, "a list of str", item.get());
            return false;
        }
        out.push_back(std::move(item));
    }
}

}  // namespace vesk::kernel::record
