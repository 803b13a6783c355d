// The one walk of a field dictionary in its schema's order, shared by the
// JSON walk of whole trees (walk.cpp) and the object JSON seams
// (json_seams.cpp). They differ only in what becomes of a value, which a
// policy states:
//
//   Step constant(PyObject* key, PyObject* field)   a constant key of the plan
//   int takes_rest(PyObject* wildcard_field)        1 walk the other entries,
//                                                   0 leave them out, -1 error
//   Step entry(PyObject* key, PyObject* value)      any other entry
//
// A key the package's format would misread (marker-like) declines: only the
// package can escape it.
#pragma once

#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/ref.hpp"
#include "symbolic/json/step.hpp"
#include "symbolic/json/wire.hpp"
#include "typing/schema/schema.hpp"

#include <cstddef>

namespace vesk::symbolic::json {

// The entries of `d` that no constant key of `plan` names (every entry,
// without a plan), in storage order. With a plan, a key that is not a str
// declines: each is tested as it is reached, since Python code run before
// (a value walked, a field's hooks) may have added one after the walk's
// first look.
template <class Policy>
[[nodiscard]] Step walk_rest(PyObject* d, const typing::schema::OpenSchemaPlan* plan,
                             Policy& policy) {
    py::DictCursor cursor(d);
    py::Ref key, v;
    for (;;) {
        const int more = cursor.next(key, v);
        if (more <= 0) return more < 0 ? kError : kDone;
        if (plan && !PyUnicode_Check(key.get())) return kDecline;
        if (plan && typing::schema::key_in_plan_consts(plan->index, key.get())) continue;
        if (is_marker_like(key.get())) return kDecline;
        const Step r = policy.entry(key.get(), v.get());
        if (r != kDone) return r;
    }
}

// `d` in the order of an open schema's plan: the constant keys before the
// wildcard, the other entries, then the constant keys after it. A key that
// is not a str declines, whether the other entries are taken or not.
template <class Policy>
[[nodiscard]] Step walk_open(PyObject* d, const typing::schema::OpenSchemaPlan& plan,
                             Policy& policy) {
    {
        py::CriticalSection guard(d);
        PyObject* key;
        PyObject* v;
        Py_ssize_t pos = 0;
        while (PyDict_Next(d, &pos, &key, &v))
            if (!PyUnicode_Check(key)) return kDecline;
    }
    const std::size_t n = plan.const_fields.size();
    const std::size_t split = plan.wildcard_pos < n ? plan.wildcard_pos : n;
    for (std::size_t i = 0; i < split; ++i) {
        const Step r =
            policy.constant(plan.const_entries[i].first.get(), plan.const_fields[i].get());
        if (r != kDone) return r;
    }
    const int rest = policy.takes_rest(plan.wildcard_field.get());
    if (rest < 0) return kError;
    if (rest) {
        const Step r = walk_rest(d, &plan, policy);
        if (r != kDone) return r;
    }
    for (std::size_t i = split; i < n; ++i) {
        const Step r =
            policy.constant(plan.const_entries[i].first.get(), plan.const_fields[i].get());
        if (r != kDone) return r;
    }
    return kDone;
}

}  // namespace vesk::symbolic::json
