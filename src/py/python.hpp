// The one include of the interpreter's headers, so every translation unit
// sees the same configuration.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
