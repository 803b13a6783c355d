// FieldMeta: the compiled classification of one field that the fast
// acceptance paths read instead of the field's attributes: which values are
// accepted unchanged, which are checked by one spec, which are widened, and
// the facts about defaults and storage a missing key needs.
//
// Ownership and immutability. A record is built once from a field and its
// value spec, then shared by reference count (`FieldMetaRef`) and never
// changed: every list and object in it is fixed at construction, so any
// thread holding a reference reads it without a lock. A native Field caches
// one record and drops it on every change that feeds it; holders of an older
// record keep using theirs. Dropping the last reference releases the Python
// objects it holds, so it must happen on a thread attached to the
// interpreter, never under a lock that Python code could also want.
//
// Errors follow the interpreter's convention: a null FieldMetaRef means an
// exception is set.
#pragma once

#include "py/ref.hpp"
#include "typing/tri.hpp"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace vesk::typing::field {

using typing::Tri;
using typing::tri_object;

struct FieldMeta {
    // A value whose class is exactly one of these is accepted unchanged.
    std::vector<py::Ref> exact;
    // (class, spec): a value of exactly that class is checked by the spec's
    // `_validate`, then accepted unchanged. At most one pair per class.
    std::vector<std::pair<py::Ref, py::Ref>> checked;
    // Classes of the Object candidates: accepted unchanged unless partial
    // values are refused and the value is partial.
    std::vector<py::Ref> subclass;
    py::Ref const_text;  // the key's text for a constant key, else None
    py::Ref value_spec;
    bool validate = false;
    bool accept_any = false;
    bool widen_to_float = false;
    bool wrap = false;
    bool custom_apply = false;
    bool default_carries_missing = false;
    bool has_default = false;
    bool frozen = false;
    bool scalar_elements = false;
    Tri symbolic = Tri::Unset;
    // Distinct for every record built in the process: tells a rebuilt record
    // from the one it replaced, whatever memory they occupy.
    std::uint64_t serial = 0;
    // The change epoch (change_epoch.hpp) read before the build: while it
    // still reads this, no spec the record was compiled from has changed,
    // in place or otherwise.
    std::uint64_t epoch = 0;

    // Hands every reference the record holds to `v`, for the cycle
    // collector of the record's sole holder (py::SharedRecord).
    template <class V>
    void visit(V&& v) const {
        for (const py::Ref& c : exact) v(c);
        for (const auto& [cls, spec] : checked) {
            v(cls);
            v(spec);
        }
        for (const py::Ref& c : subclass) v(c);
        v(const_text);
        v(value_spec);
    }
};

using FieldMetaRef = std::shared_ptr<const FieldMeta>;

// Compiles the record of `field` (any field object, read through its Python
// attributes `enable_validation`, `default_value` and `validator`) whose value
// spec is `value_spec` and whose key's `const_text` is `const_text`.
[[nodiscard]] FieldMetaRef build_field_meta(PyObject* const_text, PyObject* field,
                                            PyObject* value_spec);

// Whether `value` holds a missing value (an instance of the typing bridge's
// `missing_type`) at some depth of nested dict values, list and tuple items.
// Each container is scanned once however often it is reached, and the walk
// keeps its own stack, so a default that contains itself or nests very deep
// is answered. Returns 1, 0, or -1 with an exception set.
[[nodiscard]] int default_carries_missing(PyObject* value);

}  // namespace vesk::typing::field
