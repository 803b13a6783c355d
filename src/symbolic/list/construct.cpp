// SymList construction: `__init__` with its three modes. Without a value
// spec the items are formalized without a field (primitives kept as they
// are, missing values dropped); with one and `pass_through` they are only
// adopted; otherwise the fused typed road takes an all-scalar list whole,
// or each item is formalized and the spec applied to the whole list.
#include "symbolic/list/list_ops.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "py/subclass_call.hpp"
#include "py/write_span.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/bool_args.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/list/held_members.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/policy.hpp"
#include "typing/applied_members.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::symbolic::list {

namespace {

enum Param : std::size_t {
    kItems, kValueSpec, kWrap, kAssign, kOnChange, kAllowPartial, kAccessorWritable, kSealed,
    kPassThrough, kRootPath, kParamCount,
};

py::Params<kParamCount> kInitParams{
    "SymList",
    {"items=None", "value_spec=None", "wrap=True", "assign=None", "onchange_callback=None",
     "allow_partial=False", "accessor_writable=True", "sealed=False", "pass_through=False",
     "root_path=None"},
    1,
    0};

enum class Mode : unsigned char { Schemaless, PassThrough, Schemaful };

struct Options {
    PyObject* spec = nullptr;  // a List spec, or null
    PyObject* assign = nullptr;
    PyObject* onchange_callback = nullptr;
    PyObject* root_path = nullptr;
    bool wrap = true;
    bool allow_partial = false;
    bool accessor_writable = true;
    bool sealed = false;
    bool pass_through = false;
};

bool read_options(const py::Args<kParamCount>& a, Options& o, PyObject*& items) {
    const BoolArg flags[] = {
        {kWrap, "wrap", &o.wrap},
        {kAllowPartial, "allow_partial", &o.allow_partial},
        {kAccessorWritable, "accessor_writable", &o.accessor_writable},
        {kSealed, "sealed", &o.sealed},
        {kPassThrough, "pass_through", &o.pass_through},
    };
    if (!read_bool_args(a, flags)) return false;
    if (a.given(kAssign) && a[kAssign] != Py_None) {
        if (!py::arg_str("assign", a[kAssign])) return false;
        o.assign = a[kAssign];
    }
    o.onchange_callback = a.given(kOnChange) ? none_as_absent(a[kOnChange]) : nullptr;
    o.root_path = a.given(kRootPath) ? none_as_absent(a[kRootPath]) : nullptr;
    o.spec = a.given(kValueSpec) ? none_as_absent(a[kValueSpec]) : nullptr;
    items = a.given(kItems) ? none_as_absent(a[kItems]) : nullptr;
    return true;
}

// The current length as the key of the next appended item.
py::Ref next_key(PyObject* self) {
    return py::Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(self)));
}

// Calls `f(item)` for each item of iterating `source`. 0 or -1.
template <class F>
int each_item(PyObject* source, F&& f) {
    py::Ref it = py::Ref::steal(PyObject_GetIter(source));
    if (!it) return -1;
    for (;;) {
        PyObject* raw = nullptr;
        const int r = PyIter_NextItem(it.get(), &raw);
        if (r <= 0) return r;
        if (f(py::Ref::steal(raw).get()) < 0) return -1;
    }
}

// An insertion marker among the items: its value written at the end by the
// core write; the update is not reported. 1 written, 0 not a marker, -1.
int write_marker(PyObject* self, const View& view, PyObject* element, PyObject* item) {
    const int marker = is_insertion(item);
    if (marker <= 0) return marker;
    py::Ref value = py::get_attr<"value">(item);
    py::Ref update;
    // The construction's own write: open to it, closed again to the
    // value's hooks by its adoption (py/write_span.hpp).
    const py::WriteSpan own(self, py::WriteSpan::Mode::Open);
    if (!value || core_write(self, view, element, PyList_GET_SIZE(self), value.get(), true,
                             update) < 0)
        return -1;
    return 1;
}

