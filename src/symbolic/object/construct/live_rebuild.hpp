// A construction run again on a live object: one constructed before (it has
// a path or a field dictionary), which other threads may reach and write.
//
// It is held whole for its run, as a container's rebuild is: claimed
// exclusively (claim.hpp) and marked as held by its thread, with the count
// of the flags a write checks moved on (symbolic/checked_change.hpp). So a
// write of another thread fails at once with the borrow refusal, having
// changed nothing, whether it began before (met at its claims, or at its
// plain store by the count) or after (met as it reads the object, by the
// mark); the construction's own thread writes on (its hooks). The object
// keeps its field dictionary until the construction stores the new one, so
// no write of another thread ever finds it without one; a construction that
// fails leaves it blank, as any construction that fails does.
#pragma once

#include "py/ref.hpp"
#include "symbolic/claim.hpp"

namespace vesk::symbolic::object {

struct CtorMeta;
struct ObjectBridge;
struct ConstructRequest;

class LiveRebuild {
public:
    LiveRebuild() noexcept = default;
    ~LiveRebuild();
    LiveRebuild(const LiveRebuild&) = delete;
    LiveRebuild& operator=(const LiveRebuild&) = delete;

    // Holds `self` and resets its node for the construction as a fresh
    // construction resets it, keeping its field dictionary. 0, or -1 with
    // the refusal and nothing changed.
    [[nodiscard]] int begin(PyObject* self, const ConstructRequest& rq, const CtorMeta& meta,
                            const ObjectBridge& b);
    // The construction stands.
    void keep() noexcept { kept_ = true; }

private:
    ClaimScope claims_;
    PyObject* self_ = nullptr;
    bool marked_ = false;  // the mark is this hold's to let go
    bool kept_ = false;
};

}  // namespace vesk::symbolic::object
