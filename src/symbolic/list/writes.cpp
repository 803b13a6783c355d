// The write side every SymList mutator funnels through: the permission
// gates, the list notification, the core write (the one way an item is
// written) and the delete tail (the one way the list shrinks by an item),
// with the two seams the package and the spec engine call without gates.
//
// Another thread may change the list between an operation's read and its
// store, since formalization runs Python code in between. The store and the
// removal therefore decide under the list's lock what they actually replace
// or remove: a replacement reports and detaches the item it swapped out, and
// a removal takes place only where the item read still sits (else the
// caller reads again), so an update always names the item it changed.
#include "symbolic/list/list_ops.hpp"

#include "flags.hpp"
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/child_state.hpp"
#include "symbolic/container/field_update.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/shortcuts.hpp"

#include <algorithm>

namespace vesk::symbolic::list {

namespace {

py::Params kSetItemParams{"_set_item_without_permission_check", {"key", "value"}, 2, 2};

// The field update of one change at `key` (the index as the caller gave it):
// named by the list's path as it is now. `fresh` is the path the caller read
// when no Python code can have run since (null: read it again).
py::Ref make_update(PyObject* self, PyObject* element, std::int64_t key, PyObject* old,
                    PyObject* value, const py::Ref* fresh = nullptr) {
    const ContainerBridge* b = container_bridge();
    py::Ref path;
    if (!b) return {};
    if (fresh) path = *fresh;
    else if (!node_path(self, path)) return {};
    py::Ref key_path = index_key_path(key, path.get());
    return key_path ? make_field_update(*b, key_path.get(), self, element, old, value)
                    : py::Ref();
}

// Unhooks an item a write replaced: `topo_setparent(None)` when it keeps a
// tree.
int detach_replaced(PyObject* item) {
    if (is_primitive(item)) return 0;
    const int topo_aware = is_topology_aware(item);
    if (topo_aware <= 0 || !lenient_topology_flag(item)) return topo_aware < 0 ? -1 : 0;
    return py::call_method<"topo_setparent">(item, Py_None) ? 0 : -1;
}

void raise_index_error(const char* text) { PyErr_SetString(PyExc_IndexError, text); }

// Whether `value` is one of the list's items, by identity.
bool holds_item(PyObject* self, PyObject* value) {
    py::CriticalSection guard(self);
    const Py_ssize_t n = PyList_GET_SIZE(self);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(self, i) == value) return true;
    return false;
}

}  // namespace

bool sealed_now(const View& view) noexcept {
    return flags::forced(flags::FlagId::Sealed).value_or(view.sealed);
}

int refuse(const View& view, const char* text, bool locate) {
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromString(text));
    if (!message) return -1;
    if (locate) {
        PyObject* call[] = {message.get(), or_none(view.path)};
        message = py::Ref::steal(PyObject_Vectorcall(b->message_on_path.get(), call, 2, nullptr));
        if (!message || !py::arg_str("message", message.get())) return -1;
    }
    py::Ref made =
        py::Ref::steal(PyObject_CallOneArg(b->write_permission_error.get(), message.get()));
    if (made) raise_made(made.get());
    return -1;
}

int notify(PyObject* self, PyObject* updates) {
    // Only an explicit False scope drops them.
    if (PyList_GET_SIZE(updates) == 0 || flags::notifications_suppressed()) return 0;
    return py::call_method<"_notify_field_updates">(self, updates) ? 0 : -1;
}

int notify_one(PyObject* self, const py::Ref& update) {
    if (!update) return 0;
    py::Ref updates = py::Ref::steal(PyList_New(1));
    if (!updates) return -1;
    PyList_SET_ITEM(updates.get(), 0, py::Ref(update).release());
    return notify(self, updates.get());
}

int store(PyObject* self, PyObject* element, const Placed& at, PyObject* formal,
          py::Ref& update, const py::Ref* fresh_path) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    if (at.how == Store::Append) {
        if (PyList_Append(self, formal) < 0) return -1;
    } else if (at.how == Store::Insert) {
        if (PyList_Insert(self, at.pos, formal) < 0) return -1;
    } else {
        py::Ref replaced;
        {
            py::CriticalSection guard(self);
            if (at.pos < 0 || at.pos >= PyList_GET_SIZE(self)) {
                raise_index_error("list assignment index out of range");
                return -1;
            }
            replaced = py::Ref::borrow(PyList_GET_ITEM(self, at.pos));
            if (replaced.get() != formal &&
                PyList_SetItem(self, at.pos, py::Ref::borrow(formal).release()) < 0)
                return -1;
        }
        if (replaced.get() == formal) return 0;
        if (detach_replaced(replaced.get()) < 0) return -1;
        // Detaching ran Python code only for a replaced item that is not
        // primitive.
        update = make_update(self, element, at.key, replaced.get(), formal,
                             is_primitive(replaced.get()) ? fresh_path : nullptr);
        return update ? 0 : -1;
    }
    update = make_update(self, element, at.key, b->missing_value.get(), formal, fresh_path);
    return update ? 0 : -1;
}

