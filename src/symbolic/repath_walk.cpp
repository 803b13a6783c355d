#include "symbolic/repath_walk.hpp"

#include "py/named.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node_ops.hpp"

#include <new>

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

RepathWalk::~RepathWalk() {
    if (refused_) give_back();
    detail::t_repath = outer_;
}

bool RepathWalk::note(PyObject* node, py::Ref path, const NodeOps* ops) noexcept {
    Noted* slot = nullptr;
    if (noted_ < inline_.size()) {
        slot = &inline_[noted_];
    } else {
        const std::size_t at = noted_ - inline_.size();
        if (at == more_capacity_) {
            const std::size_t capacity = more_capacity_ ? more_capacity_ * 2 : 32;
            std::unique_ptr<Noted[]> grown(new (std::nothrow) Noted[capacity]);
            if (!grown) {
                PyErr_NoMemory();
                return false;
            }
            for (std::size_t k = 0; k < more_capacity_; ++k) grown[k] = std::move(more_[k]);
            more_ = std::move(grown);
            more_capacity_ = capacity;
        }
        slot = &more_[at];
    }
    slot->node = py::Ref::borrow(node);
    slot->path = std::move(path);
    slot->ops = ops;
    ++noted_;
    return true;
}

bool RepathWalk::note_other(PyObject* node) noexcept {
    RepathWalk* walk = detail::t_repath;
    if (!walk || walk->giving_back_) return true;
    PyObject* pending = PyErr_GetRaisedException();
    py::Ref path;
    // A node that tells no path (or fails to) is given none back.
    const int told = py::get_optional_attr<"_topo_path">(node, path);
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (told <= 0 || walk->note(node, std::move(path), nullptr)) return true;
    // Noted no more: the walk stops, and gives back what it noted.
    walk->refused_ = true;
    return false;
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
    if (!walk || PyErr_Occurred()) return;
    if (walk->met_)
        walk->refuse(walk->met_.get(), walk->met_path_.get());
    else
        PyErr_NoMemory();  // refused only for want of memory to note a node
}

void RepathWalk::give_back() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    giving_back_ = true;
    // Latest first, each node alone: a native node's path stored as it was,
    // another's by its own call, inside which no native node is re-pathed.
    for (std::size_t k = noted_; k-- > 0;) {
        Noted& n = k < inline_.size() ? inline_[k] : more_[k - inline_.size()];
        PyObject* node = n.node.get();
        PyObject* path = n.path.get();
        const int r =
            n.ops ? past_momentary_holds(
                        [&] { return n.ops->set_role(node, kernel::record::kRolePath, path); })
                  : call_method_void<"topo_setpath">(node, path ? path : Py_None);
        if (r < 0) PyErr_Clear();
        n = Noted{};
    }
    noted_ = 0;
    giving_back_ = false;
    PyErr_SetRaisedException(pending);
}

RepathStep::~RepathStep() {
    if (node_) walk_->top_ = outer_;
}

int RepathStep::enter(PyObject* node, const NodeOps& ops, py::Ref old, PyObject* path) {
    walk_ = RepathWalk::current();
    if (!walk_) walk_ = &own_.emplace();
    bool again = walk_->refused_ || node == walk_->container_;
    for (const RepathStep* s = walk_->top_; s && !again; s = s->outer_) again = s->node_ == node;
    if (again) {
        walk_->refuse(node, path);
        return -1;
    }
    if (!walk_->note(node, std::move(old), &ops)) {
        walk_->refused_ = true;
        return -1;
    }
    node_ = node;
    outer_ = walk_->top_;
    walk_->top_ = this;
    return 0;
}

}  // namespace vesk::symbolic
