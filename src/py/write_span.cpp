#include "py/write_span.hpp"

#include "py/borrow.hpp"

namespace vesk::py {

namespace detail {
[[gnu::tls_model("initial-exec")]] constinit thread_local WriteSpan* t_write_spans = nullptr;
}  // namespace detail

bool refuse_closed_write(PyObject* obj) noexcept {
    const WriteSpan* span = WriteSpan::of(obj);
    if (!span || !span->closed()) return false;
    raise_claim_refused();
    return true;
}

}  // namespace vesk::py
