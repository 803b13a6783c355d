// SymDict construction: `__init__`, which gathers the source entries, and
// the construction core it shares with the object-attributes builder. With a
// value spec, members are formalized (the fused, single-pass and general
// roads, tried in that order), adopted as they are (pass-through) or stored
// as they are (raw); without one they are formalized without a field.
#include "symbolic/dict/dict_ops.hpp"

#include "py/args.hpp"
#include "py/dict_cursor.hpp"
#include "py/errors.hpp"
#include "py/hold.hpp"
#include "py/subclass_call.hpp"
#include "py/write_span.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/bool_args.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/refusal.hpp"
#include "symbolic/write_core.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/classes.hpp"

#include <optional>
#include <vector>

namespace vesk::symbolic::dict {

namespace {

enum Param : std::size_t {
    kSource, kValueSpec, kAllowPartial, kSealed, kAccessorWritable, kAsObjectAttributes, kWrap,
    kAssign, kOnChange, kRootPath, kPassThrough, kUnderTopo, kParamCount,
};

py::Params<kParamCount> kInitParams{
    "SymDict",
    {"source", "value_spec", "allow_partial", "sealed", "accessor_writable",
     "as_object_attributes_container", "wrap", "assign", "onchange_callback", "root_path",
     "pass_through", "under_topo"},
    1,
    0,
    py::Keywords::Collect};

// Calls `f(key, value)` for each entry of `items`, one locked read at a
// time; the first failure stops the walk. 0 or -1.
template <class F>
int each_item(PyObject* items, F&& f) {
    py::DictCursor cursor(items);
    py::Ref k, v;
    for (int step; (step = cursor.next(k, v)) != 0;)
        if (step < 0 || f(k.get(), v.get()) < 0) return -1;
    return 0;
}

// Element `i` of a pair, by subscription.
py::Ref pair_item(PyObject* pair, long i) {
    PyObject* index = PyLong_FromLong(i);
    if (!index) return {};
    py::Ref keep = py::Ref::steal(index);
    return py::Ref::steal(PyObject_GetItem(pair, index));
}

int store_pairs(PyObject* items, PyObject* iterable) {
    py::Ref it = py::Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    for (;;) {
        PyObject* raw = nullptr;
        const int r = PyIter_NextItem(it.get(), &raw);
        if (r <= 0) return r;
        py::Ref pair = py::Ref::steal(raw);
        py::Ref key = pair_item(pair.get(), 0);
        py::Ref value = key ? pair_item(pair.get(), 1) : py::Ref();
        if (!value || PyDict_SetItem(items, key.get(), value.get()) < 0) return -1;
    }
}

// The construction's items, a plain dict: the source's entries read by the
// first rule that fits it, then the keyword entries over them.
py::Ref source_items(PyObject* source, const py::ExtraKeywords& extra) {
    const bool symbolic = source && is_sym_dict(source);
    // A dict's entries are copied in one step under its lock.
    py::Ref items = py::Ref::steal(source && !symbolic && PyDict_Check(source)
                                       ? PyDict_Copy(source)
                                       : PyDict_New());
    if (!items) return {};
    if (symbolic) {
        py::Ref pairs = call_method<"sym_items">(source);
        if (!pairs || store_pairs(items.get(), pairs.get()) < 0) return {};
    } else if (source && !PyDict_Check(source) && store_pairs(items.get(), source) < 0) {
        return {};
    }
    for (const py::ExtraKeyword& kw : extra)
        if (PyDict_SetItem(items.get(), kw.name, kw.value) < 0) return {};
    return items;
}

// Without a spec: keys must be str or int, primitives are kept, missing
// values dropped, anything else formalized without a field. Only a value
// that is not primitive needs the bridge.
int fill_schemaless(PyObject* self, PyObject* items) {
    return each_item(items, [&](PyObject* k, PyObject* v) {
        if (!PyUnicode_Check(k) && !PyLong_Check(k)) {
            py::Ref path;
            return node_path(self, path)
                       ? raise_located_format(path.get(), PyExc_KeyError,
                                              "Key must be string or int type. Encountered %R.", k)
                       : -1;
        }
        if (is_primitive(v)) return PyDict_SetItem(self, k, v);
        const ContainerBridge* b = container_bridge();
        if (!b) return -1;
        const int missing = PyObject_RichCompareBool(v, b->missing_value.get(), Py_EQ);
        if (missing != 0) return missing;
        py::Ref formal = formalized_value(self, k, nullptr, v, nullptr, nullptr);
        return formal ? PyDict_SetItem(self, k, formal.get()) : -1;
    });
}

// Members adopted as they are, with their fields' policies; not validated.
int fill_pass_through(PyObject* self, PyObject* items, PyObject* spec,
                      const ConstructOptions& o, ClaimedSet* claimed) {
    py::Ref schema = policy_schema(spec);
    AdoptArgs adopt;
    py::Ref path, parent;
    {
        py::Shared<DictState> held(self);
        if (!held) return -1;
        path = held->node.path;
        parent = held->as_object_attributes_container ? py::Ref::borrow(or_none(held->node.parent))
                                                      : py::Ref::borrow(self);
    }
    adopt.adopting = o.enable_topo;
    adopt.owner_path = path.get();
    adopt.container = o.clone_owner ? o.clone_owner : self;
    adopt.parent_to_set = parent.get();
    adopt.claimed = claimed;
    adopt.parent_set_by_caller = o.parent_set_by_caller;
    const int filled = each_item(items, [&](PyObject* k, PyObject* v) {
        py::Ref policy;
        if (!field_policy(schema.get(), k, o.assign, policy)) return -1;
        adopt.key = k;
        adopt.policy = policy.get();
        py::Ref adopted = adopt_child(v, adopt);
        return adopted ? PyDict_SetItem(self, k, adopted.get()) : -1;
    });
    return filled < 0 ? -1 : bind_spec(self, spec);
}

int fill_raw(PyObject* self, PyObject* items, PyObject* spec) {
    const int filled =
        each_item(items, [self](PyObject* k, PyObject* v) { return PyDict_SetItem(self, k, v); });
    return filled < 0 ? -1 : bind_spec(self, spec);
}

// After both schema-ful roads declined: every member formalized without a
// field (but with its field's policy), then the spec applied to the whole.
// A spec bound before the members were formalized (one that does not wrap
// them) would otherwise take the dictionary as applied already, and no
// member would pass its field.
int general_construct(PyObject* self, PyObject* items, PyObject* spec, const ConstructOptions& o,
                      ClaimedSet* claimed) {
    py::Ref schema = policy_schema(spec);
    const int filled = each_item(items, [&](PyObject* k, PyObject* v) {
        py::Ref policy;
        if (!field_policy(schema.get(), k, o.assign, policy)) return -1;
        py::Ref formal = formalized_value(self, k, nullptr, v, claimed, policy.get());
        return formal ? PyDict_SetItem(self, k, formal.get()) : -1;
    });
    if (filled < 0) return -1;
    py::Ref bound;
    if (!read_bound_spec<DictState>(self, bound)) return -1;
    std::optional<UnappliedMembersScope> unapplied;
    if (bound.get() == spec) unapplied.emplace(self);
    // The spec writes members back: open to those writes, closed again to
    // their hooks by each adoption (py/write_span.hpp).
    const py::WriteSpan own(self, py::WriteSpan::Mode::Open);
    return use_value_spec(self, spec, o.allow_partial);
}

// The items for a road that may run Python code while it reads them.
PyObject* own_items(PyObject* items, const ConstructOptions& o, py::Ref& copy) {
    if (!o.items_borrowed) return items;
    if (!copy) copy = py::Ref::steal(PyDict_Copy(items));
    return copy.get();
}

int fill_formalized(PyObject* self, PyObject* items, PyObject* spec, const ConstructOptions& o,
                    ClaimedSet* claimed) {
    // The fused road reads every entry before any Python code runs.
    int done = try_fused(self, spec, items);
    py::Ref copy;
    if (done == 0 && !(items = own_items(items, o, copy))) return -1;
    if (done == 0) done = try_single_pass(self, spec, items, claimed);
    if (done != 0) return done < 0 ? -1 : 0;
    return general_construct(self, items, spec, o, claimed);
}

// The children of a live dictionary that a construction run on it again
// replaces: claimed before its first effect, as a write claims the occupant
// it replaces, and let go once the construction has stored over them, as a
// write lets go of what it replaced.
class Replaced {
public:
    // Claims what `self` holds under the keys of `items` that keeps a tree.
    // 0 or -1 (nothing changed).
    int claim(PyObject* self, PyObject* items) {
        ClaimScope* scope = ClaimScope::current();
        return each_item(items, [&](PyObject* key, PyObject*) {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(self, key, &found) < 0) return -1;
            py::Ref old = py::Ref::steal(found);
            const int tree = keeps_tree(old.get());
            if (tree <= 0) return tree;
            if (!scope) {
                py::raise_internal("a construction run again holds no claim scope");
                return -1;
            }
            if (scope->exclusive(old.get()) < 0) return -1;
            try {
                old_.push_back(std::move(old));
            } catch (...) {
                PyErr_NoMemory();
                return -1;
            }
            return 0;
        });
    }
    // Lets go of each claimed child its key no longer holds, unless the
    // dictionary holds it elsewhere; one that will not go does not keep the
    // others, and the first failure is raised at the end. Keeps a pending
    // exception (a failed construction's, whose stores stand as they are).
    // 0 or -1.
    int let_go(PyObject* self) {
        PyObject* pending = PyErr_GetRaisedException();
        // The dictionary is held whole meanwhile: what it holds is read once.
        py::Ref values = py::Ref::steal(PyDict_Values(self));
        py::Ref first;
        if (!values) first = py::Ref::steal(PyErr_GetRaisedException());
        for (std::size_t i = 0; values && i < old_.size(); ++i) {
            if (holds(values.get(), old_[i].get()) || detach_old_child(old_[i].get()) == 0)
                continue;
            if (!first) first = py::Ref::steal(PyErr_GetRaisedException());
            PyErr_Clear();
        }
        if (pending) {
            PyErr_SetRaisedException(pending);
            return -1;
        }
        if (!first) return 0;
        PyErr_SetRaisedException(first.release());
        return -1;
    }

private:
    // Whether the list `values` holds `value`.
    static bool holds(PyObject* values, PyObject* value) noexcept {
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values); i < n; ++i)
            if (PyList_GET_ITEM(values, i) == value) return true;
        return false;
    }

    std::vector<py::Ref> old_;
};

