#include "typing/funnel/elem_rule.hpp"

#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/dict_cursor.hpp"
#include "typing/fast_types.hpp"
#include "typing/int_to_float.hpp"
#include "typing/field/field.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/funnel/dict_bulk.hpp"
#include "typing/shortcuts.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/change_epoch.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "typing/value_spec/utilities/number_compare.hpp"

#include <array>

namespace vesk::typing::funnel {

namespace {

bool compile_rule(PyObject* spec, bool allow_containers, ElemRule& out, RuleWitness& witness);

// An exact-class object candidate is refused only when its class may be
// partial and the value says it is: the field funnel's `object_accept` with
// partial values refused, kept here so that the per-element match stays in
// one unit (a call out of it costs the tuple rules' inner loop dearly).
int object_matches(PyObject* cls, PyObject* value) {
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(cls)) return 0;
    const int maybe = is_maybe_partial(value);
    if (maybe <= 0) return maybe < 0 ? -1 : 1;
    const int partial = read_sym_partial(value);
    return partial < 0 ? -1 : !partial;
}

// What the rule of a native element spec depends on, read in one shared
// hold; all false for any other object.
struct ContainerFacts {
    bool is_native = false;
    bool exact_class = false;  // exactly its kind's native class
    bool untouched = false;    // not frozen and without transform
    bool noneable = false;
    bool strict = false;
    KindId id = KindId::Any;
    py::Ref schema;    // Dict
    py::Ref type_map;  // Union
    py::Ref elements;  // Tuple: the element fields; List: the element spec
    bool forward_ref = false;  // an Object spec naming its class by a forward reference
    // A Number with a bound: its value type and bounds (absent ones null).
    bool bounded = false;
    py::Ref value_type;
    py::Ref min_value;
    py::Ref max_value;
    bool fixed = false;
    std::int64_t min_size = 0;
    std::optional<std::int64_t> max_size;
};

bool container_facts(PyObject* spec, ContainerFacts& out) {
    if (!is_spec(spec)) return true;
    SpecRead held(spec);
    if (!held) return false;
    const SpecEngine& e = *held;
    PyTypeObject* native = ops(e).py_class(e.kind);
    if (!native) return false;
    out.is_native = true;
    out.exact_class = Py_TYPE(spec) == native;
    out.untouched = untouched(e);
    out.noneable = e.is_noneable;
    out.strict = e.is_strict();
    out.id = e.id();
    if (const auto* d = kind_as<DictKind>(e.kind)) {
        out.schema = d->schema;
    } else if (const auto* u = kind_as<UnionKind>(e.kind)) {
        out.type_map = u->candidate_type_map;
    } else if (const auto* t = kind_as<TupleKind>(e.kind)) {
        out.elements = t->elements;
        out.fixed = t->fixed_length;
        out.min_size = t->min_size;
        out.max_size = t->max_size;
    } else if (const auto* l = kind_as<ListKind>(e.kind)) {
        out.elements = l->element;
        out.min_size = l->min_size;
        out.max_size = l->max_size;
    } else if (const auto* o = kind_as<ObjectKind>(e.kind)) {
        out.forward_ref = static_cast<bool>(o->forward_ref);
    } else if (const auto* n = kind_as<NumberKind>(e.kind)) {
        out.bounded = n->min_value || n->max_value;
        out.value_type = e.value_type;
        out.min_value = n->min_value;
        out.max_value = n->max_value;
    }
    return true;
}

// A Union applied through its own native class accepts a value as it is
// when its type map sends the value's exact class to a candidate with an
// exact leaf type: those classes, as a tuple (null when there are none).
// `native` says whether every candidate is a native spec, whose exact leaf
// type only its engine decides.
bool union_classes(PyObject* type_map, py::Ref& out, bool& native) {
    native = true;
    py::Ref classes = py::Ref::steal(PyList_New(0));
    if (!classes) return false;
    py::DictCursor cursor(type_map);
    py::Ref cls, candidate;
    for (;;) {
        const int step = cursor.next(cls, candidate);
        if (step < 0) return false;
        if (!step) break;
        native = native && is_spec(candidate.get());
        py::Ref leaf;
        if (!spec_exact_leaf_type(candidate.get(), leaf)) return false;
        if (leaf && PyList_Append(classes.get(), cls.get()) < 0) return false;
    }
    if (PyList_GET_SIZE(classes.get()) == 0) return true;
    out = py::Ref::steal(PyList_AsTuple(classes.get()));
    return static_cast<bool>(out);
}

// The rules of a Tuple element spec's positions, as the Tuple's own fast
// path derives them; null when any is slow. They are derived from the
// fields the element list holds now, which the witness keeps; `cacheable`
// is cleared when a position's rule read more than a witness answers for.
bool tuple_rule(const ContainerFacts& facts, bool allow, std::shared_ptr<const TupleRule>& out,
                bool& cacheable, RuleWitness& witness) {
    auto rule = std::make_shared<TupleRule>();
    rule->fixed = facts.fixed;
    rule->min_size = facts.min_size;
    rule->max_size = facts.max_size;
    RuleWitness::ListSnapshot snapshot;
    snapshot.list = facts.elements;
    snapshot.items = list_snapshot(facts.elements.get());
    // Copied, since the witness may grow (and move its snapshots) below.
    const std::vector<py::Ref> fields = snapshot.items;
    witness.lists.push_back(std::move(snapshot));
    for (const py::Ref& field : fields) {
        // Any other object answers `value` in its own way.
        cacheable = cacheable && field::is_field(field.get());
        py::Ref spec = element_spec(field.get());
        if (!spec) return false;
        ElemRule position;
        // Derived afresh: a cached Tuple rule shares no part with the
        // rules cached on its element specs.
        if (!compile_rule(spec.get(), allow, position, witness)) return false;
        cacheable = cacheable && position.cacheable;
        if (position.kind == ElemRule::Kind::Slow) return true;
        rule->pure = rule->pure && position.pure();
        rule->exact_only = rule->exact_only && position.kind == ElemRule::Kind::ExactType;
        rule->positions.push_back(std::move(position));
        if (!facts.fixed) break;
    }
    if (!facts.fixed && rule->positions.empty()) return true;
    out = std::move(rule);
    return true;
}

// The rule of a List element spec: its element spec's rule with its bounds;
// null when that rule is slow. `cacheable` says whether the element's rule is.
bool list_rule(const ContainerFacts& facts, std::shared_ptr<const TupleRule>& out,
               bool& cacheable, RuleWitness& witness) {
    auto rule = std::make_shared<TupleRule>();
    rule->fixed = false;
    rule->list = true;
    rule->min_size = facts.min_size;
    rule->max_size = facts.max_size;
    ElemRule element;
    // As the List's own fast path derives it: no child transform reaches it.
    // Derived afresh rather than copied from the element spec's cache, so
    // that no part of a cached rule is shared with another spec's (each
    // cache counts what it holds for the cycle collector).
    if (!compile_rule(facts.elements.get(), true, element, witness)) return false;
    cacheable = cacheable && element.cacheable;
    if (element.kind == ElemRule::Kind::Slow) return true;
    rule->pure = false;
    rule->positions.push_back(std::move(element));
    out = std::move(rule);
    return true;
}

// Whether `value` (an exact int or float) lies within the bounds, compared
// as the spec's own check compares them. Both are exact ints or floats, so
// the comparison runs no Python code and cannot fail.
int within_bounds(const ElemRule& rule, PyObject* value) {
    if (is_float_nan(value)) return 0;  // within no bound: the full road refuses it
    auto beyond = [value](const py::Ref& bound, int op) {
        if (!bound) return false;
        const int r = compare_numbers(value, bound.get(), op);
        if (r < 0) PyErr_Clear();  // not expected; counted as beyond, the full road decides
        return r != 0;
    };
    return !beyond(rule.min, Py_LT) && !beyond(rule.max, Py_GT);
}

// A bound the native comparison takes: absent, or an exact int or float.
bool native_bound(const py::Ref& bound) noexcept {
    return !bound || PyLong_CheckExact(bound.get()) || PyFloat_CheckExact(bound.get());
}

int list_matches(const TupleRule& rule, PyObject* value) {
    if (!PyList_CheckExact(value)) return 0;
    Py_ssize_t n;
    {
        py::CriticalSection guard(value);
        n = PyList_GET_SIZE(value);
    }
    if (!rule.fits(n)) return 0;
    return all_match(rule.positions.front(), value);
}

// A list whose items each match or convert, applied as the List's own apply
// with `inplace` would: into the list itself, else into a copy.
int list_convert(const TupleRule& rule, PyObject* value, bool inplace, py::Ref& out) {
    if (!PyList_CheckExact(value)) return 0;
    const ElemRule& element = rule.positions.front();
    py::Ref target = inplace ? py::Ref::borrow(value)
                             : py::Ref::steal(PyList_GetSlice(value, 0, PY_SSIZE_T_MAX));
    if (!target) return -1;
    const Py_ssize_t n = PyList_Size(target.get());
    if (!rule.fits(n)) return 0;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(target.get(), i);
        if (!item) break;
        const int m = element.matches(item.get());
        if (m < 0) return -1;
        if (m) {
            if (inplace || !element.needs_copy()) continue;
            py::Ref settled;
            if (settle_item(element, item.get(), settled) < 0) return -1;
            if (settled.get() != item.get() &&
                PySequence_SetItem(target.get(), i, settled.get()) < 0)
                return -1;
            continue;
        }
        py::Ref converted;
        // A refusal here leaves what was already written, as the List's own
        // apply, which then decides, does before it reaches this element.
        const int c = element.convert(item.get(), inplace, converted);
        if (c <= 0) return c;
        if (converted.get() != item.get() &&
            PySequence_SetItem(target.get(), i, converted.get()) < 0)
            return -1;
    }
    out = std::move(target);
    return 1;
}

