#include "py/hot_shared.hpp"

#include "py/deferred.hpp"
#include "py/mutex.hpp"

#include <array>
#include <memory>
#include <new>

#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030F0000
// The interpreter's own (exported, not in the public headers): how the
// collector and a fork stop every other thread at a safe point.
extern "C" PyAPI_FUNC(void) _PyEval_StopTheWorld(PyInterpreterState* interp);
extern "C" PyAPI_FUNC(void) _PyEval_StartTheWorld(PyInterpreterState* interp);
#endif

namespace vesk::py::detail {

#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030F0000

namespace {

// The collector's bit of an object it found unreachable: while it runs
// finalisers with the other threads going again, such an object's thread
// field links its list of garbage.
constexpr std::uint8_t kUnreachableBit = 1 << 2;

// Whether `op` may be made immortal now, every other thread stopped: not
// already, not found unreachable by a collection under way, and not queued
// for its owner to merge its counts (the merge would make it mortal again
// with counts that no longer hold).
bool may_keep(PyObject* op) noexcept {
    if (_Py_IsImmortal(op) || (op->ob_gc_bits & kUnreachableBit) != 0) return false;
    return (op->ob_ref_shared & _Py_REF_SHARED_FLAG_MASK) != _Py_REF_QUEUED;
}

void keep_now(PyObject* op) noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    _PyEval_StopTheWorld(interp);
    if (may_keep(op)) _Py_SetImmortal(op);
    _PyEval_StartTheWorld(interp);
}

// Per thread, the objects it met lately by address, a few to each set so
// that the objects one write meets together do not push each other out; a
// new object takes the place of the one met least. Addresses only; never
// read through.
struct Met {
    const PyObject* op = nullptr;
    std::uint32_t uses = 0;
};
constexpr std::size_t kSets = 16, kWays = 4;
using MetTable = std::array<std::array<Met, kWays>, kSets>;
// On the heap: the modules' thread-locals share the small static block of
// modules loaded after start-up, which a table this size would overflow.
thread_local std::unique_ptr<MetTable> t_met;

// The set of `op` in this thread's table; null when no table can be had.
std::array<Met, kWays>* set_of(const PyObject* op) noexcept {
    if (!t_met) {
        t_met.reset(new (std::nothrow) MetTable());
        if (!t_met) return nullptr;
    }
    const auto a = reinterpret_cast<std::uintptr_t>(op);
    return &(*t_met)[((a >> 4) ^ (a >> 12)) & (kSets - 1)];
}

// The objects one thread has met kHotUses times, with that thread: a second
// thread that gets there too makes the object one threads meet on. One
// thread alone, however often it counts an object, meets no other on it.
struct Reached {
    const PyObject* op = nullptr;
    std::uintptr_t thread = 0;
};
SpinMutex g_reached_mutex;
std::array<Reached, 32> g_reached;
std::size_t g_reached_next = 0;

bool second_thread_there(const PyObject* op) noexcept {
    const std::uintptr_t me = _Py_ThreadId();
    MutexLock lock(g_reached_mutex);
    for (Reached& r : g_reached)
        if (r.op == op) {
            if (r.thread == me) return false;
            r = Reached{};
            return true;
        }
    g_reached[g_reached_next++ % g_reached.size()] = {op, me};
    return false;
}

}  // namespace

void count_foreign_use(PyObject* op) noexcept {
    std::array<Met, kWays>* set = set_of(op);
    if (!set) return;
    Met* least = &(*set)[0];
    for (Met& m : *set) {
        if (m.op == op) {
            if (++m.uses < kHotUses) return;
            m.uses = 0;
            if (second_thread_there(op)) keep_now(op);
            return;
        }
        if (m.uses < least->uses) least = &m;
    }
    *least = {op, 1};
}

#else

void count_foreign_use(PyObject*) noexcept {}

#endif

}  // namespace vesk::py::detail
