#include "symbolic/container/field_update.hpp"

#include "py/class_call.hpp"
#include "symbolic/node.hpp"
#include "topology/key_path.hpp"

#include <span>

namespace vesk::symbolic {

py::Ref index_key_path(std::int64_t index, PyObject* parent) {
    const topology::Key key = topology::Key::integer(index);
    const std::span<const topology::Key> last(&key, 1);
    if (!parent || parent == Py_None) return topology::make_key_path(last);
    if (topology::is_key_path(parent))
        return topology::make_key_path(topology::keys_of(parent), last);
    // A parent of another class takes the key-path class's own road.
    py::Ref number = py::Ref::steal(PyLong_FromLongLong(index));
    return number ? topology::child_key_path(number.get(), parent) : py::Ref();
}

py::Ref make_field_update(const ContainerBridge& b, PyObject* key_path, PyObject* target,
                          PyObject* field, PyObject* old, PyObject* value) {
    // Slot 0 is the class call's own, for the new instance.
    PyObject* call[] = {nullptr, key_path, target, or_none(field), old, value};
    return py::call_class(b.field_update_cls.get(), call, 5);
}

}  // namespace vesk::symbolic
