// The JSON copy of one field value of an object, for the object JSON
// seams: a wire primitive travels as it is, an exact list or dict of such
// values (nested; a dict's keys wire primitives too) is deep-copied, and
// anything else makes the seam decline so that the package's own loop
// decides.
//
// Each container is copied in one step under its own lock, and the copy is
// what gets checked and converted further: a value or key that another
// thread inserts meanwhile is either in the copy, and checked, or not at
// all. A container met twice within one object (shared by two fields, or
// reached through a cycle) declines, since the package writes such values
// once and refers to them after; so does nesting beyond a fixed depth.
#pragma once

#include "py/ref.hpp"
#include "symbolic/json/step.hpp"

#include <unordered_set>
#include <vector>

namespace vesk::symbolic::json {

class JsonCopy {
public:

    // Deeper nesting declines (the package's own loop then decides).
    static constexpr int kMaxDepth = 256;

    // The copy of `v` in `out`: kDone, kDecline (nothing set) or kError.
    [[nodiscard]] Step value(PyObject* v, py::Ref& out);
    // Stores the copy of `v` under `key` in the dict `json`.
    [[nodiscard]] Step emit(PyObject* json, PyObject* key, PyObject* v);

private:
    [[nodiscard]] Step list(PyObject* v, py::Ref& out);
    [[nodiscard]] Step dict(PyObject* v, py::Ref& out);
    [[nodiscard]] bool first_visit(PyObject* container);

    std::unordered_set<PyObject*> seen_;
    std::vector<py::Ref> keep_;  // the visited containers stay alive, so no identity is reused
    int depth_ = 0;
};

// Whether a value of JSON input can be handed to a class's constructor as
// it is: wire primitives and bytes, and exact lists and dicts of such
// values that hold no marker the package would convert. Containers met
// twice, and nesting beyond a fixed depth, answer no: only the package's
// own conversion handles those.
class PlainJsonTest {
public:
    static constexpr int kMaxDepth = 256;

    // 1 plain, 0 not, -1 with an exception (a comparison that raised).
    [[nodiscard]] int child(PyObject* v);
    // Records `container` as met; false when it was met before.
    [[nodiscard]] bool first_visit(PyObject* container);

private:
    [[nodiscard]] int list(PyObject* v);
    [[nodiscard]] int dict(PyObject* v);

    std::unordered_set<PyObject*> seen_;
    std::vector<py::Ref> keep_;
    int depth_ = 0;
};

}  // namespace vesk::symbolic::json
