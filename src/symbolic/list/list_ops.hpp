// The members of SymList, implemented across this directory and listed in
// the class's tables in list_type.cpp.
//
// Conventions. A SymList's items live in the built-in list storage of the
// instance itself, read and written with the interpreter's list functions
// (never through a Python method of the instance, which a subclass may
// override). Its state (container/state.hpp) is read under a short shared
// hold and written under a short exclusive hold; no hold is kept while
// Python code runs. An item is read with a strong reference under the list's
// lock (py::list_item) and processed after the lock is released; a
// position that vanished meanwhile is an IndexError, never a stale read.
//
// What a write needs of a native List spec (element, bounds, the element's
// FieldMeta) is kept with the list and used only while the typing layer's
// change epoch shows the spec unchanged; otherwise, and for anything else
// stored as the spec, it is read afresh (through Python attributes).
//
// Errors follow the interpreter's convention: null, -1 or false with an
// exception set.
#pragma once

#include "py/args.hpp"
#include "py/maybe_ref.hpp"
#include "py/ref.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claimed.hpp"
#include "symbolic/container/binding.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/write_core.hpp"
#include "typing/applied_members.hpp"
#include "typing/meta_epoch.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace vesk::symbolic::list {

// The parameters of its own Python-visible methods, read by their parsers
// and by the class's tables; those it shares with SymDict are in
// method_params.hpp.
extern py::Params<3> kFormalizedParams;   // _formalized_value
extern py::Params<3> kAssignChildParams;  // _assign_child
extern py::Params<2> kInsertParams;       // insert
extern py::Params<1> kPopParams;          // pop
extern py::Params<2> kSortParams;         // sort

// True or False, borrowed, for an argument list.
[[nodiscard]] inline PyObject* borrowed_bool(bool b) noexcept { return b ? Py_True : Py_False; }

// --- state and spec readings (binding.cpp) -------------------------------------

// What an operation reads of the list's state, in one shared hold. A write
// borrows the spec from its kept facts and the empty path of a root from
// the object bridge (read_view_for_write); anything else is a reference.
struct View {
    py::MaybeRef spec;  // the bound value spec, or null
    py::MaybeRef path;  // the node's path, or null (a blank list)
    py::Ref assign;  // the list's own assign policy, or null
    bool sealed = false;
    bool accessor_writable = true;
    bool allow_partial = false;
    bool wrap = true;
    bool enable_topo = true;
    std::uint32_t binding = 0;  // the state's count of spec replacements
};
[[nodiscard]] bool read_view(PyObject* self, View& out);
// The node's path (null for none).
[[nodiscard]] bool node_path(PyObject* self, py::Ref& out);

// The readings of a bound spec an operation asks for.
enum Reading : unsigned { kElement = 1, kMinSize = 2, kMaxSize = 4 };
struct SpecReadings {
    py::MaybeRef element;                   // the element field, or null
    std::optional<std::int64_t> min_size;   // none without a spec
    std::optional<std::int64_t> max_size;   // none without a bound
};
// Reads `wanted` of `spec` (null: no spec, every reading none).
[[nodiscard]] bool read_spec(PyObject* spec, unsigned wanted, SpecReadings& out);
// What a write of one value reads of the bound spec. Its read section keeps
// the list's facts record, and what a write borrows from it, for as long as
// it lives.
struct WriteReadings {
    typing::field::ReadSection section;  // first: it outlives what is borrowed
    SpecReadings readings;
    // For the value written: whether the element field keeps it as it is
    // (1), must formalize it (0), or no verdict (-1: formalization asks).
    int verdict = -1;
    bool known = false;  // `readings` are read
};
// `read_view` for a write of `value` (null: a deletion, no verdict), with
// the readings and the verdict
// taken from the facts the list keeps about its native List spec
// (ListSpecFacts) when they still hold.
[[nodiscard]] bool read_view_for_write(PyObject* self, PyObject* value, View& view,
                                       WriteReadings& out);