// A tuple whose items each match or convert: a new tuple, as the Tuple's
// own apply always builds one.
int tuple_convert(const TupleRule& rule, PyObject* value, bool inplace, py::Ref& out) {
    if (!PyTuple_CheckExact(value)) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    if (!rule.fits(n)) return 0;
    py::Ref fresh = py::Ref::steal(PyTuple_New(n));
    if (!fresh) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const ElemRule& r = rule.at(i);
        PyObject* item = PyTuple_GET_ITEM(value, i);
        const int m = r.matches(item);
        if (m < 0) return -1;
        py::Ref next = py::Ref::borrow(item);
        if (!m) {
            const int c = r.convert(item, inplace, next);
            if (c <= 0) return c;
        } else if (!inplace && settle_item(r, item, next) < 0) {
            return -1;
        }
        PyTuple_SET_ITEM(fresh.get(), i, next.release());
    }
    out = std::move(fresh);
    return 1;
}

int tuple_matches(const TupleRule& rule, PyObject* value) {
    if (rule.list) return list_matches(rule, value);
    if (!PyTuple_CheckExact(value)) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    if (!rule.fits(n)) return 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const ElemRule& r = rule.at(i);
        const int m = r.matches_inline(PyTuple_GET_ITEM(value, i));
        if (m <= 0) return m;
    }
    return 1;
}

}  // namespace

