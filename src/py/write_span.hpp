// Spans in which the calling thread keeps an object closed to its own
// writes, or open to them again.
//
// A construction fills a node with stores of its own while Python code runs
// between them (its members' hooks, their validation): a write the same
// thread makes into the node meanwhile (a member's hook storing into its
// new parent) would land between what the construction read and what it
// stores, and be overwritten, or shift what it stores after. Holding the
// node's borrow across that code would refuse reads too, so the
// construction closes the node for those spans instead, and a write of the
// thread meeting a closed span is refused at once with the borrow refusal
// ("Already mutably borrowed", as a claim's: claim.hpp), having changed
// nothing. Other threads meet the node's claims as usual.
//
// Spans nest: the innermost span over an object decides (a construction
// opens its node again for a write of its own, and an adoption into a node
// that a construction of this thread spans closes it again for its hooks).
// An object no span covers is open; a thread with no span pays one
// thread-local load per write.
#pragma once

#include "py/python.hpp"

namespace vesk::py {

class WriteSpan;

namespace detail {
[[gnu::tls_model("initial-exec")]] extern constinit thread_local WriteSpan* t_write_spans;
}  // namespace detail

class WriteSpan {
public:
    enum class Mode : unsigned char { Open, Closed };

    WriteSpan(PyObject* obj, Mode mode) noexcept
        : obj_(obj), mode_(mode), outer_(detail::t_write_spans) {
        detail::t_write_spans = this;
    }
    ~WriteSpan() { detail::t_write_spans = outer_; }
    WriteSpan(const WriteSpan&) = delete;
    WriteSpan& operator=(const WriteSpan&) = delete;

    // The calling thread's innermost span over `obj`, or null.
    [[nodiscard]] static const WriteSpan* of(PyObject* obj) noexcept {
        for (const WriteSpan* s = detail::t_write_spans; s; s = s->outer_)
            if (s->obj_ == obj) return s;
        return nullptr;
    }
    [[nodiscard]] bool closed() const noexcept { return mode_ == Mode::Closed; }

private:
    PyObject* obj_;
    Mode mode_;
    WriteSpan* outer_;
};

// Whether the calling thread has any span open now.
[[nodiscard]] inline bool any_write_span() noexcept { return detail::t_write_spans != nullptr; }

// Whether the calling thread keeps `obj` closed to its writes now, with the
// refusal raised.
[[nodiscard]] bool refuse_closed_write(PyObject* obj) noexcept;
[[nodiscard]] inline bool refused_by_span(PyObject* obj) noexcept {
    if (!any_write_span()) [[likely]] return false;
    return refuse_closed_write(obj);
}

}  // namespace vesk::py