// The readings `wanted` of the bound spec when the facts did not give them:
// read, and kept for a native List spec. Called after the write's gates.
[[nodiscard]] bool complete_readings(PyObject* self, const View& view, unsigned wanted,
                                     WriteReadings& out);

// Whether `spec` is an instance of the native List spec class.
[[nodiscard]] bool is_list_spec(PyObject* spec) noexcept;

// `isinstance(value, insertion_cls)`: 1, 0 or -1 ("list bridge not
// installed" included).
[[nodiscard]] int is_insertion(PyObject* value);

// `value` formalized for the key `key` (a Python int) with the element field
// `element` (null for none).
[[nodiscard]] py::Ref formalized_value(PyObject* self, const View& view, PyObject* element,
                                       PyObject* key, PyObject* value, ClaimedSet* claimed);
// The same for the position `pos`, whose key is made only when needed;
// `kept` (when given) tells that the value was kept as it is without running
// Python code; `verdict` is what `read_for_write` answered for the value
// (-1: none). With `keep`, the adoption is kept there for the caller's
// store (adoption.hpp). An `applied` value has passed the element field (or
// its value spec) already: it is wrapped and adopted, not applied again
// (FormalizeContext::applied). `copied` tells that the value was read from
// another container (AdoptArgs::clone_if_claimed); `inserting`, that it goes
// in before the position (AdoptArgs::inserting).
[[nodiscard]] py::Ref formalized_at(PyObject* self, const View& view, PyObject* element,
                                    Py_ssize_t pos, PyObject* value, bool* kept = nullptr,
                                    int verdict = -1, Adoption* keep = nullptr,
                                    typing::Applied applied = typing::Applied::No,
                                    bool copied = false, bool inserting = false);
// `value` formalized for the position `pos` but not adopted: validated and
// wrapped, for `adopt_at` to adopt once its turn to be stored comes (a
// batch's member).
[[nodiscard]] py::Ref validated_at(PyObject* self, const View& view, PyObject* element,
                                   Py_ssize_t pos, PyObject* value, bool copied, bool inserting);
// Adopts `formal` (from `validated_at`) for the position `pos` into `out`,
// with the operation's claimed set. False with an exception.
[[nodiscard]] bool adopt_at(PyObject* self, const View& view, PyObject* element, Py_ssize_t pos,
                            PyObject* formal, ClaimedSet* claimed, bool copied, bool inserting,
                            Adoption& out);
// Refuses `formal` (from `validated_at`) as `adopt_at` would if it closed a
// cycle at `pos`, adopting nothing. 0 or -1.
[[nodiscard]] int refuse_cycle_at(PyObject* self, const View& view, PyObject* element,
                                  Py_ssize_t pos, PyObject* formal, bool copied, bool inserting);
// `value` adopted under `key` with the member policy.
[[nodiscard]] py::Ref assign_child(PyObject* self, const View& view, PyObject* element,
                                   PyObject* key, PyObject* value, ClaimedSet* claimed);
// `use_value_spec(spec, allow_partial)` natively; 0 or -1.
[[nodiscard]] int use_value_spec(PyObject* self, PyObject* spec, bool allow_partial);
// Binds `spec` (null clears) under an exclusive hold.
[[nodiscard]] inline int bind_spec(PyObject* self, PyObject* spec) {
    return symbolic::bind_spec<ListState>(self, spec);
}

