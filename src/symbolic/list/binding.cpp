// SymList value-spec binding and the entry points onto member formalization
// and adoption: the state view, the readings of the bound spec, the location
// of messages, the insertion test, `use_value_spec`, `custom_apply`,
// `_formalized_value`, `_assign_child` and `sym_attr_field`.
#include "symbolic/list/list_ops.hpp"

#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/layout.hpp"
#include "py/named.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/refusal.hpp"
#include "symbolic/shortcuts.hpp"
#include "typing/change_epoch.hpp"
#include "typing/field/field.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "typing/value_spec/kinds.hpp"

#include <memory>
#include <vector>

namespace vesk::symbolic::list {

py::Params<3> kFormalizedParams{"_formalized_value", {"idx", "value", "seen=None"}, 3, 2};
py::Params<3> kAssignChildParams{"_assign_child", {"idx", "value", "seen=None"}, 3, 2};

namespace {

// The readings of a native List spec, from its payload under its shared
// hold (the class is final, so no override could answer otherwise): 1 read,
// 0 not a native List, -1 with "Already mutably borrowed".
int native_readings(PyObject* spec, SpecReadings& out) {
    PyTypeObject* type = typing::list_type();
    if (!type) return -1;
    if (Py_TYPE(spec) != type) return 0;
    py::Shared<typing::SpecEngine> held(spec);
    if (!held) return -1;
    const auto* payload = typing::kind_as<typing::ListKind>(held->kind);
    if (!payload) return 0;
    out.element = payload->element_field;
    out.min_size = payload->min_size;
    out.max_size = payload->max_size;
    return 1;
}

// An optional size read from `obj.Name`: None gives none.
template <py::Literal Name>
bool attr_size(PyObject* obj, std::optional<std::int64_t>& out) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return false;
    out.reset();
    if (value.get() == Py_None) return true;
    std::int64_t n = 0;
    if (!py::arg_i64(Name.text, value.get(), n)) return false;
    out = n;
    return true;
}

// The readings of any other object stored as the spec, through its Python
// attributes; only the wanted ones are read.
bool python_readings(PyObject* spec, unsigned wanted, SpecReadings& out) {
    if (wanted & (kElement | kMaxSize)) {
        out.element = py::get_attr<"element">(spec);
        if (!out.element) return false;
        if (out.element.get() == Py_None) out.element.reset();
    }
    if ((wanted & kMinSize) && !attr_size<"min_size">(spec, out.min_size)) return false;
    if ((wanted & kMaxSize) && out.element) {
        py::Ref key = py::get_attr<"key">(out.element.get());
        if (!key || !attr_size<"max_value">(key.get(), out.max_size)) return false;
    }
    return true;
}

ClaimedSet* claimed_of(std::optional<ClaimedSet>& seen) { return seen ? &*seen : nullptr; }

// The view and the element field an entry point works with.
bool view_and_element(PyObject* self, View& view, SpecReadings& readings) {
    return read_view(self, view) && read_spec(view.spec.get(), kElement, readings);
}

}  // namespace

namespace {

// The view of `s`, whose spec and path the caller chose to borrow or not.
void copy_view(const ListState& s, View& out, py::MaybeRef spec, py::MaybeRef path) {
    out.spec = std::move(spec);
    out.path = std::move(path);
    out.assign = s.assign;
    out.sealed = s.node.sealed;
    out.accessor_writable = s.node.accessor_writable;
    out.allow_partial = s.node.allow_partial;
    out.wrap = s.wrap;
    out.enable_topo = s.enable_topo;
    out.binding = s.binding();
}

// The element's verdict on `value` as the kept facts tell it.
int verdict_of(const ListSpecFacts& facts, PyObject* value) {
    if (!is_primitive(value)) return 0;
    if (!facts.element) return 1;
    return facts.element_meta ? meta_keeps(*facts.element_meta, value) : -1;
}

// Publishes the readings of the native List `spec`, derived after the
// change epoch read `epoch`, for the writes that follow. Keeping them is
// never the write's failure: an element record that cannot be had now is
// left to the write's own formalization, which reports it as before.
void keep_facts(PyObject* self, PyObject* spec, std::uint64_t epoch,
                const SpecReadings& readings) {
    ListFactsSlot& slot = py::state<ListState>(self).spec_facts;
    const std::uint64_t generation = slot.generation();
    auto fresh = std::make_shared<ListSpecFacts>();
    fresh->epoch = epoch;
    fresh->spec = py::Ref::borrow(spec);
    fresh->element = readings.element.ref();
    fresh->min_size = readings.min_size;
    fresh->max_size = readings.max_size;
    if (readings.element && typing::field::is_field(readings.element.get())) {
        fresh->element_meta = typing::field::current_field_meta(readings.element.get());
        if (!fresh->element_meta) {
            PyErr_Clear();
            return;
        }
    }
    (void)slot.store(fresh, generation);
}

}  // namespace