py::Ref element_spec(PyObject* field) {
    if (field::is_field(field)) return field::field_value_spec(field);
    return py::get_attr<"value">(field);
}

int ElemRule::matches(PyObject* value) const {
    if (allow_none && value == Py_None) return 1;
    switch (kind) {
        case Kind::ExactType:
            return reinterpret_cast<PyObject*>(Py_TYPE(value)) == payload.get();
        case Kind::ExactTypes: {
            PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(value));
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(payload.get()); ++i)
                if (PyTuple_GET_ITEM(payload.get(), i) == cls) return 1;
            return 0;
        }
        case Kind::Tuple:
        case Kind::List:
            return tuple_matches(*tuple, value);
        case Kind::AcceptAny:
            return is_any_fast_type(value, allow_containers);
        case Kind::ObjectCandidate:
            return object_matches(payload.get(), value);
        case Kind::ConstKeyDict:
            return bulk ? bulk->matches(value) : 0;
        case Kind::Bounded:
            return reinterpret_cast<PyObject*>(Py_TYPE(value)) == payload.get() &&
                   within_bounds(*this, value);
        case Kind::Slow:
            break;
    }
    return 0;
}

int ElemRule::convert(PyObject* value, bool inplace, py::Ref& out) const {
    if (widen_int && PyLong_CheckExact(value)) {
        out = int_to_float(value);
        return out ? 1 : -1;
    }
    if (kind == Kind::ConstKeyDict && bulk) return bulk->convert(value, inplace, out);
    if (kind == Kind::List) return list_convert(*tuple, value, inplace, out);
    if (kind == Kind::Tuple) return tuple_convert(*tuple, value, inplace, out);
    return 0;
}

