// The SymList methods that change its items (`append`, `insert`, `extend`,
// `pop`, `remove`, `clear`, `sort`, `reverse`) and the two that make new
// lists from it (`*` and `+`). Each runs its sealed gate first; single
// writes go through the core write and single removals through the delete
// tail (writes.cpp).
#include "symbolic/list/list_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/child_state.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/shortcuts.hpp"

#include <limits>

namespace vesk::symbolic::list {

py::Params<2> kInsertParams{"insert", {"index", "value"}, 2, 2};
py::Params<1> kPopParams{"pop", {"index=-1"}, 1, 0};
py::Params<2> kSortParams{"sort", {"key=None", "reverse=False"}, 0, 0};

namespace {

constexpr const char kDeleteSealed[] = "Cannot delete item from a sealed List.";

// The view and the readings of an operation, with its sealed gate; then
// the claim on the list's tree (claim.hpp) in `claims`: the operation moves
// the items a walk of the list visits.
bool open_write(PyObject* self, const char* sealed_text, unsigned wanted, View& view,
                SpecReadings& readings, ClaimScope& claims) {
    if (refused_at_entry(self) || !read_view(self, view)) return false;
    if (sealed_now(view)) {
        refuse(view, sealed_text, false);
        return false;
    }
    return read_spec(view.spec.get(), wanted, readings) && claims.tree(self) == 0;
}

bool below_max(const SpecReadings& readings, Py_ssize_t n) {
    if (!readings.max_size || n < *readings.max_size) return true;
    PyErr_Format(PyExc_ValueError, "List reached its max size %lld.",
                 static_cast<long long>(*readings.max_size));
    return false;
}

// One item written by the core write and its update notified.
PyObject* write_one(PyObject* self, const char* sealed_text, std::int64_t index,
                    PyObject* value, bool inserting) {
    View view;
    WriteReadings wr;
    if (!read_view_for_write(self, value, view, wr)) return nullptr;
    if (sealed_now(view)) {
        refuse(view, sealed_text, false);
        return nullptr;
    }
    const Py_ssize_t n = length_unless_held(self);
    if (n < 0 || !complete_readings(self, view, kElement | kMaxSize, wr) ||
        !below_max(wr.readings, n))
        return nullptr;
    // The bound is checked again where the item is stored; an append names
    // no index (any past the end), so it takes the end the list has at its
    // store.
    const std::optional<std::int64_t>& bound = wr.readings.max_size;
    const std::int64_t at = inserting ? index : std::numeric_limits<std::int64_t>::max();
    py::Ref update;
    ClaimScope claims;  // held to the end of the notification
    if (core_write(self, view, wr.readings.element.get(), at, value, inserting, update,
                   wr.verdict, bound ? &*bound : nullptr) < 0 ||
        notify_one(self, update) < 0)
        return nullptr;
    return py::none();
}

// Whether a symbolic item already sits in a tree. 1, 0 or -1.
int has_parent(PyObject* item) {
    py::Ref parent;
    const int native = native_parent(item, parent);
    if (native < 0) return -1;
    if (native == 0) {
        parent = py::get_attr<"_topo_parent">(item);
        if (!parent) return -1;
    }
    return parent && parent.get() != Py_None;
}

// Whether a symbolic item read from `source` belongs to a tree: its own
// state tells (it has a parent), or it has left a symbolic list source
// since it was read (a write there replaced it, letting it go). 1, 0 or -1.
int held_by_tree(PyObject* item, PyObject* source) {
    const int held = has_parent(item);
    if (held != 0) return held;
    return is_sym_list(source) && py::list_position(source, item) < 0;
}

// The items `extend` adds: a symbolic list's raw items, else the iterated
// ones; a symbolic item that a tree holds is cloned. Each item that has one
// place (symbolic or topology-aware) is claimed before it is read
// (claim.hpp): a write placing it meanwhile refuses this one rather than
// show it half placed.
py::Ref new_items(PyObject* other, ClaimScope& claims) {
    py::Ref items = is_sym_list(other) ? raw_items(other) : py::Ref::steal(PySequence_List(other));
    if (!items) return {};
    const Py_ssize_t m = PyList_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < m; ++k) {
        PyObject* item = PyList_GET_ITEM(items.get(), k);
        if (is_primitive(item)) continue;
        const int symbolic = is_symbolic(item);
        const int placed = symbolic != 0 ? symbolic : is_topology_aware(item);
        if (placed < 0 || (placed && claims.exclusive(item) < 0)) return {};
        const int held = symbolic > 0 ? held_by_tree(item, other) : symbolic;
        if (held < 0) return {};
        if (!held) continue;
        py::Ref clone = py::call_method<"sym_clone">(item);
        if (!clone || PyList_SetItem(items.get(), k, clone.release()) < 0) return {};
    }
    return items;
}

// The user-facing item at `pos`, then its removal there.
PyObject* pop_at(PyObject* self, const View& view, const SpecReadings& readings,
                 std::int64_t index) {
    for (bool gated = false;;) {
        Py_ssize_t n = 0, pos = 0;
        py::Ref item;
        const int found = item_at_index(self, index, n, pos, item);
        if (found < 0) return nullptr;
        if (found == 0) {
            PyErr_SetString(PyExc_IndexError, "pop index out of range");
            return nullptr;
        }
        // An empty list reports its range first, even when sealed.
        if (!gated && sealed_now(view)) {
            refuse(view, kDeleteSealed, false);
            return nullptr;
        }
        gated = true;
        py::Ref value = resolve(item);
        if (!value) return nullptr;
        switch (delete_tail(self, readings, pos, pos, item.get(), "pop index out of range")) {
            case Tail::Error: return nullptr;
            case Tail::Moved: continue;
            case Tail::Done: return value.release();
        }
    }
}

}  // namespace

