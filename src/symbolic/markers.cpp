#include "symbolic/markers.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "typing/fast_types.hpp"
#include "typing/markers.hpp"

namespace vesk::symbolic {

int is_symbolic(PyObject* value) {
    return typing::has_class_marker<"sym_clone">(value);
}

int is_inferential(PyObject* value) {
    if (is_primitive(value)) return 0;
    return typing::has_class_marker<"infer">(value);
}

int is_reference_like(PyObject* value) {
    const int inferential = is_inferential(value);
    if (inferential != 0) return inferential;
    return typing::has_class_marker<"reference_paths">(value);
}

int is_topology_aware(PyObject* value) {
    return typing::has_class_marker<"topo_setpath">(value);
}

bool lenient_topology_flag(PyObject* value) noexcept {
    py::Ref flag = py::get_attr<"enable_topo">(value);
    bool out = true;
    if (!flag || !py::arg_bool_scalar("enable_topo", flag.get(), out)) {
        PyErr_Clear();
        return true;
    }
    return out;
}

}  // namespace vesk::symbolic
