#include "typing/applied_members.hpp"

#include <algorithm>
#include <utility>

namespace vesk::typing {

namespace {

// Trivial, so they take the initial-exec model (one load off the thread
// pointer), as the flag scopes do.
struct NamedWrite {
    PyObject* container;
    PyObject* key;
    PyObject* value;
    AppliedWrite applied;
};
[[gnu::tls_model("initial-exec")]] thread_local NamedWrite t_write{};

struct NamedMembers {
    PyObject* container;
    PyObject* field;
    Py_ssize_t from;
};
[[gnu::tls_model("initial-exec")]] thread_local NamedMembers t_members{};

py::OnceCell<const ContainerPass> CONTAINER_PASS;

bool same_key(PyObject* named, PyObject* key) noexcept {
    if (named == key) return true;
    // Exact ints compare without running code of their own.
    if (!PyLong_CheckExact(named) || !PyLong_CheckExact(key)) return false;
    return PyObject_RichCompareBool(named, key, Py_EQ) == 1;
}

}  // namespace

AppliedWriteScope::AppliedWriteScope(PyObject* container, PyObject* key, PyObject* value,
                                     Applied through, PyObject* by,
                                     bool allow_partial) noexcept
    : saved_{t_write.container, t_write.key, t_write.value}, saved_applied_(t_write.applied) {
    t_write = {container, key, value, {through, by, allow_partial}};
}

AppliedWriteScope::~AppliedWriteScope() {
    t_write = {saved_[0], saved_[1], saved_[2], saved_applied_};
}

AppliedWrite take_applied_write(PyObject* container, PyObject* key, PyObject* value) noexcept {
    const NamedWrite named = t_write;
    if (!named.container || named.container != container || named.value != value ||
        !same_key(named.key, key))
        return {};
    t_write = {};
    return named.applied;
}

AppliedMembersScope::AppliedMembersScope(PyObject* container, PyObject* field,
                                         Py_ssize_t from) noexcept
    : saved_container_(t_members.container),
      saved_field_(t_members.field),
      saved_from_(t_members.from) {
    t_members = {container, field, from};
}

AppliedMembersScope::~AppliedMembersScope() {
    t_members = {saved_container_, saved_field_, saved_from_};
}

Py_ssize_t members_to_apply(PyObject* container, PyObject* field, Py_ssize_t n) noexcept {
    const NamedMembers named = t_members;
    if (!named.container || named.container != container || named.field != field) return n;
    t_members = {};
    return std::min(n, named.from);
}

void install_container_pass(const ContainerPass* ops) noexcept { CONTAINER_PASS.set(ops); }

int ContainerPassScope::begin(PyObject* container, bool members) {
    const ContainerPass* ops = CONTAINER_PASS.get();
    if (!ops) return 0;
    token_ = ops->begin(container, members);
    if (token_ == kNothingHeld) token_ = nullptr;
    else if (!token_) return -1;
    return 0;
}

int ContainerPassScope::commit() {
    void* token = std::exchange(token_, nullptr);
    return token ? CONTAINER_PASS.get()->commit(token) : 0;
}

ContainerPassScope::~ContainerPassScope() {
    if (token_) CONTAINER_PASS.get()->abort(token_);
}

}  // namespace vesk::typing
