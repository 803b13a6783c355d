#include "formatting/register.hpp"

namespace vesk::formatting {

int register_module(PyObject*) { return 0; }

}  // namespace vesk::formatting
