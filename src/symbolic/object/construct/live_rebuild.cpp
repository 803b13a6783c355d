#include "symbolic/object/construct/live_rebuild.hpp"

#include "py/hold.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/object/construct/construct.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object_bridge.hpp"

#include <cstdint>
#include <utility>

namespace vesk::symbolic::object {

namespace {

std::uintptr_t this_thread() noexcept {
    return reinterpret_cast<std::uintptr_t>(PyThreadState_GetUnchecked());
}

}  // namespace

int LiveRebuild::begin(PyObject* self, const ConstructRequest& rq, const CtorMeta& meta,
                       const ObjectBridge& b) {
    py::Ref new_path = rq.root_path ? py::Ref::borrow(rq.root_path) : b.empty_key_path;
    Released released;
    py::Ref old_origin;
    const int held = change_flags(claims_, self, [&](ObjectState& s) {
        s.node.reset_for_construction(std::move(new_path), rq.allow_partial, meta.attr_write,
                                      false, released);
        old_origin = std::move(s.node.origin);
        // Under the claim no other thread's rebuild marks it; this thread's
        // own (a hook constructing it again) keeps its mark.
        if (!s.sorting.held.load(std::memory_order_relaxed)) {
            s.sorting.held.store(this_thread(), std::memory_order_relaxed);
            marked_ = true;
        }
    });
    if (held < 0) return -1;
    self_ = self;
    return 0;
}

LiveRebuild::~LiveRebuild() {
    if (!self_) return;
    // The failure of the construction is kept aside: the fields let go may
    // run finalisers.
    PyObject* exc = PyErr_GetRaisedException();
    {
        py::Ref dropped;
        const int done = past_momentary_holds([&] {
            py::Exclusive<ObjectState> held(self_);
            if (!held) return -1;
            if (!kept_) dropped = std::move(held->fields);
            return 0;
        });
        // Only a hold that outlasts every momentary one refuses it; the
        // construction's own failure is the one reported.
        if (done < 0) PyErr_Clear();
    }
    // The mark is an atomic of its own: other threads' writes are let in
    // again whatever became of the fields.
    if (marked_)
        py::state<ObjectState>(self_).sorting.held.store(0, std::memory_order_relaxed);
    PyErr_SetRaisedException(exc);
}

}  // namespace vesk::symbolic::object
