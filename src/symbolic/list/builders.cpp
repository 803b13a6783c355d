// Ways to make a SymList other than `__init__`: the wrap builder (a raw list
// turned into a symbolic one, for the wrap-node hook and object
// construction), the one-pass clone of an all-primitive list, and `copy()`,
// which reads its source as any read does.
#include "symbolic/list/list_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "py/write_span.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/list_items.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"

namespace vesk::symbolic::list {

namespace {

// Adopts the non-primitive items of a list that nothing else holds yet,
// storing a clone in place of an item that adoption replaced.
int adopt_items(PyObject* self) {
    // The items' hooks meet the new list closed to their writes, which would
    // move the items still to adopt (py/write_span.hpp).
    const py::WriteSpan closed(self, py::WriteSpan::Mode::Closed);
    View view;
    SpecReadings readings;
    if (!read_view(self, view) || !read_spec(view.spec.get(), kElement, readings)) return -1;
    const Py_ssize_t n = PyList_GET_SIZE(self);
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = item_or_index_error(self, i);
        if (!item) return -1;
        if (is_primitive(item.get())) continue;
        py::Ref key = py::Ref::steal(PyLong_FromSsize_t(i));
        py::Ref adopted = key ? assign_child(self, view, readings.element.get(), key.get(),
                                             item.get(), nullptr)
                              : py::Ref();
        if (!adopted) return -1;
        if (adopted.get() != item.get() && PyList_SetItem(self, i, adopted.release()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

py::Ref new_instance(PyObject* cls) { return new_container(cls, sym_list_type()); }

py::Ref wrap_list(PyObject* cls, PyObject* raw, PyObject* spec, bool allow_partial,
                  PyObject* path, PyObject* parent) {
    py::Ref self = new_instance(cls);
    if (!self) return {};
    NodeReset reset;
    bool ok = true;
    reset.origin = default_origin(ok);
    if (!ok) return {};
    reset.set_origin = true;
    reset.path = none_as_absent(path);
    reset.spec = spec ? none_as_absent(spec) : nullptr;
    reset.allow_partial = allow_partial;
    if (reset_node(self.get(), reset) < 0) return {};
    // A wrap that fails gives each child it placed back its place.
    AdoptionLog log(self.get());
    if (PyList_SetSlice(self.get(), 0, 0, raw) < 0 || adopt_items(self.get()) < 0) return {};
    if (parent && store_parent<ListState>(self.get(), parent) < 0) return {};
    log.keep();
    return self;
}

PyObject* clone_if_primitive(PyObject* self) {
    py::Ref items = raw_items(self);
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!is_primitive(PyList_GET_ITEM(items.get(), i))) return py::none();
    py::Ref clone = new_instance(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (!clone || PyList_SetSlice(clone.get(), 0, 0, items.get()) < 0) return nullptr;
    const ContainerBridge* b = container_bridge();
    View view;
    if (!b || !read_view(self, view)) return nullptr;
    NodeReset reset;
    bool ok = true;
    reset.origin = default_origin(ok);
    if (!ok) return nullptr;
    reset.set_origin = true;
    reset.path = b->empty_key_path.get();
    reset.spec = view.spec.get();
    reset.allow_partial = view.allow_partial;
    reset.accessor_writable = view.accessor_writable;
    reset.wrap = view.wrap;
    if (reset_node(clone.get(), reset) < 0) return nullptr;
    return clone.release();
}

namespace {

// The source's items as a copy takes them: each symbolic item that keeps a
// tree replaced by its clone, which the copy's construction then adopts.
// A copy reads its source as a read does: it places none of its items (a
// clone is read off its item), so it claims none, and no write into the
// source or its members meets it; its construction claims only what it
// made. 0 or -1.
int clone_members(py::Ref& items) {
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (is_primitive(item)) continue;
        const int symbolic = is_symbolic(item);
        if (symbolic <= 0) {
            if (symbolic < 0) return -1;
            continue;
        }
        // Its flag is read past another thread's momentary hold of it.
        int topo = 0;
        if (past_momentary_holds([&] { return (topo = strict_topology_flag(item)) < 0 ? -1 : 0; }) <
            0)
            return -1;
        if (!topo) continue;
        py::Ref clone = py::call_method<"sym_clone">(item);
        if (!clone || PyList_SetItem(items.get(), i, clone.release()) < 0) return -1;
    }
    return 0;
}

}  // namespace

PyObject* copy(PyObject* self) {
    py::Ref items = raw_items(self);
    if (!items || clone_members(items) < 0) return nullptr;
    py::Ref spec;
    {
        py::Shared<ListState> held(self);
        if (!held) return nullptr;
        spec = held->value_spec;
    }
    PyObject* adopt = nullptr;
    if (!items || !py::intern<"adopt">(adopt)) return nullptr;
    PyObject* call[] = {items.get(), or_none(spec), adopt};
    return py::call_kw<"value_spec", "assign">(reinterpret_cast<PyObject*>(Py_TYPE(self)), call)
        .release();
}

}  // namespace vesk::symbolic::list
