#include "typing/value_spec/kinds/element_guard.hpp"

#include "typing/change_epoch.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

bool ElementGuard::begin(PyObject* spec, bool quiet) {
    epoch_ = change_epoch();
    if (!quiet || !is_spec(spec)) return true;
    spec_ = spec;
    if (!take()) return false;
    PyTypeObject* native = ops(**hold_).py_class((*hold_)->kind);
    if (!native) {
        release();
        return false;
    }
    if (Py_TYPE(spec) != native) release();  // a subclass is applied by name
    return true;
}

bool ElementGuard::take() {
    hold_.emplace(spec_);
    if (!*hold_) {
        hold_.reset();
        leaf_ = false;
        return false;
    }
    const SpecEngine& e = **hold_;
    const KindId id = e.id();
    leaf_ = e.is_plain() && (id == KindId::Bool || id == KindId::Number || id == KindId::Str);
    return true;
}

bool ElementGuard::refresh() {
    if (!hold_) return true;
    hold_.reset();
    return take();
}

py::Ref apply_held_element(const ElementGuard& guard, PyObject* element,
                           const ApplyOptions& options, PyObject* path) {
    ApplyOptions own;
    own.root_path = path;
    own.allow_partial = options.allow_partial;
    own.run_user_transform = true;
    own.inplace = options.inplace;
    return apply(*guard.held(), guard.held_spec(), py::Ref::borrow(element), own);
}

}  // namespace vesk::typing
