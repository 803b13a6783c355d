// The members of SymDict, implemented across this directory and listed in
// the class's tables in dict_type.cpp.
//
// Conventions. A SymDict's entries live in the built-in dict storage of the
// instance itself, read and written with the interpreter's dictionary
// functions (never through a Python method of the instance). Its state
// (container/state.hpp) is read under a short shared hold and written under
// a short exclusive hold; no hold is kept while Python code runs. Loops over
// a dictionary that run Python code per entry read one entry at a time under
// its lock (py::DictCursor) and process it after the lock is released.
//
// Errors follow the interpreter's convention: null, -1 or false with an
// exception set.
#pragma once

#include "py/args.hpp"
#include "py/ref.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/claimed.hpp"
#include "symbolic/container/binding.hpp"
#include "symbolic/container/dict_reads.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/formalize.hpp"

#include <optional>

namespace vesk::symbolic::dict {

// The parameters of its own Python-visible methods, read by their parsers
// and by the class's tables; those it shares with SymList are in
// method_params.hpp.
extern py::Params<4> kFormalizedParams;        // _formalized_value
extern py::Params<5> kFormalizedAssignParams;  // _formalized_value_with_assign
extern py::Params<3> kAssignChildParams;       // _assign_child
extern py::Params<2> kFusedParams;             // try_fused_schemaful_construct
extern py::Params<3> kSinglePassParams;        // try_single_pass_schemaful_construct
extern py::Params<2> kGetParams;               // get

// --- state reads (binding.cpp) ------------------------------------------------

// The bound spec's `schema` in `out` (null when no spec is bound or it is
// None). 0, or -1 when reading it failed.
[[nodiscard]] int bound_schema(PyObject* self, py::Ref& out);
// The same, but a failed read counts as no schema (the policy lookups):
// `policy_schema(spec)`, declared in container/dict_reads.hpp.
// The node's path (null for none), read under a shared hold; false when
// the dictionary is held for a write.
[[nodiscard]] bool node_path(PyObject* self, py::Ref& out);
// Whether `spec` is an instance of the native Dict spec class.
[[nodiscard]] bool is_dict_spec(PyObject* spec) noexcept;

// The formalize context of the dictionary; `assign_override` (a str, or
// null) replaces its default assign policy.
[[nodiscard]] bool make_context(PyObject* self, PyObject* assign_override,
                                FormalizeContext& ctx);
// `_formalized_value` / `_formalized_value_with_assign`; `field` null for none.
// With `keep`, the adoption is kept there for the caller's store. An
// `applied` value has passed its field (or its value spec) already: it is
// wrapped and adopted, not applied again (FormalizeContext::applied).
[[nodiscard]] py::Ref formalized_value(PyObject* self, PyObject* key, PyObject* field,
                                       PyObject* value, ClaimedSet* claimed,
                                       PyObject* assign_override, Adoption* keep = nullptr,
                                       typing::Applied applied = typing::Applied::No);
// `_assign_child`: `value` adopted under `key` with its field's policy.
[[nodiscard]] py::Ref assign_child(PyObject* self, PyObject* key, PyObject* value,
                                   ClaimedSet* claimed);
// `use_value_spec(spec, allow_partial)`; 0 or -1.
[[nodiscard]] int use_value_spec(PyObject* self, PyObject* spec, bool allow_partial);
// Binds `spec` (null clears) under an exclusive hold.
[[nodiscard]] inline int bind_spec(PyObject* self, PyObject* spec) {
    return symbolic::bind_spec<DictState>(self, spec);
}

PyObject* py_use_value_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* py_formalized_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* py_formalized_value_with_assign(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_assign_child(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* py_custom_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// --- construction (construct.cpp, schema_roads.cpp) ----------------------------

enum class Mode : unsigned char {
    Formalize = 0,    // members validated, wrapped and adopted
    PassThrough = 1,  // members adopted as they are
    Raw = 2,          // members stored as they are
};

struct ConstructOptions {
    PyObject* assign = nullptr;  // a str, or null
    PyObject* onchange_callback = nullptr;
    PyObject* root_path = nullptr;
    PyObject* clone_owner = nullptr;  // null: the dictionary itself
    PyObject* parent = nullptr;
    bool allow_partial = false;
    bool sealed = false;
    bool accessor_writable = true;
    bool as_object_attributes_container = false;
    bool wrap = true;
    bool enable_topo = true;
    bool parent_set_by_caller = false;
    // The items are the caller's own dict, not a copy made for this
    // construction: a copy is taken before any road that may run Python
    // code while it reads them.
    bool items_borrowed = false;
    Mode mode = Mode::Formalize;
};

// Whether the dictionary has been constructed before (it has a path), so
// that other threads may reach it.
[[nodiscard]] bool is_live(PyObject* self) noexcept;

// The dictionary held whole by an operation that rebinds and refills it (a
// construction run again, the two schema-ful builders), as `use_value_spec`
// and a spec's pass hold it: claimed exclusively (in the caller's claim
// scope when one is open) and marked (container/sorting.hpp), so that a
// write of another thread, plain ones included, fails at once with the
// borrow refusal while it runs, and so does a write of its own thread that
// is not the spec's apply writing a member back. Refused while a pass or
// another such operation holds the dictionary, on any thread.
class WholeHold {
public:
    WholeHold() noexcept = default;
    ~WholeHold();
    WholeHold(const WholeHold&) = delete;
    WholeHold& operator=(const WholeHold&) = delete;

    // 0, or -1 with the refusal.
    [[nodiscard]] int hold(PyObject* self);

private:
    std::optional<ClaimScope> claims_;
    py::Ref marked_;  // marked by this hold
};

// Fills the dictionary from `items` (a plain dict) under `spec` (null for
// none). Nothing is rolled back on failure.
[[nodiscard]] int construct_into(PyObject* self, PyObject* items, PyObject* spec,
                                 const ConstructOptions& options);

// `__init__`.
int sym_dict_init(PyObject* self, PyObject* args, PyObject* kwds);
// Calls of the class, and of a subclass that keeps its `__new__` and
// `__init__` (py/subclass_call.hpp), made without a tuple or a dict.
PyObject* sym_dict_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

// The two schema-ful roads: 1 when the dictionary was filled and the spec
// bound, 0 when the road declined (nothing written), -1 on error.
[[nodiscard]] int try_fused(PyObject* self, PyObject* spec, PyObject* items);
[[nodiscard]] int try_single_pass(PyObject* self, PyObject* spec, PyObject* items,
                                  ClaimedSet* claimed);
PyObject* py_try_fused(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* py_try_single_pass(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// --- builders (builders.cpp) -----------------------------------------------------

// A new instance of `cls` holding the entries of the raw dict `raw`, bound to
// `spec` without applying it, its non-primitive members adopted.
[[nodiscard]] py::Ref wrap_dict(PyObject* cls, PyObject* raw, PyObject* spec,
                                bool allow_partial, PyObject* path, PyObject* parent);

struct ObjectAttributesArgs {
    PyObject* entries = nullptr;  // a dict
    PyObject* spec = nullptr;     // null for none
    bool allow_partial = false;
    bool sealed = false;
    bool enable_topo = true;
    PyObject* root_path = nullptr;
    bool raw = false;
    PyObject* owner = nullptr;
    PyObject* parent = nullptr;
    bool parent_set_by_caller = false;
};
// How a view of an object's or record's fields takes its members: adopting
// them (`build_object_attributes`), or as they sit (`read_object_attributes`).
enum class Members : unsigned char { Adopted, AsTheySit };
// A new instance of the object bridge's `dict_cls` holding an object's
// fields; its children get the object (`parent`) as parent.
[[nodiscard]] py::Ref build_object_attributes(const ObjectAttributesArgs& args);
// The same instance made of the members as they sit, where adopting each
// would leave it as it is (symbolic/in_place.hpp): stored raw, claiming
// nothing, calling no member's hook and, sealed, sealing none of them
// again. Null without an exception when a
// member would be placed, cloned, refused or stamped: the caller makes the
// instance by `build_object_attributes` under its claims instead.
[[nodiscard]] py::Ref read_object_attributes(const ObjectAttributesArgs& args);

PyObject* clone_if_primitive(PyObject* self);

// --- keys and raw accessors (key_order.cpp) ---------------------------------------

// The keys in schema order: the constant keys present, in the schema's
// order, then every other key in storage order.
[[nodiscard]] py::Ref schema_key_order(PyObject* self, PyObject* schema);
// `items_list(self)`, the (key, value) pairs in the dictionary's symbolic
// order: container/dict_reads.hpp.

PyObject* sym_keys(PyObject* self);
PyObject* sym_values(PyObject* self);
PyObject* sym_items(PyObject* self);

// --- writes (writes.cpp) -----------------------------------------------------------

// The item write and delete slot (`value` null deletes).
int ass_subscript(PyObject* self, PyObject* key, PyObject* value);
// The core item write: the field update in `update` (null for a no-op).
// Its claims go to `scope`, which the caller keeps to the write's end.
[[nodiscard]] int set_item_core(PyObject* self, PyObject* key, PyObject* value,
                                ClaimScope& scope, py::Ref& update);
PyObject* py_set_item_without_permission_check(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames);
// `notify` and `unstore`, which a pass's log calls: container/pass_log.hpp.

// --- reads (reads.cpp) ---------------------------------------------------------------

PyObject* subscript(PyObject* self, PyObject* key);
PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* getattro(PyObject* self, PyObject* name);
PyObject* sym_hasattr(PyObject* self, PyObject* key);
PyObject* sym_getattr(PyObject* self, PyObject* key);

}  // namespace vesk::symbolic::dict