int append_formalized(PyObject* self, const View& view, PyObject* element, PyObject* item) {
    py::Ref formal = formalized_at(self, view, element, PyList_GET_SIZE(self), item);
    return formal ? PyList_Append(self, formal.get()) : -1;
}

// Only an item that is not primitive needs the bridges.
int fill_schemaless(PyObject* self, const View& view, PyObject* source) {
    return each_item(source, [&](PyObject* item) {
        if (is_primitive(item)) return PyList_Append(self, item);
        const int marker = write_marker(self, view, nullptr, item);
        if (marker != 0) return marker < 0 ? -1 : 0;
        const ContainerBridge* b = container_bridge();
        if (!b) return -1;
        const int skipped = PyObject_RichCompareBool(b->missing_value.get(), item, Py_EQ);
        if (skipped != 0) return skipped < 0 ? -1 : 0;
        return append_formalized(self, view, nullptr, item);
    });
}

// Items adopted as they are, with the element field's policy (else the
// list's own), taken once.
int fill_pass_through(PyObject* self, const View& view, PyObject* spec, PyObject* source) {
    py::Ref policy = view.assign;
    py::Ref element = py::get_attr<"element">(spec);
    if (!element) return -1;
    if (element.get() != Py_None) {
        py::Ref declared;
        if (!read_field_assign(element.get(), declared)) return -1;
        if (declared) policy = std::move(declared);
    }
    AdoptArgs adopt;
    adopt.adopting = view.enable_topo;
    adopt.owner_path = view.path.get();
    adopt.container = self;
    adopt.parent_to_set = self;
    adopt.policy = policy.get();
    return each_item(source, [&](PyObject* item) {
        if (is_primitive(item)) return PyList_Append(self, item);
        py::Ref key = next_key(self);
        if (!key) return -1;
        adopt.key = key.get();
        py::Ref adopted = adopt_child(item, adopt);
        return adopted ? PyList_Append(self, adopted.get()) : -1;
    });
}

bool is_primitive_type(PyObject* type) noexcept {
    return type == reinterpret_cast<PyObject*>(&PyLong_Type) ||
           type == reinterpret_cast<PyObject*>(&PyFloat_Type) ||
           type == reinterpret_cast<PyObject*>(&PyUnicode_Type) ||
           type == reinterpret_cast<PyObject*>(&PyBool_Type) ||
           type == reinterpret_cast<PyObject*>(&PyBytes_Type) ||
           type == reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
}

// The fused typed road, over the items just copied into the storage from
// `end` on: scalars of exactly the element spec's leaf class, within the
// size bounds, stay there and the spec is bound without any apply.
// 1 done, 0 declined (the items are left for the caller), -1.
int try_fused(PyObject* self, PyObject* spec, Py_ssize_t end) {
    if (!is_list_spec(spec)) return 0;
    py::Ref element;
    std::int64_t min_size = 0;
    std::optional<std::int64_t> max_size;
    {
        py::Shared<typing::SpecEngine> held(spec);
        if (!held) return -1;
        const auto* payload = typing::kind_as<typing::ListKind>(held->kind);
        if (!held->is_plain() || !payload) return 0;
        element = payload->element;
        min_size = payload->min_size;
        max_size = payload->max_size;
    }
    py::Ref leaf;
    if (!typing::funnel::spec_exact_leaf_type(element.get(), leaf)) return -1;
    if (!leaf) return 0;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(leaf.get());
    {
        py::CriticalSection guard(self);
        const Py_ssize_t total = PyList_GET_SIZE(self);
        const Py_ssize_t n = total - end;
        if (n < min_size || (max_size && n > *max_size)) return 0;
        if (n > 0 && !is_primitive_type(leaf.get())) return 0;
        for (Py_ssize_t i = end; i < total; ++i)
            if (Py_TYPE(PyList_GET_ITEM(self, i)) != type) return 0;
    }
    return bind_spec(self, spec) < 0 ? -1 : 1;
}