bool read_view(PyObject* self, View& out) {
    py::Shared<ListState> held(self);
    if (!held) return false;
    copy_view(*held, out, py::MaybeRef(held->value_spec), py::MaybeRef(held->node.path));
    return true;
}

bool read_view_for_write(PyObject* self, PyObject* value, View& view, WriteReadings& out) {
    if (refused_at_entry(self)) return false;
    out.readings = SpecReadings{};
    out.verdict = -1;
    out.known = false;
    const ContainerBridge* b = container_bridge();
    if (!b) return false;
    py::Shared<ListState> held(self);
    if (!held) return false;
    const ListState& s = *held;
    // Read in place, within the write's read section.
    const ListSpecFacts* facts = s.spec_facts.peek();
    const bool current = s.value_spec && facts && facts->spec.get() == s.value_spec.get() &&
                         facts->epoch == typing::change_epoch();
    // The spec is borrowed from current facts, and the shared empty path of
    // every root from the bridge, which keeps it for good.
    PyObject* path = s.node.path.get();
    copy_view(s, view,
              current ? py::MaybeRef::borrowed(facts->spec.get()) : py::MaybeRef(s.value_spec),
              path == b->empty_key_path.get() ? py::MaybeRef::borrowed(path)
                                              : py::MaybeRef(s.node.path));
    if (current) {
        out.readings.element = py::MaybeRef::borrowed(facts->element.get());
        out.readings.min_size = facts->min_size;
        out.readings.max_size = facts->max_size;
        // The test runs no Python code.
        out.verdict = value ? verdict_of(*facts, value) : -1;
        out.known = true;
    }
    return true;
}

bool complete_readings(PyObject* self, const View& view, unsigned wanted, WriteReadings& out) {
    if (out.known) return true;
    out.known = true;
    PyObject* spec = view.spec.get();
    if (!spec) return true;
    PyTypeObject* native_list = typing::list_type();
    if (!native_list) return false;
    if (Py_TYPE(spec) != native_list) return read_spec(spec, wanted, out.readings);
    // Read before the readings, so a change while they are taken makes
    // the kept facts stale at once.
    const std::uint64_t epoch = typing::change_epoch();
    if (!read_spec(spec, wanted, out.readings)) return false;
    keep_facts(self, spec, epoch, out.readings);
    return true;
}

bool node_path(PyObject* self, py::Ref& out) {
    // A write reads the path again after its store, to name it: another
    // thread's momentary hold of the state (a flag set) is waited out.
    return properties::read_ref_past_holds<ListState, properties::RefField::Path>(self, out) == 0;
}

bool read_spec(PyObject* spec, unsigned wanted, SpecReadings& out) {
    out = SpecReadings{};
    if (!spec) return true;
    const int native = native_readings(spec, out);
    if (native != 0) return native > 0;
    return python_readings(spec, wanted, out);
}

bool is_list_spec(PyObject* spec) noexcept {
    PyTypeObject* type = typing::list_type();
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(spec, type);
}

int is_insertion(PyObject* value) {
    const ListBridge* b = list_bridge();
    if (!b) return -1;
    PyObject* cls = b->insertion_cls.get();
    // A primitive's class is final and answers `__class__` as itself, so
    // against a class without a metaclass of its own the subtype test is
    // the whole answer (`isinstance` would also look up `__class__`), and
    // mostly taken already as the bridge was installed.
    if (is_primitive(value) && PyType_CheckExact(cls))
        return b->marks_primitives &&
               PyType_IsSubtype(Py_TYPE(value), reinterpret_cast<PyTypeObject*>(cls));
    return PyObject_IsInstance(value, cls);
}

