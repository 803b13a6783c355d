#include "symbolic/repath_walk.hpp"

#include "py/named.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node_ops.hpp"

namespace vesk::symbolic {

namespace detail {
[[gnu::tls_model("initial-exec")]] constinit thread_local RepathWalk* t_repath = nullptr;
}  // namespace detail

void raise_cycle(PyObject* child, PyObject* path, const char* format) {
    py::Ref name = py::get_attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(child)));
    if (!name) return;
    py::Ref path_text = py::Ref::steal(PyObject_Str(path ? path : Py_None));
    if (!path_text) return;
    PyErr_Format(PyExc_ValueError, format, name.get(), path_text.get());
}

void RepathWalk::refuse(PyObject* node, PyObject* path) noexcept {
    if (!refused_) {
        refused_ = true;
        met_ = py::Ref::borrow(node);
        met_path_ = py::Ref::borrow(path);
    }
    // A write's walk names the child it places, as adoption's cycle guard
    // does; a walk of its own names the node met again.
    if (child_)
        raise_cycle(child_, path_);
    else
        raise_cycle(met_.get(), met_path_.get());
}

void RepathWalk::raise_refusal() noexcept {
    RepathWalk* walk = detail::t_repath;
    if (walk && walk->met_ && !PyErr_Occurred()) walk->refuse(walk->met_.get(), walk->met_path_.get());
}

bool RepathWalk::old_path(PyObject* node, PyObject*& out) noexcept {
    const RepathWalk* walk = detail::t_repath;
    for (const RepathStep* s = walk ? walk->top_ : nullptr; s; s = s->outer_) {
        if (s->node_ == node) {
            out = s->old_;
            return true;
        }
    }
    return false;
}

RepathWalk::GivingBack::GivingBack() noexcept
    : walk_(detail::t_repath), pending_(PyErr_GetRaisedException()), was_(walk_ && walk_->giving_back_) {
    if (walk_) walk_->giving_back_ = true;
}

RepathWalk::GivingBack::~GivingBack() {
    if (walk_) walk_->giving_back_ = was_;
    PyErr_Clear();
    PyErr_SetRaisedException(pending_);
}

void RepathStep::give_back() noexcept {
    const NodeOps* ops = node_ops(node_);
    if (!ops) return;
    RepathWalk::GivingBack giving;
    (void)past_momentary_holds(
        [&] { return ops->set_role(node_, kernel::record::kRolePath, old_); });
}

int RepathStep::enter_other(PyObject* node, PyObject* path) {
    if (!walk_) {
        walk_ = new (own_) RepathWalk();
    } else if (walk_->giving_back_) {
        if (walk_->under_way(node)) {
            node_ = nullptr;
            return 0;
        }
    } else if (walk_->refused_ || walk_->under_way(node)) {
        node_ = nullptr;
        walk_->refuse(node, path);
        return -1;
    }
    forward_ = !walk_->giving_back_;
    outer_ = walk_->top_;
    walk_->top_ = this;
    return 1;
}

bool told_path(PyObject* node, py::Ref& out) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    const int told = py::get_optional_attr<"_topo_path">(node, out);
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return told > 0;
}

void give_told_path_back(PyObject* node, PyObject* told) noexcept {
    RepathWalk::GivingBack giving;
    (void)call_method_void<"topo_setpath">(node, told ? told : Py_None);
}

}  // namespace vesk::symbolic