// The members a construction formalized through the element field of a
// spec bound before them (one that does not wrap them), which its binding
// step then need not apply again: from index `from` on.
struct Formalized {
    py::Ref field;
    Py_ssize_t from = 0;
    // Members the list held before this construction (a repeated
    // `__init__`), which only the spec's apply reaches.
    bool held = false;
};

// Whether `field` runs its apply on what it formalizes. A failed read
// counts as no: the members are then applied as the spec's apply would.
bool field_applies(PyObject* field) {
    const int validates = field_validates(field);
    if (validates < 0) PyErr_Clear();
    return validates > 0;
}

// Every item collected first, straight into the storage in one bulk copy
// where the fused road checks them in place; when it declines they are
// taken out again and each is formalized (with the element field when the
// spec is already bound, which `formalized` then names). 1 when the fused
// road bound the spec, 0 otherwise, -1.
//
// The list is held (`held`) from where the items are formalized to the end
// of the spec's pass, which names members by index; a list that held
// members before is held from the start.
int fill_schemaful(PyObject* self, const View& view, PyObject* spec, PyObject* source,
                   bool source_owned, std::optional<HeldMembers>& held,
                   Formalized& formalized) {
    const bool sequence = source_owned || PyList_CheckExact(source) || PyTuple_CheckExact(source);
    py::Ref collected = sequence ? py::Ref::borrow(source)
                                 : py::Ref::steal(PySequence_List(source));
    const Py_ssize_t end = PyList_GET_SIZE(self);
    if (!collected || PyList_SetSlice(self, end, end, collected.get()) < 0) return -1;
    const int fused = try_fused(self, spec, end);
    if (fused != 0) return fused;
    py::Ref items = py::Ref::steal(PyList_GetSlice(self, end, PY_SSIZE_T_MAX));
    if (!items || PyList_SetSlice(self, end, PY_SSIZE_T_MAX, nullptr) < 0) return -1;
    if (!held) {
        held.emplace();
        if (held->hold(self) < 0) return -1;
    }
    // The members held from before, counted under the hold.
    const Py_ssize_t start = PyList_GET_SIZE(self);
    formalized.held = start > 0;
    SpecReadings readings;
    if (!read_spec(view.spec.get(), kElement, readings)) return -1;
    PyObject* element = readings.element.get();
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        const int marker = write_marker(self, view, element, item);
        if (marker < 0 || (marker == 0 && append_formalized(self, view, element, item) < 0))
            return -1;
    }
    if (element && field_applies(element)) {
        formalized.field = py::Ref::borrow(element);
        formalized.from = start;
    }
    return 0;
}

int fill(PyObject* self, PyObject* items, const Options& o, Mode mode, bool& bound,
         std::optional<HeldMembers>& held, Formalized& formalized) {
    const int truth = PyObject_IsTrue(items);
    if (truth <= 0) return truth;
    // Another symbolic list gives its raw items, none resolved.
    py::Ref source = is_sym_list(items) ? raw_items(items) : py::Ref::borrow(items);
    View view;
    if (!source || !read_view(self, view)) return -1;
    switch (mode) {
        case Mode::Schemaless:
            return fill_schemaless(self, view, source.get());
        case Mode::PassThrough:
            return fill_pass_through(self, view, o.spec, source.get());
        case Mode::Schemaful: break;
    }
    const int fused =
        fill_schemaful(self, view, o.spec, source.get(), source.get() != items, held, formalized);
    bound = fused > 0;
    return fused < 0 ? -1 : 0;
}

}  // namespace

int reset_node(PyObject* self, NodeReset& r) {
    Released node_refs;
    py::Ref origin_dropped, spec_dropped, callback_dropped, assign_dropped;
    py::Exclusive<ListState> held(self);
    if (!held) return -1;
    ListState& s = *held;
    s.node.reset_for_construction(py::Ref::borrow(r.path), r.allow_partial, r.accessor_writable,
                                  false, node_refs);
    if (r.set_origin) origin_dropped = std::exchange(s.node.origin, std::move(r.origin));
    spec_dropped = std::exchange(s.value_spec, py::Ref::borrow(r.spec));
    s.spec_replaced();
    callback_dropped = std::move(s.onchange_callback);
    assign_dropped = std::exchange(s.assign, py::Ref::borrow(r.assign));
    s.wrap = r.wrap;
    held.release();
    return 0;
}