namespace {

// How many specs deep a derivation goes before it answers slow. A Tuple's
// element list may be made to hold the Tuple itself, which would otherwise
// derive without end; the full road applies such a spec as deep as the value
// goes.
constexpr int kMaxRuleDepth = 32;
thread_local int rule_depth = 0;

bool compile_spec_rule(PyObject* spec, bool allow_containers, ElemRule& out,
                       RuleWitness& witness);

// The rule derived from `spec` as it is now, with whether it may be cached.
bool compile_rule(PyObject* spec, bool allow_containers, ElemRule& out, RuleWitness& witness) {
    if (rule_depth >= kMaxRuleDepth) {
        out = ElemRule{};  // slow, and not kept: a nesting this deep is no common shape
        return true;
    }
    struct Deeper {
        Deeper() noexcept { ++rule_depth; }
        ~Deeper() { --rule_depth; }
        Deeper(const Deeper&) = delete;
        Deeper& operator=(const Deeper&) = delete;
    } deeper;
    return compile_spec_rule(spec, allow_containers, out, witness);
}

// The rule of a spec that accepts a leaf class as it is, or an object
// candidate: true when it decided one. With `added`, a noneable spec's None
// is taken as it is and a native Float's int widened, as the full road does;
// the plain rules take neither.
bool leaf_rule(Acceptance& accepts, const ContainerFacts& facts, bool allow_containers,
               bool added, ElemRule& out) {
    if (accepts.exact) {
        if (accepts.exact.get() != reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
            facts.id != KindId::Any || !facts.is_native) {
            out.kind = ElemRule::Kind::ExactType;
            out.payload = std::move(accepts.exact);
            // The full road gives None back as it is from a noneable spec.
            out.allow_none = added && accepts.takes_none;
            // A native Float that is not strict coerces an int by `float()`,
            // and its exact leaf type says it has no bounds to check.
            out.widen_int = added && accepts.widens_int &&
                            out.payload.get() == reinterpret_cast<PyObject*>(&PyFloat_Type);
        } else if (facts.untouched) {
            out.kind = ElemRule::Kind::AcceptAny;
            out.allow_containers = allow_containers;
        }
        return true;
    }
    if (accepts.object) {
        out.kind = ElemRule::Kind::ObjectCandidate;
        out.payload = std::move(accepts.object);
        out.allow_none = added && accepts.takes_none;
        return true;
    }
    return false;
}

// Only the plain rules (tests compare the other rules with them): an exact
// class, accept any, an object candidate, or a dict's constant keys of exact
// classes as its schema offers them; None is never taken as it is.
bool plain_rule(Acceptance& accepts, const ContainerFacts& facts, bool allow_containers,
                ElemRule& out) {
    out.cacheable = false;
    if (leaf_rule(accepts, facts, allow_containers, false, out)) return true;
    if (!allow_containers || !facts.is_native || !facts.exact_class || !facts.untouched ||
        facts.id != KindId::Dict)
        return true;
    auto bulk = std::make_shared<DictBulk>();
    if (!DictBulk::derive(facts.schema.get(), *bulk)) return false;
    if (bulk->usable()) {
        out.kind = ElemRule::Kind::ConstKeyDict;
        out.bulk = std::move(bulk);
    }
    return true;
}

bool compile_spec_rule(PyObject* spec, bool allow_containers, ElemRule& out,
                       RuleWitness& witness) {
    out = ElemRule{};
    // What the spec accepts as it is, as the field records read it.
    Acceptance accepts;
    if (!spec_acceptance(spec, AcceptanceReads::Element, accepts)) return false;
    ContainerFacts facts;
    if (!container_facts(spec, facts)) return false;
    // Cleared below wherever the rule reads more than engine state.
    out.cacheable = facts.is_native && !facts.forward_ref;
    if (added_rules_off()) return plain_rule(accepts, facts, allow_containers, out);
    if (leaf_rule(accepts, facts, allow_containers, true, out)) return true;
    // Only the native classes themselves: a subclass may apply otherwise.
    if (!facts.is_native || !facts.exact_class || !facts.untouched) return true;
    // Only where no child transform is in force, as for containers: a
    // transform still sees every element the plain class tests do not pass.
    if (allow_containers && facts.bounded && native_bound(facts.min_value) &&
        native_bound(facts.max_value) &&
        (facts.value_type.get() == reinterpret_cast<PyObject*>(&PyLong_Type) ||
         facts.value_type.get() == reinterpret_cast<PyObject*>(&PyFloat_Type))) {
        // An exact value within the bounds is what the spec's own check
        // accepts as it is; anything else (an int for a Float included) is
        // left to the full road.
        out.kind = ElemRule::Kind::Bounded;
        out.payload = std::move(facts.value_type);
        out.min = std::move(facts.min_value);
        out.max = std::move(facts.max_value);
        out.allow_none = facts.noneable;
        return true;
    }
    if (facts.id == KindId::Union && facts.type_map) {
        // The type map is handed out to Python as it is: kept only while
        // watched, so that a change to it drops the rule. Watched before it
        // is read.
        out.cacheable = out.cacheable && watch_type_map(facts.type_map.get());
        py::Ref classes;
        bool native = false;
        if (!union_classes(facts.type_map.get(), classes, native)) return false;
        out.cacheable = out.cacheable && native;
        if (classes) {
            out.kind = ElemRule::Kind::ExactTypes;
            out.payload = std::move(classes);
            out.allow_none = facts.noneable;
        }
        return true;
    }
    // From here on the full road gives None back as it is from a noneable
    // spec.
    if (facts.id == KindId::Tuple) {
        // So is the list of element fields: the witness answers for it.
        std::shared_ptr<const TupleRule> tuple;
        if (!tuple_rule(facts, allow_containers, tuple, out.cacheable, witness)) return false;
        if (tuple) {
            out.kind = ElemRule::Kind::Tuple;
            out.tuple = std::move(tuple);
            out.allow_none = facts.noneable;
        }
        return true;
    }
    // A list element counts as it is only where no child transform is in
    // force, as for Any.
    if (allow_containers && facts.id == KindId::List) {
        std::shared_ptr<const TupleRule> list;
        if (!list_rule(facts, list, out.cacheable, witness)) return false;
        if (list) {
            out.kind = ElemRule::Kind::List;
            out.tuple = std::move(list);
            out.allow_none = facts.noneable;
        }
        return true;
    }
    if (!allow_containers || facts.id != KindId::Dict) return true;
    const bool engine_only = out.cacheable;
    out.cacheable = false;  // unless the check below may be kept
    auto bulk = std::make_shared<DictBulk>();
    if (!DictBulk::derive(facts.schema.get(), *bulk, &witness)) return false;
    if (bulk->usable()) {
        // A native schema's metadata is replaced only by a change that moves
        // the epoch; a kept check holds its own copy of what it reads.
        if (engine_only && bulk->cacheable()) {
            bulk->own_entries();
            out.cacheable = true;
        }
        out.kind = ElemRule::Kind::ConstKeyDict;
        out.bulk_calls_back = bulk->calls_back();
        out.bulk = std::move(bulk);
        out.allow_none = facts.noneable;
    }
    return true;
}

}  // namespace