// Resets the state for a new construction.
int reset_state(PyObject* self, PyObject* root_path, PyObject* bound, const ConstructOptions& o) {
    Released node_refs;
    py::Ref parent_dropped, spec_dropped, callback_dropped, assign_dropped;
    py::Exclusive<DictState> held(self);
    if (!held) return -1;
    DictState& s = *held;
    s.node.reset_for_construction(py::Ref::borrow(root_path), o.allow_partial, true, false,
                                  node_refs);
    if (o.parent) SymNode::store(s.node.parent, o.parent, parent_dropped);
    spec_dropped = std::exchange(s.value_spec, py::Ref::borrow(bound));
    s.spec_replaced();
    callback_dropped = std::move(s.onchange_callback);
    s.as_object_attributes_container = o.as_object_attributes_container;
    s.wrap = o.wrap;
    s.enable_topo = o.enable_topo;
    assign_dropped = std::exchange(s.assign, py::Ref::borrow(o.assign));
    held.release();
    return 0;
}

}  // namespace

int construct_into(PyObject* self, PyObject* items, PyObject* spec, const ConstructOptions& o) {
    // A dictionary constructed again, which other threads may reach, is
    // held for the whole construction (WholeHold): it rebinds and refills
    // the dictionary a write of another thread may be checking a value for.
    std::optional<WholeHold> whole;
    Replaced replaced;
    if (is_live(self) &&
        (whole.emplace().hold(self) < 0 || replaced.claim(self, items) < 0))
        return -1;
    // Only the default root path needs the bridge.
    PyObject* root = o.root_path;
    if (!root) {
        const ContainerBridge* b = container_bridge();
        if (!b) return -1;
        root = b->empty_key_path.get();
    }
    const bool bind_now = spec && !auto_wrap_answer(spec);
    if (reset_state(self, root, bind_now ? spec : nullptr, o) < 0) return -1;
    if (store_default_origin<DictState>(self) < 0) return -1;
    if (!PyDict_Check(self)) {
        py::raise_internal("SymDict extends PyDict");
        return -1;
    }
    // A construction that fails gives each child it placed back the place
    // it had: what failed to be made holds nothing.
    std::optional<ConstructionClaims> claims;
    if (spec) claims.emplace();
    AdoptionLog log(o.clone_owner ? o.clone_owner : self);
    // The specs of a typed dictionary's fields change the containers it is
    // given before it holds them: a construction that fails gives those
    // back too, as a failed apply does (container/pass_log.hpp).
    std::optional<ConstructionLog> applied;
    if (spec) applied.emplace(self, items, log);
    std::optional<ClaimedSet> claimed;
    if (o.mode != Mode::Raw && o.as_object_attributes_container) claimed.emplace();
    ClaimedSet* claimed_ptr = claimed ? &*claimed : nullptr;
    py::Ref copy;
    if ((!spec || o.mode != Mode::Formalize) && !(items = own_items(items, o, copy))) return -1;
    // Python code run while the members are stored (their hooks, their
    // validation) meets the dictionary closed to the thread's writes, which
    // would land between the construction's reads and its stores
    // (py/write_span.hpp).
    std::optional<py::WriteSpan> closed(std::in_place, self, py::WriteSpan::Mode::Closed);
    int filled;
    if (!spec) filled = fill_schemaless(self, items);
    else if (o.mode == Mode::Formalize) filled = fill_formalized(self, items, spec, o, claimed_ptr);
    else if (o.mode == Mode::PassThrough) filled = fill_pass_through(self, items, spec, o, claimed_ptr);
    else filled = fill_raw(self, items, spec);
    closed.reset();
    if (replaced.let_go(self) < 0 || filled < 0) return -1;
    if (spec) note_looser_members<DictState>(self, o.allow_partial);
    if (finish_construction<DictState>(self, o.onchange_callback, o.accessor_writable, o.sealed) <
            0 ||
        (applied && applied->commit() < 0))
        return -1;
    log.keep();
    return 0;
}

