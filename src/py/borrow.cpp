// What the borrow flags share across threads and forks: each thread's log of
// the holds it has, and the fork generation, moved on in the child of a fork
// after the forking thread's holds are carried into it.
#include "py/borrow.hpp"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace vesk::py::fork_holds {

thread_local HoldLog t_log [[gnu::tls_model("initial-exec")]] = {nullptr, 0, 0};
std::atomic<std::uint32_t> g_generation{0};

namespace {

pthread_key_t g_log_key;
pthread_once_t g_log_key_once = PTHREAD_ONCE_INIT;

// A thread's log storage goes with the thread.
void free_log(void* items) { std::free(items); }
void make_log_key() { (void)pthread_key_create(&g_log_key, free_log); }

// Runs in the child of a fork, on the forking thread, before any other code.
void on_fork_child() {
    const std::uint32_t g = g_generation.load(std::memory_order_relaxed) + 1;
    const HoldLog& log = t_log;
    for (std::uint32_t i = 0; i < log.size; ++i) log.items[i]->carry_into(g);
    for (std::uint32_t i = 0; i < log.size; ++i) log.items[i]->count_carried();
    g_generation.store(g, std::memory_order_relaxed);
}

[[maybe_unused]] const bool g_registered = pthread_atfork(nullptr, nullptr, on_fork_child) == 0;

}  // namespace

void unlogged_below_top(HoldLog& log, BorrowFlag* flag) noexcept {
    for (std::uint32_t i = log.size; i-- > 0;)
        if (log.items[i] == flag) {
            for (std::uint32_t j = i + 1; j < log.size; ++j) log.items[j - 1] = log.items[j];
            --log.size;
            return;
        }
}

void grow(HoldLog& log) noexcept {
    const std::uint32_t capacity = log.capacity ? log.capacity * 2 : 16;
    void* items = std::realloc(log.items, capacity * sizeof(BorrowFlag*));
    // Out of memory: the hold is not logged (the child of a later fork would
    // count it as released), which is all that can be done here.
    if (!items) return;
    if (!log.items) {
        (void)pthread_once(&g_log_key_once, make_log_key);
    }
    log.items = static_cast<BorrowFlag**>(items);
    log.capacity = capacity;
    (void)pthread_setspecific(g_log_key, items);
}

}  // namespace vesk::py::fork_holds

namespace vesk::py {

namespace {

// Compared by address only, never read: the exception may be gone.
thread_local const PyObject* t_latest_refusal = nullptr;

void raise_refusal(const char* text) noexcept {
    PyErr_SetString(PyExc_RuntimeError, text);
    PyObject* exc = PyErr_GetRaisedException();
    t_latest_refusal = exc;
    PyErr_SetRaisedException(exc);
}

}  // namespace

bool BorrowFlag::held_by_this_thread() const noexcept {
    const fork_holds::HoldLog& log = fork_holds::t_log;
    for (std::uint32_t i = 0; i < log.size; ++i)
        if (log.items[i] == this) return true;
    return false;
}

namespace {

// Tries made at once, still attached: the holder is storing now.
constexpr unsigned kQuickTries = 64;

}  // namespace

void pause_for_retry(unsigned attempt) noexcept {
    Py_BEGIN_ALLOW_THREADS;
    if (attempt < 32)
        std::this_thread::yield();
    else
        std::this_thread::sleep_for(std::chrono::microseconds(attempt < 256 ? 20 : 500));
    Py_END_ALLOW_THREADS;
}

bool wait_for_hold(BorrowFlag& flag, bool exclusive) noexcept {
    if (flag.held_by_this_thread()) return false;
    auto take = [&] { return exclusive ? flag.try_exclusive() : flag.try_shared(); };
    for (unsigned i = 0; i < kQuickTries; ++i) {
        std::this_thread::yield();
        if (take()) return true;
    }
    const auto start = std::chrono::steady_clock::now();
    for (unsigned attempt = 0;; ++attempt) {
        pause_for_retry(attempt);
        if (take()) return true;
        if (std::chrono::steady_clock::now() - start > kMomentaryLimit) return false;
    }
}

void raise_mutably_borrowed() noexcept { raise_refusal("Already mutably borrowed"); }
void raise_borrowed() noexcept { raise_refusal("Already borrowed"); }

bool is_latest_refusal(PyObject* exc) noexcept { return exc && exc == t_latest_refusal; }

bool is_borrow_error(PyObject* exc) noexcept {
    if (!exc || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError)))
        return false;
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exc)->args;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) != 1) return false;
    PyObject* message = PyTuple_GET_ITEM(args, 0);
    return PyUnicode_Check(message) &&
           (PyUnicode_CompareWithASCIIString(message, "Already borrowed") == 0 ||
            PyUnicode_CompareWithASCIIString(message, "Already mutably borrowed") == 0);
}

namespace {
thread_local const PyObject* t_latest_claim_refusal = nullptr;
}  // namespace

void raise_claim_refused() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    PyObject* exc = PyErr_GetRaisedException();
    t_latest_claim_refusal = exc;
    PyErr_SetRaisedException(exc);
}

bool is_claim_refusal(PyObject* exc) noexcept { return exc && exc == t_latest_claim_refusal; }

}  // namespace vesk::py
