#include "topology/register.hpp"

#include "topology/key_path_impl.hpp"
#include "topology/key_path_set.hpp"
#include "topology/missing_value.hpp"

namespace vesk::topology {

int register_module(PyObject* module) {
    if (register_key_path(module) < 0) return -1;
    if (register_key_path_set(module) < 0) return -1;
    return register_missing_value(module);
}

}  // namespace vesk::topology