int core_write(PyObject* self, const View& view, PyObject* element, std::int64_t index,
               PyObject* value, bool inserting, py::Ref& update, int verdict) {
    update.reset();
    const ContainerBridge* b = container_bridge();
    if (!b || !list_bridge()) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(self);
    py::Ref unwrapped;
    // Whether the write runs no Python code up to its store, so the path
    // read with `view` still names the list: a primitive value, compared
    // with the native missing value and tested against an insertion class
    // without a metaclass of its own.
    bool native = is_primitive(value) && native_missing(*b) &&
                  PyType_CheckExact(list_bridge()->insertion_cls.get());
    // A verdict read before Python code ran may no longer hold.
    if (!native) verdict = -1;
    if (index >= n) {
        // Past the end: a missing value is no write, anything else appends.
        if (!inserting) {
            const int missing = equals_missing(*b, value);
            if (missing != 0) return missing < 0 ? -1 : 0;
        }
        index = n;
    }
    if (!inserting) {
        const int marker = is_insertion(value);
        if (marker < 0) return -1;
        if (marker) {
            unwrapped = py::get_attr<"value">(value);
            if (!unwrapped) return -1;
            value = unwrapped.get();
            inserting = true;
            native = false;
            verdict = -1;
        }
    }
    // The storage position of a negative index counts from the end; an
    // insertion clamps it into the list, as `list.insert` does.
    Placed at;
    at.key = index;
    const std::int64_t pos = index < 0 ? index + n : index;
    if (index == n) {
        at.how = Store::Append;
        at.pos = n;
    } else if (inserting) {
        at.how = Store::Insert;
        at.pos = static_cast<Py_ssize_t>(std::clamp<std::int64_t>(pos, 0, n));
    } else {
        at.how = Store::Replace;
        at.pos = static_cast<Py_ssize_t>(pos);
        py::Ref current = py::list_item(self, at.pos);
        if (!current) {
            raise_index_error("list index out of range");
            return -1;
        }
        if (current.get() == value) return 0;
    }
    // Formalized under the position it takes, so its path names it.
    bool kept = false;
    py::Ref formal = formalized_at(self, view, element, at.pos, value, &kept, verdict);
    if (!formal) return -1;
    return store(self, element, at, formal.get(), update, native && kept ? &view.path : nullptr);
}

void abandon(PyObject* self, const std::vector<py::Ref>& formals) {
    PyObject* pending = PyErr_GetRaisedException();
    for (const py::Ref& formal : formals) {
        if (!formal || is_primitive(formal.get()) || holds_item(self, formal.get())) continue;
        py::Ref parent;
        int r = native_parent(formal.get(), parent);
        if (r == 0) {
            parent = py::get_attr<"_topo_parent">(formal.get());
            r = parent ? 1 : -1;
        }
        // Cleaning up is best effort: the operation's own error is raised.
        if (r < 0 || parent.get() != self || detach_old_child(formal.get()) < 0) PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

Tail delete_tail(PyObject* self, const SpecReadings& readings, std::int64_t key,
                 Py_ssize_t pos, PyObject* expected) {
    const std::optional<std::int64_t>& min_size = readings.min_size;
    py::Ref removed;
    {
        py::CriticalSection guard(self);
        const Py_ssize_t n = PyList_GET_SIZE(self);
        if (min_size && *min_size >= 1 && n <= *min_size) {
            PyErr_Format(PyExc_ValueError, "Cannot delete item: min size (%lld) is reached.",
                         static_cast<long long>(*min_size));
            return Tail::Error;
        }
        if (pos < 0 || pos >= n) {
            if (expected) return Tail::Moved;
            raise_index_error("list index out of range");
            return Tail::Error;
        }
        removed = py::Ref::borrow(PyList_GET_ITEM(self, pos));
        if (expected && removed.get() != expected) return Tail::Moved;
        // The reference kept above outlives the removal, so no finaliser
        // runs under the lock.
        if (PyList_SetSlice(self, pos, pos + 1, nullptr) < 0) return Tail::Error;
    }
    if (flags::notifications_suppressed()) return Tail::Done;
    const ContainerBridge* b = container_bridge();
    if (!b) return Tail::Error;
    py::Ref update =
        make_update(self, readings.element.get(), key, removed.get(), b->missing_value.get());
    return update && notify_one(self, update) == 0 ? Tail::Done : Tail::Error;
}

PyObject* py_set_item_without_permission_check(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::int64_t index = 0;
    if (!py::parse(kSetItemParams, args, nargs, kwnames, a) || !py::arg_i64("key", a[0], index))
        return nullptr;
    View view;
    SpecReadings readings;
    if (!read_view(self, view) || !read_spec(view.spec.get(), kElement, readings))
        return nullptr;
    py::Ref update;
    if (core_write(self, view, readings.element.get(), index, a[1], false, update) < 0)
        return nullptr;
    return update ? update.release() : py::none();
}

PyObject* py_delete_and_notify(PyObject* self, PyObject* i) {
    std::int64_t index = 0;
    if (!py::arg_i64("i", i, index)) return nullptr;
    View view;
    SpecReadings readings;
    if (!read_view(self, view) || !read_spec(view.spec.get(), kElement | kMinSize, readings))
        return nullptr;
    // The tail checks the position, after the minimum-size floor.
    const Py_ssize_t n = PyList_GET_SIZE(self);
    const std::int64_t pos = index < 0 ? index + n : index;
    return delete_tail(self, readings, index, static_cast<Py_ssize_t>(pos), nullptr) ==
                   Tail::Error
               ? nullptr
               : py::none();
}

}  // namespace vesk::symbolic::list
