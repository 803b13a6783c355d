#include "topology/register.hpp"

#include "topology/missing_value.hpp"

namespace vesk::topology {

int register_module(PyObject* module) {
    // KeyPath and KeyPathSet are bound before these two.
    return register_missing_value(module);
}

}  // namespace vesk::topology
