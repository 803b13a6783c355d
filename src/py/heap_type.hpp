// Heap types built from specs, once per process and shared by every module
// instance (and interpreter) that asks for them.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::py {

// Finishes a freshly built type before any other code can see it (class
// attributes, ...). Returns 0, or -1 with an exception set.
using TypeInit = int (*)(PyTypeObject* type);

class TypeCell {
public:
    // Returns a borrowed pointer to the type, building it on first use.
    // `bases` and `init` may be null; they are only consulted when building.
    [[nodiscard]] PyTypeObject* get(PyType_Spec& spec, PyObject* bases = nullptr,
                                    TypeInit init = nullptr) {
        PyObject* t = cell_.get_or_init([&] {
            Ref made = Ref::steal(bases ? PyType_FromSpecWithBases(&spec, bases)
                                        : PyType_FromSpec(&spec));
            if (made && init && init(reinterpret_cast<PyTypeObject*>(made.get())) < 0)
                return Ref();
            return made;
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