namespace {

// `__init__` with its arguments parsed.
int init_with(PyObject* self, const py::Args<kParamCount>& a) {
    Options o;
    PyObject* items = nullptr;
    if (!read_options(a, o, items)) return -1;
    if (o.spec && !is_list_spec(o.spec)) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'value_spec' must be a `vk.typing.List` object. Encountered %S.",
                     o.spec);
        return -1;
    }
    // A construction run again is a write into the list: refused while a
    // sort or a pass holds it, its own thread's included.
    if (refused_at_entry(self)) return -1;
    PyObject* root = o.root_path;
    if (!root) {
        const ContainerBridge* b = container_bridge();
        if (!b) return -1;
        root = b->empty_key_path.get();
    }
    const Mode mode = !o.spec          ? Mode::Schemaless
                      : o.pass_through ? Mode::PassThrough
                                       : Mode::Schemaful;
    // The items formalized here and the spec's pass over the whole list
    // that binds it name members by index: the list is held for both, so
    // another thread's insertion or removal cannot move them in between
    // (from the start where it holds members already; a new list only when
    // the fused road declines, fill_schemaful).
    std::optional<HeldMembers> held;
    if (items && mode == Mode::Schemaful && PyList_GET_SIZE(self) > 0) {
        held.emplace();
        if (held->hold(self) < 0) return -1;
    }
    // A spec that does not wrap raw members itself is bound before the
    // items are formalized; any other only by the binding step.
    NodeReset reset;
    reset.path = root;
    reset.spec = o.spec && !auto_wrap_answer(o.spec) ? o.spec : nullptr;
    reset.assign = o.assign;
    reset.allow_partial = o.allow_partial;
    reset.wrap = o.wrap;
    if (reset_node(self, reset) < 0 || store_default_origin<ListState>(self) < 0) return -1;
    // A construction that fails gives each child it placed back the place
    // it had: what failed to be made holds nothing.
    AdoptionLog log(self);
    bool bound = false;
    Formalized formalized;
    {
        // Python code run while the items are stored (their hooks, their
        // validation) meets the list closed to the thread's writes, which
        // would move what the construction appends after them
        // (py/write_span.hpp).
        const py::WriteSpan closed(self, py::WriteSpan::Mode::Closed);
        if (items && fill(self, items, o, mode, bound, held, formalized) < 0) return -1;
    }
    if (mode == Mode::PassThrough && bind_spec(self, o.spec) < 0) return -1;
    if (mode == Mode::Schemaful && !bound) {
        // The spec writes members back: open to those writes, closed again
        // to their hooks by each adoption.
        const py::WriteSpan own(self, py::WriteSpan::Mode::Open);
        // Members formalized through the element field have passed it.
        std::optional<typing::AppliedMembersScope> named;
        if (formalized.field) named.emplace(self, formalized.field.get(), formalized.from);
        // Members held from before must still be applied, also by a spec
        // bound before the new ones were formalized.
        std::optional<UnappliedMembersScope> unapplied;
        if (formalized.held) unapplied.emplace(self);
        if (use_value_spec(self, o.spec, o.allow_partial) < 0) return -1;
    }
    if (o.spec) note_looser_members<ListState>(self, o.allow_partial);
    if (finish_construction<ListState>(self, o.onchange_callback, o.accessor_writable, o.sealed) <
        0)
        return -1;
    log.keep();
    return 0;
}

}  // namespace

int sym_list_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return py::init_from_tuple(sym_list_type(), kInitParams, init_with, self, args, kwds);
}

PyObject* sym_list_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    return py::construct_from_vector<ListState>(sym_list_type(), kInitParams, init_with, callable,
                                                args, nargsf, kwnames);
}

}  // namespace vesk::symbolic::list
