// Heap types built from specs, once per process and shared by every module
// instance (and interpreter) that asks for them.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::py {

class TypeCell {
public:
    // Returns a borrowed pointer to the type, building it on first use.
    // `bases` may be null; it is only consulted when building.
    [[nodiscard]] PyTypeObject* get(PyType_Spec& spec, PyObject* bases = nullptr) {
        PyObject* t = cell_.get_or_init([&] {
            return Ref::steal(bases ? PyType_FromSpecWithBases(&spec, bases)
                                    : PyType_FromSpec(&spec));
        });
        return reinterpret_cast<PyTypeObject*>(t);
    }
    // The type when already built, else null (no error set).
    [[nodiscard]] PyTypeObject* peek() const noexcept {
        return reinterpret_cast<PyTypeObject*>(cell_.get());
    }

private:
    ObjectCell cell_;
};

}  // namespace vesk::py
