#include "symbolic/object/records/record_init.hpp"

#include "kernel/record/slots.hpp"
#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/lazy.hpp"
#include "py/named.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/records/record_construct.hpp"
#include "symbolic/object/records/record_direct.hpp"
#include "symbolic/object/records/record_meta.hpp"

namespace vesk::symbolic::object {

namespace record = kernel::record;

namespace {

// Removes the keyword `Name` from the dict `kwargs`: 1 with its value in
// `out`, 0 when absent, -1.
template <py::Literal Name>
int pop(PyObject* kwargs, py::Ref& out) {
    PyObject* key;
    if (!py::intern<Name>(key)) return -1;
    return pop_kw(kwargs, key, out);
}

}  // namespace

int record_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const int deferred = defer_positional_to_python_init(self, args, kwargs, "native record tp_init");
    if (deferred != 0) return -1;
    bool allow_partial = false;
    bool explicit_init = false;
    SealedArg sealed = SealedArg::Unspecified;
    py::Ref root_path;
    if (kwargs) {
        if (!PyDict_Check(kwargs)) {
            py::raise_not_instance(kwargs, "dict");
            return -1;
        }
        py::Ref v;
        int r = pop<"allow_partial">(kwargs, v);
        if (r < 0 || (r && !py::arg_bool_scalar("allow_partial", v.get(), allow_partial)))
            return -1;
        r = pop<"sealed">(kwargs, v);
        if (r < 0) return -1;
        if (r && v.get() != Py_None) {
            bool b = false;
            if (!py::arg_bool_scalar("sealed", v.get(), b)) return -1;
            sealed = b ? SealedArg::Yes : SealedArg::No;
        }
        r = pop<"root_path">(kwargs, v);
        if (r < 0) return -1;
        if (r && v.get() != Py_None) root_path = std::move(v);
        r = pop<"explicit_init">(kwargs, v);
        if (r < 0 || (r && !py::arg_bool_scalar("explicit_init", v.get(), explicit_init)))
            return -1;
    }
    // Only a record may be built in place: anything else is refused before
    // any of its memory is addressed.
    if (!record::require_record(self)) return -1;
    PyObject* cls = py::class_of(self);
    if (explicit_init) {
        py::Ref name = py::get_attr<"__name__">(cls);
        if (name)
            PyErr_Format(PyExc_NotImplementedError,
                         "%S: `slots=True` does not yet support `explicit_init` (a cooperative "
                         "`super().__init__()` co-base under multiple inheritance).",
                         name.get());
        return -1;
    }
    py::Ref meta;
    if (!required_record_meta_object(cls, meta)) return -1;
    // Read in place: a meta is never held exclusively, so Python code run
    // meanwhile cannot break the hold.
    py::Shared<RecordFacts> held(meta.get());
    if (!held || !facts_intact(*held)) return -1;
    const RecordFacts& facts = *held;
    const bool is_sealed = sealed == SealedArg::Unspecified ? facts.frozen : sealed == SealedArg::Yes;
    // A construction that fails gives each child it placed back the place
    // it had.
    const ConstructionClaims claims;
    AdoptionLog log(self);
    // Nor does it leave the containers it was given changed by its fields'
    // specs (container/pass_log.hpp).
    ConstructionLog applied(self, kwargs, log);
    const int direct =
        record_init_direct(self, facts, kwargs, allow_partial, is_sealed, root_path.get());
    if (direct != 0) {
        if (direct < 0) return -1;
        // Once it stands, a notification that fails leaves it standing.
        const int told = applied.commit();
        log.keep();
        return told;
    }
    if (record_seed_facts(self, allow_partial, is_sealed, facts.attr_write, root_path.get()) < 0)
        return -1;
    const bool symbolic = facts.has_symbolic_fields();
    py::Ref transform;
    if (symbolic) {
        const ObjectBridge* b = object_bridge();
        if (!b) return -1;
        if (!make_child_transform(b->symbolic_transform_fn.get(), allow_partial, transform))
            return -1;
    }
    if (record_construct_cells_from(self, facts, facts.slot_field_names.get(), kwargs,
                                    allow_partial, transform.get(), root_path.get()) < 0)
        return -1;
    if (symbolic && record_adopt_children(self, facts.symbolic_field_names.get()) < 0) return -1;
    if (record_finish(self, is_sealed, nullptr) < 0) return -1;
    const int told = applied.commit();
    log.keep();
    return told;
}

}  // namespace vesk::symbolic::object