bool derive_elem_rule(PyObject* spec, bool allow_containers, ElemRule& out,
                      RuleWitness& witness) {
    return compile_rule(spec, allow_containers, out, witness);
}

bool elem_rule(PyObject* spec, bool allow_containers, ElemRule& out) {
    RuleWitness witness;
    if (!is_spec(spec)) return compile_rule(spec, allow_containers, out, witness);
    // The plain rules alone are never kept.
    if (added_rules_off()) return compile_rule(spec, allow_containers, out, witness);
    const auto& slot = py::state<SpecEngine>(spec).rules.slots[allow_containers ? 1 : 0];
    // Read before anything the rule is derived from.
    const std::uint64_t epoch = change_epoch();
    // A spec whose rule is never kept (one that reads more than engine
    // state) leaves its slot empty and skips the section.
    if (!slot.empty()) {
        field::ReadSection reading;
        if (const CompiledRule* cached = slot.peek();
            cached && cached->epoch == epoch && cached->witness.holds()) {
            out = cached->rule;
            return true;
        }
    }
    const std::uint64_t generation = slot.generation();
    if (!compile_rule(spec, allow_containers, out, witness)) return false;
    if (out.cacheable) {
        auto compiled = std::make_shared<CompiledRule>();
        compiled->rule = out;
        compiled->witness = std::move(witness);
        compiled->epoch = epoch;
        (void)slot.store(compiled, generation);
    }
    return true;
}

