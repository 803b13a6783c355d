// Attributes of other modules (standard-library functions), imported on first
// use and kept for the life of the process.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::py {

class ImportedAttr {
public:
    constexpr ImportedAttr(const char* module, const char* name) noexcept
        : module_(module), name_(name) {}
    ImportedAttr(const ImportedAttr&) = delete;
    ImportedAttr& operator=(const ImportedAttr&) = delete;

    // Borrowed; null with an exception set when the import or lookup fails.
    [[nodiscard]] PyObject* get() {
        return cell_.get_or_init([this] {
            Ref module = Ref::steal(PyImport_ImportModule(module_));
            return Ref::steal(module ? PyObject_GetAttrString(module.get(), name_) : nullptr);
        });
    }

private:
    const char* module_;
    const char* name_;
    ObjectCell cell_;
};

// `copy.deepcopy`.
inline ImportedAttr deepcopy_fn{"copy", "deepcopy"};

}  // namespace vesk::py