PyObject* py_use_value_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* py_formalized_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* py_assign_child(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* py_custom_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* sym_attr_field(PyObject* self, PyObject* key);
// The `max_size` property: the element field's key's `max_value`.
PyObject* max_size_property(PyObject* self);

// --- construction (construct.cpp, builders.cpp) ----------------------------------

int sym_list_init(PyObject* self, PyObject* args, PyObject* kwds);
// Calls of the class, and of a subclass that keeps its `__new__` and
// `__init__` (py/subclass_call.hpp), made without a tuple or a dict.
PyObject* sym_list_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

// The state a construction starts from: no parent, the given path, spec,
// own policy and flags, unsealed, no change callback.
struct NodeReset {
    PyObject* path = nullptr;
    PyObject* spec = nullptr;
    PyObject* assign = nullptr;
    bool allow_partial = false;
    bool accessor_writable = true;
    bool wrap = true;
    // The origin becomes `origin` (null: none); otherwise it is kept.
    bool set_origin = false;
    py::Ref origin;
};
[[nodiscard]] int reset_node(PyObject* self, NodeReset& reset);

// `cls.__new__(cls)`, which must make a SymList.
[[nodiscard]] py::Ref new_instance(PyObject* cls);
// A new instance of `cls` holding the items of the raw list `raw`, bound to
// `spec` (null for none) without applying it, its non-primitive items
// adopted; the node's parent is `parent` (null for none).
[[nodiscard]] py::Ref wrap_list(PyObject* cls, PyObject* raw, PyObject* spec,
                                bool allow_partial, PyObject* path, PyObject* parent);
PyObject* clone_if_primitive(PyObject* self);
// `copy()`: the class called with the raw items, the spec and "adopt".
PyObject* copy(PyObject* self);

// --- writes (writes.cpp) ------------------------------------------------------------

// The effective sealed flag: the thread's scope, else the node's own (both
// gates at once: effective_gates in container/gates.hpp).
[[nodiscard]] bool sealed_now(const View& view) noexcept;
// Raises what the bridge's `write_permission_error` makes of `text`
// (located at the list's path when `locate`). Returns -1.
int refuse(const View& view, const char* text, bool locate);

// Hands the updates of one operation (a list, maybe empty) to
// `_notify_field_updates`, unless the thread's change-notification scope is
// an explicit False. 0 or -1.
[[nodiscard]] int notify(PyObject* self, PyObject* updates);
// The same for one update (null: nothing happened).
[[nodiscard]] int notify_one(PyObject* self, const py::Ref& update);

// How a formal value enters the storage.
enum class Store : unsigned char { Append, Insert, Replace };
// The rooms under the size bound that a write adding several items (a
// batch's appends and insertions) keeps for them: taken where its first
// item lands, for all of them at once, and counted on the list
// (`rooms_kept`), so that another thread's addition meanwhile finds the list
// as the write will leave it; each later item lands in a room kept for it.
// So the bound never refuses such a write once one of its items stands.
struct Rooms {
    Py_ssize_t counted = 0;  // what the bound counts (`extend`: every item given)
    Py_ssize_t added = 0;    // how many items the write adds
    Py_ssize_t kept = 0;     // the rooms held now for those still to land
    bool taken = false;      // the first item has landed
    bool extending = false;  // a refusal names `extend`'s count
};
// Gives back the rooms a write still keeps (its items that did not land).
void release_rooms(PyObject* self, Rooms& rooms) noexcept;
struct Placed {
    Store how = Store::Append;
    Py_ssize_t pos = 0;      // the position the value was formalized for
    std::int64_t key = 0;    // the index in the caller's form, for the update
    py::Ref occupant;        // Replace: what the write read (and claimed) there
    // Replace: a position gone by the store (the list shrank meanwhile) is
    // an append, as the write would have been had it come after the
    // shrinking; else the assignment's IndexError.
    bool append_if_gone = false;
    // Append: the index past the end the caller gave (-1: none, or an
    // insertion), which a list grown by the store may reach: the write then
    // replaces there, as it would have after the list grew.
    std::int64_t asked = -1;
    // Append or insertion: the count of spec replacements the write's view
    // read, checked where the value is added (none: not checked).
    std::optional<std::uint32_t> binding{};
    // Replace: the store goes over the occupant the write claimed, wherever
    // it has moved since (SlotKey::follow: a single index write, whose
    // position, from the end too, is resolved where it claims it); else over
    // what holds the position then (a batch's writes, whose insertions go by
    // index too).
    bool follow = false;
    // Insert: the write holds the list's order as moving it (claim.hpp). One
    // whose index was at or past the end as it began claims what an append
    // claims, and the order only should the list have grown past its index
    // by its store.
    bool moving = false;
    // Append or insertion of a write adding several items: the rooms it keeps
    // (null: the item is checked against the bound alone).
    Rooms* rooms = nullptr;
};
// Whether a non-primitive `value` has one place in a tree, which a write
// claims and finds by identity: a symbolic or topology-aware value (a plain
// one, an enum member or a tuple, may sit at several). 1, 0 or -1.
[[nodiscard]] int has_one_place(PyObject* value);
// The slot of position `pos`, whose key (`pos` as an int) names it in paths.
[[nodiscard]] WriteSlot slot_at(PyObject* self, Py_ssize_t pos, PyObject* key);
// Claims the list's tree for a write into it that may run Python code
// before its store (claim.hpp: the list directly, which a sort meets), then
// checks the marks: a write that meets a sort, another thread's element pass
// or a construction's span is refused before its first effect. 0 or -1.
[[nodiscard]] int claim_list(ClaimScope& scope, PyObject* self);
// Claims the list's positions (claim.hpp), counted on the list. 0 or -1.
[[nodiscard]] int claim_positions(ClaimScope& scope, PyObject* self);
// Claims them for a write of `value` over one position that may have to
// take its store back after Python code ran: where the value is one it
// cannot find by identity again (it keeps no tree), it takes it back by
// position, so no item may move meanwhile. Sets `positions` when it claims
// them. 0 or -1.
[[nodiscard]] int claim_positions_for(ClaimScope& scope, PyObject* self, PyObject* value,
                                      bool& positions);
// After `claim_list`: claims the position `at.pos` and what it holds there,
// which it reads into `at.occupant` (write_core.hpp), the occupant still
// there once claimed (null: past the end). An index from the end (`at.key`
// negative) is resolved with that read, against the length the list has
// then, into `at.pos`. The list's positions (claim.hpp) are claimed where
// the occupant is one the write cannot find by identity, unless the caller
// holds them already (`positions`). 0 or -1.
[[nodiscard]] int claim_position(ClaimScope& scope, PyObject* self, Placed& at,
                                 bool positions = false);

// What one store changed in the list: the value it stored at `pos`, and
// what that replaced there (null: the value was added). Kept by a batch
// write until all its stores stand.
struct StoredItem {
    py::Ref value;
    py::Ref replaced;
    Py_ssize_t pos = 0;
    bool let_go = true;  // the write let go of what it replaced (or began to)
    // The write failed, but what it replaced would not come back: the store
    // stands all the same (`unstore`).
    bool stands = false;
};
// Takes a stored value out of the list again (where it is now: at its
// position, else, for a value that keeps a tree, wherever it has moved),
// putting back what it replaced once that has taken the list as its parent
// again. Keeps the pending exception. False when what it replaced will not
// come back (its hook refused, or placed it elsewhere): the store then
// stands, and the value with it.
[[nodiscard]] bool unstore(PyObject* self, const StoredItem& item) noexcept;

// Stores the formal value `adopted.value` as `at` says and makes its field
// update (null when the position already holds it). A replacement is the
// keyed write (write_core.hpp) over the occupant the write claimed: the item
// it replaced is detached and reported. An added item takes its index under
// the list's lock, where the bound `max_size` (null: none) is checked again;
// an item that lands elsewhere than it was formalized for is re-pathed where
// it is, and its update names that index. `fresh_path` is the list's path
// when the caller ran no Python code since reading it (null: read it
// again). A failure before the store stands (an item that will not be let
// go, or one that will not be re-pathed where it landed, included) undoes
// it and the adoption; what a store that stands
// changed is told in `done` (when given), also when making its update fails
// after it. Runs in the write's claim scope.
[[nodiscard]] int store(PyObject* self, PyObject* element, const Placed& at, Adoption& adopted,
                        const std::int64_t* max_size, py::Ref& update,
                        const py::MaybeRef* fresh_path = nullptr, StoredItem* done = nullptr);

// The core write (`_set_item_without_permission_check`): `value` written at
// `index`; `inserting` says that `value` came out of an insertion marker.
// `verdict` is what `read_for_write` answered for `value` (-1: none);
// `max_size` the bound an added item is checked against at its store (null:
// none); `applied` what the spec engine applied `value` through, when it
// writes it back (formalized_at). The field update in `update`
// (null for a no-op); never notifies. What a store that stands changed is
// told in `done` (when given). `ranged`: the caller checked `index` against
// the list's length (an item assignment), and one the list no longer
// reaches when the write begins is the assignment's IndexError, never an
// append.
[[nodiscard]] int core_write(PyObject* self, const View& view, PyObject* element,
                             std::int64_t index, PyObject* value, bool inserting,
                             py::Ref& update, int verdict = -1,
                             const std::int64_t* max_size = nullptr,
                             typing::Applied applied = typing::Applied::No,
                             bool append_if_gone = false, StoredItem* done = nullptr,
                             bool ranged = false);

enum class Tail : unsigned char { Error, Moved, Done };
// The delete tail: removes the item at `index` (negative from the end the
// list has then) when it still holds `expected` (any item when `expected`
// is null), in one critical section with the sort's mark and the
// minimum-size floor, then notifies one update keyed `key`. Moved: the item
// is no longer there and nothing happened; the caller starts again. An
// index out of range without `expected` is the IndexError `out_of_range`.
// A symbolic `expected` is claimed first, in the caller's claim scope.
[[nodiscard]] Tail delete_tail(PyObject* self, const SpecReadings& readings, std::int64_t key,
                               std::int64_t index, PyObject* expected,
                               const char* out_of_range);

PyObject* py_set_item_without_permission_check(PyObject* self, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames);
PyObject* py_delete_and_notify(PyObject* self, PyObject* i);

// --- item assignment and deletion (assign.cpp) -------------------------------------------

int ass_subscript(PyObject* self, PyObject* key, PyObject* value);
// One operation's writes: every value validated before the first store,
// then each adopted and stored in turn, so that each finds the list as the
// writes before it left it (a value given twice is held by the list the
// second time, as two single writes would find it); `max_size` (null:
// none) is checked where its first added item lands, for all of them. 0 or
// -1.
struct Batch {
    std::vector<Placed> at;
    std::vector<py::Ref> values;  // raw
    bool copied = false;          // read from another container (`extend`)
    bool positions = false;       // the caller holds the list's positions
    // The items the size bound counts where the first added value lands
    // (Rooms): `extend`'s every item given; -1 for the values added.
    Py_ssize_t counted = -1;
    // The values as the caller was given them, a list (borrowed; null:
    // none): what the element field's applies change of them, or of what
    // they hold, is given back should the batch fail.
    PyObject* given = nullptr;
};
[[nodiscard]] int write_batch(PyObject* self, const View& view, PyObject* element, Batch& batch,
                              const std::int64_t* max_size = nullptr);

// --- mutators (mutators.cpp) --------------------------------------------------------------

PyObject* append(PyObject* self, PyObject* value);
PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* extend(PyObject* self, PyObject* other);
PyObject* pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remove(PyObject* self, PyObject* value);
PyObject* clear(PyObject* self);
PyObject* sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* reverse(PyObject* self);
PyObject* multiply(PyObject* a, PyObject* b);
PyObject* add(PyObject* a, PyObject* b);

// --- reads (reads.cpp) ----------------------------------------------------------------------

// The user-facing form of a stored item: what its `infer()` answers when it
// is inferential, else the item.
[[nodiscard]] py::Ref resolve(py::Ref stored);
// The raw items, one atomic copy of the storage.
[[nodiscard]] py::Ref raw_items(PyObject* self);

PyObject* subscript(PyObject* self, PyObject* key);
PyObject* iter(PyObject* self);
PyObject* sym_keys(PyObject* self);
PyObject* sym_values(PyObject* self);
PyObject* sym_items(PyObject* self);
PyObject* sym_hasattr(PyObject* self, PyObject* key);
PyObject* sym_getattr(PyObject* self, PyObject* key);

}  // namespace vesk::symbolic::list