namespace {

// 1 when `value` is a primitive that no field checks or that its field
// keeps as it is (no context needed), 0 when it must be formalized, -1.
int kept_as_is(PyObject* element, PyObject* value) {
    if (!is_primitive(value)) return 0;
    return element ? native_field_keeps(element, value, true) : 1;
}

FormalizeContext list_context(PyObject* self, const View& view, typing::Applied applied,
                              bool copied, bool inserting) {
    FormalizeContext ctx;
    ctx.clone_if_claimed = copied;
    ctx.inserting = inserting;
    ctx.assign = view.assign;
    ctx.container = self;
    ctx.parent_to_set = py::Ref::borrow(self);
    ctx.path = view.path.ref();
    ctx.enable_topo = view.enable_topo;
    ctx.effective_allow_partial = effective_flag_allow_partial(view.allow_partial);
    ctx.own_allow_partial = view.allow_partial;
    ctx.wrap = view.wrap;
    ctx.auto_wrap = auto_wrap_answer(view.spec.get());
    // A missing value given to a list is a value like any other.
    ctx.missing_takes_default = false;
    ctx.current_meta = true;
    ctx.applied = applied;
    return ctx;
}

py::Ref formalize(PyObject* self, const View& view, PyObject* element, PyObject* key,
                  PyObject* value, ClaimedSet* claimed, Adoption* keep = nullptr,
                  typing::Applied applied = typing::Applied::No, bool copied = false,
                  bool inserting = false) {
    return formalize_member(key, element, value,
                            list_context(self, view, applied, copied, inserting), claimed, keep);
}

}  // namespace

py::Ref formalized_value(PyObject* self, const View& view, PyObject* element, PyObject* key,
                         PyObject* value, ClaimedSet* claimed) {
    const int kept = kept_as_is(element, value);
    if (kept != 0) return kept < 0 ? py::Ref() : py::Ref::borrow(value);
    return formalize(self, view, element, key, value, claimed);
}

py::Ref formalized_at(PyObject* self, const View& view, PyObject* element, Py_ssize_t pos,
                      PyObject* value, bool* kept_natively, int verdict, Adoption* keep,
                      typing::Applied applied, bool copied, bool inserting) {
    // A primitive that passed the field already is kept as it is.
    const int kept = applied == typing::Applied::ThroughField && is_primitive(value) ? 1
                     : verdict >= 0                 ? verdict
                                                    : kept_as_is(element, value);
    if (kept_natively) *kept_natively = kept > 0;
    if (kept != 0) {
        if (kept < 0) return {};
        if (keep) keep->value = py::Ref::borrow(value);
        return py::Ref::borrow(value);
    }
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(pos));
    return key ? formalize(self, view, element, key.get(), value, nullptr, keep, applied, copied,
                           inserting)
               : py::Ref();
}

py::Ref validated_at(PyObject* self, const View& view, PyObject* element, Py_ssize_t pos,
                     PyObject* value, bool copied, bool inserting) {
    const int kept = kept_as_is(element, value);
    if (kept != 0) return kept < 0 ? py::Ref() : py::Ref::borrow(value);
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(pos));
    if (!key) return {};
    FormalizeContext ctx = list_context(self, view, typing::Applied::No, copied, inserting);
    ctx.adopt = false;
    return formalize_member(key.get(), element, value, ctx, nullptr);
}

bool adopt_at(PyObject* self, const View& view, PyObject* element, Py_ssize_t pos,
              PyObject* formal, ClaimedSet* claimed, bool copied, bool inserting,
              Adoption& out) {
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(pos));
    if (!key) return false;
    const FormalizeContext ctx = list_context(self, view, typing::Applied::No, copied, inserting);
    return static_cast<bool>(adopt_member(key.get(), element, formal, ctx, claimed, &out));
}

int refuse_cycle_at(PyObject* self, const View& view, PyObject* element, Py_ssize_t pos,
                    PyObject* formal, bool copied, bool inserting) {
    if (is_primitive(formal) || !view.enable_topo) return 0;
    const int may = may_close_cycle(self, formal);
    if (may <= 0) return may;
    py::Ref key = py::Ref::steal(PyLong_FromSsize_t(pos));
    if (!key) return -1;
    const FormalizeContext ctx = list_context(self, view, typing::Applied::No, copied, inserting);
    return refuse_member_cycle(key.get(), element, formal, ctx, nullptr);
}

