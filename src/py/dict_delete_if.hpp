// Deleting a dict entry only if its value passes a test, the test and the
// delete made in one step under the dict's lock, after the key's lookup (and
// any Python code its hash and comparisons run) is done. The public API has
// no such step: a lookup then a delete lets another thread in between.
#pragma once

#include "py/python.hpp"

// The interpreter's own (exported, not in the public headers).
extern "C" PyAPI_FUNC(int) _PyDict_DelItemIf(PyObject* mp, PyObject* key,
                                             int (*predicate)(PyObject* value, void* arg),
                                             void* arg);

namespace vesk::py {

// 1 when the entry of `key` was deleted, 0 when absent or `test(value, arg)`
// answered 0, -1 with an exception set. `test` must run no Python code: it
// runs under the dict's lock and answers 1, 0, or -1 with an exception set.
[[nodiscard]] inline int dict_delete_if(PyObject* dict, PyObject* key,
                                        int (*test)(PyObject* value, void* arg), void* arg) {
    return _PyDict_DelItemIf(dict, key, test, arg);
}

}  // namespace vesk::py
