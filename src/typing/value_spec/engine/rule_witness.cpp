#include "typing/value_spec/engine/rule_witness.hpp"

#include "py/critical_section.hpp"
#include "py/mutex.hpp"
#include "typing/change_epoch.hpp"

#include <atomic>

namespace vesk::typing::funnel {

namespace {

// Runs inside the change, under the dict's lock, before it takes effect. A
// rule derivation reads the map entry by entry under that same lock, after
// reading the epoch; so it either reads the changed map, or reads the old one
// with an epoch this bump then moves past.
int type_map_changed(PyDict_WatchEvent event, PyObject*, PyObject*, PyObject*) noexcept {
    if (event != PyDict_EVENT_DEALLOCATED) note_change();
    return 0;
}

constexpr int kUnset = -2;
constexpr int kNone = -1;  // the interpreter had no watcher to spare
std::atomic<int> watcher_id{kUnset};
py::SpinMutex watcher_mutex;

int watcher() noexcept {
    const int id = watcher_id.load(std::memory_order_acquire);
    if (id != kUnset) return id;
    py::MutexLock lock(watcher_mutex);
    if (const int again = watcher_id.load(std::memory_order_acquire); again != kUnset)
        return again;
    int fresh = PyDict_AddWatcher(type_map_changed);
    if (fresh < 0) {
        PyErr_Clear();
        fresh = kNone;
    }
    watcher_id.store(fresh, std::memory_order_release);
    return fresh;
}

}  // namespace

bool RuleWitness::holds() const noexcept {
    for (const ListSnapshot& s : lists) {
        PyObject* list = s.list.get();
        py::CriticalSection guard(list);
        const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list));
        if (n != s.items.size()) return false;
        for (std::size_t i = 0; i < n; ++i)
            if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)) != s.items[i].get())
                return false;
    }
    return true;
}

std::vector<py::Ref> list_snapshot(PyObject* list) {
    std::vector<py::Ref> items;
    py::CriticalSection guard(list);
    const Py_ssize_t n = PyList_GET_SIZE(list);
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) items.push_back(py::Ref::borrow(PyList_GET_ITEM(list, i)));
    return items;
}

bool watch_type_map(PyObject* type_map) noexcept {
    const int id = watcher();
    if (id < 0 || !PyDict_CheckExact(type_map)) return false;
    if (PyDict_Watch(id, type_map) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace vesk::typing::funnel