int all_match(const ElemRule& rule, PyObject* container) {
    if (rule.kind == ElemRule::Kind::Slow) return 0;
    if (PyList_CheckExact(container)) {
        if (rule.pure()) {
            Py_ssize_t at = 0;
            return first_mismatch(rule, container, at);
        }
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(container, i);
            if (!item) return 1;
            const int r = rule.matches(item.get());
            if (r <= 0) return r;
        }
    }
    if (PyTuple_CheckExact(container)) {
        // A tuple keeps its items alive and never changes.
        const Py_ssize_t n = PyTuple_GET_SIZE(container);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const int r = rule.matches(PyTuple_GET_ITEM(container, i));
            if (r <= 0) return r;
        }
        return 1;
    }
    py::Ref it = py::Ref::steal(PyObject_GetIter(container));
    if (!it) return -1;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
        const int r = rule.matches(item.get());
        if (r <= 0) return r;
    }
    return PyErr_Occurred() ? -1 : 1;
}

namespace {

// The first of `n` items a pure rule does not match (n when all do), with
// the common rules' tests inlined in their own loops.
Py_ssize_t pure_scan(const ElemRule& rule, PyObject* const* items, Py_ssize_t n) {
    const bool none = rule.allow_none;
    Py_ssize_t i = 0;
    if (rule.kind == ElemRule::Kind::ExactType) {
        PyObject* cls = rule.payload.get();
        for (; i < n; ++i) {
            PyObject* v = items[i];
            if (reinterpret_cast<PyObject*>(Py_TYPE(v)) != cls && !(none && v == Py_None)) break;
        }
        return i;
    }
    if (rule.kind == ElemRule::Kind::ExactTypes && PyTuple_GET_SIZE(rule.payload.get()) == 2) {
        PyObject* a = PyTuple_GET_ITEM(rule.payload.get(), 0);
        PyObject* b = PyTuple_GET_ITEM(rule.payload.get(), 1);
        for (; i < n; ++i) {
            PyObject* v = items[i];
            PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(v));
            if (t != a && t != b && !(none && v == Py_None)) break;
        }
        return i;
    }
    if (rule.kind == ElemRule::Kind::Tuple && rule.tuple->fixed && rule.tuple->exact_only) {
        // `matches` of a fixed tuple of exact classes, in one loop.
        const std::vector<ElemRule>& at = rule.tuple->positions;
        const auto width = static_cast<Py_ssize_t>(at.size());
        for (; i < n; ++i) {
            PyObject* v = items[i];
            if (none && v == Py_None) continue;
            if (!PyTuple_CheckExact(v) || PyTuple_GET_SIZE(v) != width) break;
            Py_ssize_t k = 0;
            for (; k < width; ++k) {
                const ElemRule& p = at[static_cast<std::size_t>(k)];
                PyObject* x = PyTuple_GET_ITEM(v, k);
                if (reinterpret_cast<PyObject*>(Py_TYPE(x)) != p.payload.get() &&
                    !(p.allow_none && x == Py_None))
                    break;
            }
            if (k < width) break;
        }
        return i;
    }
    for (; i < n; ++i)
        if (!rule.matches_inline(items[i])) break;
    return i;
}

}  // namespace

int first_mismatch(const ElemRule& rule, PyObject* list, Py_ssize_t& at) {
    at = 0;
    if (rule.kind == ElemRule::Kind::Slow) return 0;
    if (rule.pure()) {
        // Identity tests only: no Python code runs, so the whole scan may
        // hold the list's lock.
        py::CriticalSection guard(list);
        const Py_ssize_t n = PyList_GET_SIZE(list);
        PyObject* const* items = PySequence_Fast_ITEMS(list);
        at = pure_scan(rule, items, n);
        return at == n ? 1 : 0;
    }
    for (;; ++at) {
        py::Ref item = py::list_item(list, at);
        if (!item) return 1;
        const int r = rule.matches(item.get());
        if (r <= 0) return r;
    }
}

int elements_all_match(PyObject* spec, PyObject* container, bool allow_containers) {
    ElemRule rule;
    if (!elem_rule(spec, allow_containers, rule)) return -1;
    return all_match(rule, container);
}

// --- what the full road gives for what a rule accepted ------------------------------

bool ElemRule::needs_copy() const noexcept {
    switch (kind) {
        case Kind::List:
            return !tuple->positions.front().plain_only();
        case Kind::ConstKeyDict:
            return !bulk || !bulk->plain_only();
        case Kind::Tuple:
            for (const ElemRule& r : tuple->positions)
                if (r.needs_copy()) return true;
            return false;
        default:
            return false;
    }
}

