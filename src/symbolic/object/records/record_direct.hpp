// The record `tp_init`'s direct road: a record of a compiled class
// (record_compiled.hpp) built from its keyword arguments without the init
// schema's dictionary in between. Each keyword value goes through the same
// per-value step as the schema's construct validation (the acceptance
// funnel, then the field's own apply for whatever the funnel leaves), in
// the schema's field order, into a buffer; missing fields get their
// defaults the same way; the values then go straight into the cells.
//
// The road gives the record, the errors and the calls of the long road
// (record_construct.cpp) exactly. It decides whether it may run before it
// does anything that can be seen: it declines, and the long road runs,
// when the class changed since it compiled, the schema or a field dropped
// its metadata, allow_partial is in effect, or a keyword is not an exact
// str naming an init field (an unexpected keyword is reported, or dropped,
// by the long road).
//
// Two costs of the long road are skipped only where they cannot matter:
// the child transform is made only when a value or default may reach it
// (values the funnel claims never do), and a record whose written cells
// all hold primitives is not read back for adoption.
#pragma once

#include "py/ref.hpp"
#include "symbolic/object/records/record_meta.hpp"

#ifdef VESK_TEST_SEAMS
#include <atomic>
#include <cstdint>
#endif

namespace vesk::symbolic::object {

// 1 when the record was built, 0 when the road declined (nothing done),
// -1 with an exception set. `kwargs` is null or a dict without the control
// keywords; `sealed` is the effective one.
[[nodiscard]] int record_init_direct(PyObject* self, const RecordFacts& facts, PyObject* kwargs,
                                     bool allow_partial, bool sealed, PyObject* root_path);

#ifdef VESK_TEST_SEAMS
// Test-only: turns the direct road off (every record built the long way),
// and counts the records it built.
inline std::atomic<bool> RECORD_DIRECT_OFF{false};
inline std::atomic<std::uint64_t> RECORD_DIRECT_BUILT{0};
#endif

}  // namespace vesk::symbolic::object