PyObject* append(PyObject* self, PyObject* value) {
    return write_one(self, "Cannot append element on a sealed List.", 0, value, false);
}

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::int64_t index = 0;
    if (!py::parse(kInsertParams, args, nargs, kwnames, a) || !py::arg_i64("index", a[0], index))
        return nullptr;
    return write_one(self, "Cannot insert element into a sealed List.", index, a[1], true);
}

PyObject* extend(PyObject* self, PyObject* other) {
    if (refused_at_entry(self)) return nullptr;
    // Held to the end of the notification. The list's place is read under
    // the claims, which keep it while the source is read (Python code runs
    // there): the items and their clones are named where the list is.
    ClaimScope claims;
    View view;
    if (claim_list(claims, self) < 0 || !read_view(self, view)) return nullptr;
    if (!view.path) return py::none();  // a blank list, never constructed
    if (sealed_now(view)) {
        refuse(view, "Cannot extend a sealed List.", false);
        return nullptr;
    }
    SpecReadings readings;
    if (!read_spec(view.spec.get(), kElement | kMaxSize, readings)) return nullptr;
    py::Ref items = new_items(other, claims);
    const ContainerBridge* b = items ? container_bridge() : nullptr;
    if (!b) return nullptr;
    const Py_ssize_t n = length_unless_held(self);
    if (n < 0) return nullptr;
    const Py_ssize_t m = PyList_GET_SIZE(items.get());
    if (readings.max_size && n + m > *readings.max_size) {
        PyErr_Format(PyExc_ValueError,
                     "Cannot extend List: the number of elements (%zd) exceeds max size (%lld).",
                     n + m, static_cast<long long>(*readings.max_size));
        return nullptr;
    }
    // Each item goes to the end; a missing value is no write there, and an
    // insertion marker gives its value.
    Batch batch;
    batch.copied = true;
    batch.counted = m;
    batch.given = items.get();
    batch.at.reserve(static_cast<std::size_t>(m));
    batch.values.reserve(static_cast<std::size_t>(m));
    for (Py_ssize_t k = 0; k < m; ++k) {
        PyObject* item = PyList_GET_ITEM(items.get(), k);
        const int missing = equals_missing(*b, item);
        if (missing != 0) {
            if (missing < 0) return nullptr;
            continue;
        }
        py::Ref value = py::Ref::borrow(item);
        const int marker = is_insertion(item);
        if (marker < 0 || (marker && !(value = py::get_attr<"value">(item)))) return nullptr;
        // A marker's value is claimed as `new_items` claimed the others.
        const int placed = marker && !is_primitive(value.get()) ? has_one_place(value.get()) : 0;
        if (placed < 0 || (placed && claims.exclusive(value.get()) < 0)) return nullptr;
        const Py_ssize_t pos = n + static_cast<Py_ssize_t>(batch.at.size());
        batch.at.push_back({Store::Append, pos, pos, {}});
        batch.values.push_back(std::move(value));
    }
    const std::optional<std::int64_t>& bound = readings.max_size;
    if (write_batch(self, view, readings.element.get(), batch, bound ? &*bound : nullptr) < 0)
        return nullptr;
    return py::none();
}

PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    std::int64_t index = -1;
    if (!py::parse(kPopParams, args, nargs, kwnames, a) ||
        (a.given(0) && !py::arg_i64("index", a[0], index)))
        return nullptr;
    View view;
    SpecReadings readings;
    ClaimScope claims;
    if (refused_at_entry(self) || !read_view(self, view) ||
        !read_spec(view.spec.get(), kElement | kMinSize, readings) || claims.tree(self) < 0)
        return nullptr;
    return pop_at(self, view, readings, index);
}

