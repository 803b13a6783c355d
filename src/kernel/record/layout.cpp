#include "kernel/record/layout.hpp"

#include "kernel/record/gc.hpp"
#include "py/entry.hpp"

namespace vesk::kernel::record {

namespace {

const char TOKEN = 0;

}  // namespace

const void* record_token() noexcept { return &TOKEN; }

const RecordType* own_record_type(PyTypeObject* type) noexcept {
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return nullptr;
    if (reinterpret_cast<PyHeapTypeObject*>(type)->ht_token != &TOKEN) return nullptr;
    // Classes derived in Python get the interpreter's own traverse and
    // getset table; only the builders' types carry both of these.
    if (type->tp_traverse != py::entry<&record_traverse> || !type->tp_getset) return nullptr;
    return static_cast<const RecordType*>(type->tp_getset[-1].closure);
}

const RecordType* record_type_of(PyTypeObject* type) noexcept {
    for (PyTypeObject* t = type; t; t = t->tp_base)
        if (const RecordType* record = own_record_type(t)) return record;
    return nullptr;
}

}  // namespace vesk::kernel::record