namespace {

// `__init__` with its arguments parsed.
int init_with(PyObject* self, const py::Args<kParamCount>& a) {
    ConstructOptions o;
    bool pass_through = false;
    const BoolArg flags[] = {
        {kAllowPartial, "allow_partial", &o.allow_partial},
        {kSealed, "sealed", &o.sealed},
        {kAccessorWritable, "accessor_writable", &o.accessor_writable},
        {kAsObjectAttributes, "as_object_attributes_container", &o.as_object_attributes_container},
        {kWrap, "wrap", &o.wrap},
        {kPassThrough, "pass_through", &pass_through},
        {kUnderTopo, "under_topo", &o.enable_topo},
    };
    if (!read_bool_args(a, flags)) return -1;
    if (a.given(kAssign) && a[kAssign] != Py_None) {
        if (!py::arg_str("assign", a[kAssign])) return -1;
        o.assign = a[kAssign];
    }
    o.onchange_callback = a.given(kOnChange) ? none_as_absent(a[kOnChange]) : nullptr;
    o.root_path = a.given(kRootPath) ? none_as_absent(a[kRootPath]) : nullptr;
    o.mode = pass_through ? Mode::PassThrough : Mode::Formalize;
    PyObject* spec = a.given(kValueSpec) ? none_as_absent(a[kValueSpec]) : nullptr;
    if (spec && !is_dict_spec(spec)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'value_spec' must be a `vk.typing.Dict` object. Encountered %S",
                     spec);
        return -1;
    }
    PyObject* source = a.given(kSource) ? none_as_absent(a[kSource]) : nullptr;
    if (source && PyDict_CheckExact(source) && a.extra().empty()) {
        o.items_borrowed = true;
        return construct_into(self, source, spec, o);
    }
    py::Ref items = source_items(source, a.extra());
    if (!items) return -1;
    return construct_into(self, items.get(), spec, o);
}

}  // namespace

int sym_dict_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return py::init_from_tuple(sym_dict_type(), kInitParams, init_with, self, args, kwds);
}

PyObject* sym_dict_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return py::construct_from_vector<DictState>(sym_dict_type(), kInitParams, init_with, callable,
                                                args, nargsf, kwnames);
}

}  // namespace vesk::symbolic::dict