PyObject* remove(PyObject* self, PyObject* value) {
    View view;
    SpecReadings readings;
    ClaimScope claims;
    if (!open_write(self, kDeleteSealed, kElement | kMinSize, view, readings, claims))
        return nullptr;
    for (;;) {
        // The items as they are now, compared in order; other threads may
        // change the list meanwhile, so the one found is removed where it
        // sits when its removal comes, and looked for again if it is gone.
        py::Ref items = raw_items(self);
        if (!items) return nullptr;
        PyObject* found = nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()) && !found; ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            const int equal = PyObject_RichCompareBool(item, value, Py_EQ);
            if (equal < 0) return nullptr;
            if (equal) found = item;
        }
        if (!found) {
            PyErr_Format(PyExc_ValueError, "%R not in list.", value);
            return nullptr;
        }
        for (Py_ssize_t pos; (pos = py::list_position(self, found)) >= 0;) {
            switch (delete_tail(self, readings, pos, pos, found, "list index out of range")) {
                case Tail::Error: return nullptr;
                case Tail::Moved: continue;
                case Tail::Done: return py::none();
            }
        }
    }
}

PyObject* clear(PyObject* self) {
    View view;
    SpecReadings readings;
    ClaimScope claims;
    // It moves every item, and takes out those other writes follow (claim.hpp).
    if (!open_write(self, "Cannot clear a sealed List.", kMinSize, view, readings, claims) ||
        claims.moving(self) < 0 || claims.clearing(self) < 0)
        return nullptr;
    if (readings.min_size && *readings.min_size > 0) {
        PyErr_Format(PyExc_ValueError, "List cannot be cleared: min size is %lld.",
                     static_cast<long long>(*readings.min_size));
        return nullptr;
    }
    // The items are taken out in one section with the sort's mark checked;
    // the last references to them go after it, so no finaliser runs inside.
    py::Ref items;
    {
        py::CriticalSection guard(self);
        if (refused_for_write(self)) return nullptr;
        const Py_ssize_t n = PyList_GET_SIZE(self);
        items = py::Ref::steal(PyList_GetSlice(self, 0, n));
        if (!items || PyList_SetSlice(self, 0, n, nullptr) < 0) return nullptr;
    }
    return py::none();
}

PyObject* sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    bool reversed = false;
    if (!py::parse(kSortParams, args, nargs, kwnames, a) ||
        (a.given(1) && !py::arg_bool_scalar("reverse", a[1], reversed)))
        return nullptr;
    View view;
    SpecReadings readings;
    ClaimScope claims;
    // Claimed for a sort (claim.hpp): a write under way on the list refuses
    // it, and one that comes while it runs is refused before its first
    // effect.
    if (!open_write(self, "Cannot sort a sealed List.", 0, view, readings, claims) ||
        claims.sort(self) < 0)
        return nullptr;
    // The built-in list's own sort, whatever a subclass defines, with the
    // list marked for its whole run (sorting.hpp).
    py::Ref sort = py::get_attr<"sort">(reinterpret_cast<PyObject*>(&PyList_Type));
    if (!sort) return nullptr;
    {
        py::CriticalSection guard(self);
        if (!begin_sort(self)) return nullptr;
    }
    PyObject* call[] = {self, a.given(0) ? a[0] : Py_None, borrowed_bool(reversed)};
    py::Ref done = py::call_kw<"key", "reverse">(sort.get(), call);
    {
        py::CriticalSection guard(self);
        end_sort(self);
    }
    return done.release();
}

PyObject* reverse(PyObject* self) {
    View view;
    SpecReadings readings;
    ClaimScope claims;
    if (!open_write(self, "Cannot reverse a sealed List.", 0, view, readings, claims) ||
        claims.moving(self) < 0)
        return nullptr;
    py::CriticalSection guard(self);
    if (refused_for_write(self)) return nullptr;
    return PyList_Reverse(self) < 0 ? nullptr : py::none();
}

PyObject* multiply(PyObject* a, PyObject* b) {
    PyObject* lst = is_sym_list(a) ? a : is_sym_list(b) ? b : nullptr;
    PyObject* count = lst == a ? b : a;
    if (!lst || !PyIndex_Check(count)) return py::not_implemented();
    py::Ref index = py::Ref::steal(PyNumber_Index(count));
    if (!index) return nullptr;
    const long long n = PyLong_AsLongLong(index.get());
    if (n == -1 && PyErr_Occurred()) return nullptr;
    py::Ref result = py::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(Py_TYPE(lst))));
    if (!result) return nullptr;
    // A product that fails is seen by no one: what its extends placed goes
    // back where it was.
    AdoptionLog log(result.get());
    for (long long i = 0; i < n; ++i)
        if (!py::call_method<"extend">(result.get(), lst)) return nullptr;
    py::Ref spec;
    {
        py::Shared<ListState> held(lst);
        if (!held) return nullptr;
        spec = held->value_spec;
    }
    if (spec && !py::call_method<"use_value_spec">(result.get(), spec.get())) return nullptr;
    log.keep();
    return result.release();
}

PyObject* add(PyObject* a, PyObject* b) {
    if (!is_sym_list(a)) return py::not_implemented();
    py::Ref result = py::Ref::steal(copy(a));
    if (!result) return nullptr;
    // A sum that fails is seen by no one: what its extend placed goes back
    // where it was (the copy's own items are clones).
    AdoptionLog log(result.get());
    if (!py::call_method<"extend">(result.get(), b)) return nullptr;
    log.keep();
    return result.release();
}

}  // namespace vesk::symbolic::list