bool ElemRule::plain_only() const noexcept {
    switch (kind) {
        case Kind::ExactType:
        case Kind::ObjectCandidate:
            return !allow_none;
        case Kind::AcceptAny:
            return true;
        case Kind::ConstKeyDict:
            // None is no dict: the plain rule refuses it, and the full road
            // then copies the list that holds it.
            return !allow_none && bulk && bulk->plain_only();
        default:
            return false;
    }
}

bool ElemRule::has_plain() const noexcept {
    switch (kind) {
        case Kind::ExactType:
        case Kind::AcceptAny:
        case Kind::ObjectCandidate:
            return true;
        case Kind::ConstKeyDict:
            return bulk && bulk->has_plain();
        default:
            return false;
    }
}

int ElemRule::plain_matches(PyObject* value) const {
    switch (kind) {
        case Kind::ExactType:
            return reinterpret_cast<PyObject*>(Py_TYPE(value)) == payload.get();
        case Kind::AcceptAny:
            return is_any_fast_type(value, allow_containers);
        case Kind::ObjectCandidate:
            return object_matches(payload.get(), value);
        case Kind::ConstKeyDict:
            return bulk ? bulk->plain_matches(value) : 0;
        default:
            return 0;
    }
}

int settle_list(const ElemRule& rule, PyObject* list, py::Ref& out) {
    // Taken whole where the plain rule takes every item: the full road's own
    // fast path then returns the list itself. Where there is no plain rule,
    // that fast path declines even an empty list.
    out = py::Ref::borrow(list);
    if (rule.plain_only()) return 0;  // every item matched: the plain rule's too
    bool plain = rule.has_plain();
    if (plain && rule.kind == ElemRule::Kind::ExactType) {
        // Class tests only: one pass under the list's lock.
        py::CriticalSection guard(list);
        PyObject* const* items = PySequence_Fast_ITEMS(list);
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list); plain && i < n; ++i)
            plain = reinterpret_cast<PyObject*>(Py_TYPE(items[i])) == rule.payload.get();
    }
    for (Py_ssize_t i = 0; plain && rule.kind != ElemRule::Kind::ExactType; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;
        const int m = rule.plain_matches(item.get());
        if (m < 0) return -1;
        plain = m == 1;
    }
    if (plain) return 0;
    if (!rule.needs_copy()) {
        // The full road's copy holds the very items.
        out = py::Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
        return out ? 0 : -1;
    }
    py::Ref copy = py::Ref::steal(PyList_New(0));
    if (!copy) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;
        py::Ref settled;
        if (settle_item(rule, item.get(), settled) < 0 ||
            PyList_Append(copy.get(), settled.get()) < 0)
            return -1;
    }
    out = std::move(copy);
    return 0;
}

int settle_item(const ElemRule& rule, PyObject* item, py::Ref& out) {
    out = py::Ref::borrow(item);
    if (item == Py_None || !rule.needs_copy()) return 0;
    switch (rule.kind) {
        case ElemRule::Kind::List:
            return PyList_CheckExact(item) ? settle_list(rule.tuple->positions.front(), item, out)
                                           : 0;
        case ElemRule::Kind::ConstKeyDict:
            return rule.bulk ? rule.bulk->settle(item, out) : 0;
        case ElemRule::Kind::Tuple: {
            if (!PyTuple_CheckExact(item)) return 0;
            const Py_ssize_t n = PyTuple_GET_SIZE(item);
            if (!rule.tuple->fits(n)) return 0;
            // A tuple is rebuilt only where an item is: it cannot be changed,
            // so one that holds the very same items may stay.
            py::Ref fresh;
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* x = PyTuple_GET_ITEM(item, i);
                py::Ref settled;
                if (settle_item(rule.tuple->at(i), x, settled) < 0) return -1;
                if (settled.get() == x && !fresh) continue;
                if (!fresh) {
                    fresh = py::Ref::steal(PyTuple_New(n));
                    if (!fresh) return -1;
                    for (Py_ssize_t j = 0; j < i; ++j)
                        PyTuple_SET_ITEM(fresh.get(), j, py::new_ref(PyTuple_GET_ITEM(item, j)));
                }
                PyTuple_SET_ITEM(fresh.get(), i, settled.release());
            }
            if (fresh) out = std::move(fresh);
            return 0;
        }
        default:
            return 0;
    }
}

}  // namespace vesk::typing::funnel
