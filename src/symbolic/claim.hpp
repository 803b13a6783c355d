// Claims: which write is placing or releasing a symbolic node right now.
//
// A child's place in a tree (its parent and its path) is changed by the
// write that adopts it and by the write that detaches it, through calls by
// name that run Python code (`topo_setpath`, `topo_setparent`). A claim
// makes such a change one write's alone, from the decision it rests on
// (where the child sits; whether a slot still holds it) through those calls
// to the store that completes it. A write that meets a node another write
// claims takes it as held elsewhere (adoption decides by its policy), unless
// that write places it where this one would, or this one must release it
// from a slot that still holds it: then it waits for the other to finish.
//
// The claims live in one process-wide table keyed by identity, so any value
// can be claimed (a record has no free cell of its own), split into shards so
// that writes on different nodes rarely meet on one lock. A claim records
// where its write means to place the node, which the cycle walks of other
// writes follow: two writes racing nodes into each other's subtrees see each
// other's claims. A thread that claims a node it already claims (a hook of
// its own re-entering a write) gets an empty claim and goes on as if no
// claim existed.
//
// No lock is held while Python code runs; waiting releases the thread's
// attachment to the interpreter, so a waiting thread never holds up the
// others or the collector.
#pragma once

#include "py/ref.hpp"

#include <utility>

namespace vesk::symbolic {

class Claim {
public:
    Claim() noexcept = default;
    Claim(Claim&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
    Claim& operator=(Claim&& other) noexcept {
        if (this != &other) {
            release();
            node_ = std::exchange(other.node_, nullptr);
        }
        return *this;
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() { release(); }

    // Claims `node` for this write, to be placed under `destination`
    // (borrowed; null when the claim only releases it). False when another
    // thread holds a claim on it: nothing is claimed and no error is set.
    [[nodiscard]] bool take(PyObject* node, PyObject* destination);

    // Claims `node` as `take` does, but while another thread claims it,
    // waits as long as `still(ctx)` answers 1 (the slot a write releases it
    // from still holds it; the other write places it where this one would).
    // 1 claimed, 0 when `still` answered 0 (nothing claimed), -1 with an
    // exception: the check failed, or the wait ran so long that the write is
    // refused with the borrow error.
    [[nodiscard]] int take_waiting(PyObject* node, PyObject* destination,
                                   int (*still)(void* ctx), void* ctx);

    // Ends the claim (nothing when none is held).
    void release() noexcept;

    // Whether this object holds a claim (false for the empty claim of a
    // re-entered node).
    [[nodiscard]] bool held() const noexcept { return node_ != nullptr; }

private:
    // By identity: the claimer keeps the node, and where it places it,
    // alive for as long as it holds the claim.
    PyObject* node_ = nullptr;
};

// Where another write, or an outer write of this thread, means to place
// `node`: its claim's destination, or null (no error) when none claims it.
[[nodiscard]] py::Ref claimed_destination(PyObject* node);

}  // namespace vesk::symbolic