py::Ref assign_child(PyObject* self, const View& view, PyObject* element, PyObject* key,
                     PyObject* value, ClaimedSet* claimed) {
    py::Ref policy = view.assign;
    if (element) {
        py::Ref declared;
        if (!read_field_assign(element, declared)) return {};
        if (declared) policy = std::move(declared);
    }
    AdoptArgs adopt;
    adopt.key = key;
    adopt.adopting = view.enable_topo;
    adopt.owner_path = view.path.get();
    adopt.container = self;
    adopt.parent_to_set = self;
    adopt.claimed = claimed;
    adopt.policy = policy.get();
    return adopt_child(value, adopt);
}

int use_value_spec(PyObject* self, PyObject* spec, bool allow_partial) {
    if (spec == Py_None) return unbind_spec<ListState>(self);
    // Claimed to the end of the apply that binds and checks the members:
    // one operation on the container, given back whole should it fail
    // (container/pass_log.hpp).
    PassLog pass;
    if (pass.begin(self, false) < 0) return -1;
    View view;
    if (!read_view(self, view)) return -1;
    if (!is_list_spec(spec))
        return raise_located_format(
            view.path.get(), PyExc_ValueError,
            "Value spec for list must be a `vk.typing.List` object. Encountered: %R", spec);
    if (view.spec) {
        const int differs = PyObject_RichCompareBool(view.spec.get(), spec, Py_NE);
        if (differs < 0) return -1;
        if (differs)
            return raise_located_format(
                view.path.get(), PyExc_RuntimeError,
                "List is already bound with a different value spec: %S. New value spec: %S.",
                view.spec.get(), spec);
    }
    return apply_spec<ListState>(self, spec, allow_partial, pass);
}

PyObject* py_use_value_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return use_value_spec_entry(self, args, nargs, kwnames, &use_value_spec);
}

PyObject* py_formalized_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<3> a;
    std::optional<ClaimedSet> seen;
    if (!py::parse(kFormalizedParams, args, nargs, kwnames, a) || !arg_claimed_set(a[2], seen))
        return nullptr;
    View view;
    SpecReadings readings;
    if (!view_and_element(self, view, readings)) return nullptr;
    return formalized_value(self, view, readings.element.get(), a[0], a[1], claimed_of(seen))
        .release();
}

PyObject* py_assign_child(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<3> a;
    std::optional<ClaimedSet> seen;
    if (!py::parse(kAssignChildParams, args, nargs, kwnames, a) || !arg_claimed_set(a[2], seen))
        return nullptr;
    View view;
    SpecReadings readings;
    if (!view_and_element(self, view, readings)) return nullptr;
    return assign_child(self, view, readings.element.get(), a[0], a[1], claimed_of(seen))
        .release();
}

namespace {

// The refusal of an incompatible spec, located at the caller's path.
int refuse_incompatible(PyObject* path, PyObject* bound, PyObject* spec) {
    return raise_located_format(
        path, PyExc_ValueError,
        "List (spec=%R) cannot be assigned to an incompatible field (spec=%R).", bound, spec);
}

// The very spec already bound is never asked: it cannot be incompatible.
constexpr CustomApplyRules kCustomApply{&is_list_spec, true, &refuse_incompatible};

}  // namespace

PyObject* py_custom_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return custom_apply<ListState>(self, args, nargs, kwnames, kCustomApply);
}

PyObject* sym_attr_field(PyObject* self, PyObject*) {
    py::Ref spec;
    if (!read_bound_spec<ListState>(self, spec)) return nullptr;
    SpecReadings readings;
    if (!read_spec(spec.get(), kElement, readings)) return nullptr;
    return py::new_ref(or_none(readings.element.get()));
}

PyObject* max_size_property(PyObject* self) {
    py::Ref spec;
    if (!read_bound_spec<ListState>(self, spec)) return nullptr;
    SpecReadings readings;
    if (!read_spec(spec.get(), kElement, readings)) return nullptr;
    if (!readings.element) return py::none();
    py::Ref key = py::get_attr<"key">(readings.element.get());
    return key ? py::get_attr<"max_value">(key.get()).release() : nullptr;
}

}  // namespace vesk::symbolic::list
