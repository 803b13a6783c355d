// Construction of a symbolic object from the already validated values of a
// clone: the package's clone builds the values, this constructs the new
// instance around them, copies its non-symbolic attributes from the source,
// runs the construction hooks and seals it.
#include "kernel/record/layout.hpp"
#include "kernel/record/slots.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/records/record_construct.hpp"
#include "symbolic/object/records/record_meta.hpp"
#include "symbolic/object/seams/seam_ops.hpp"

namespace vesk::symbolic::object {

namespace {

// A record is built as its native initialiser builds one, except that the
// values go into their cells as given: they were validated when the source
// was made.
[[nodiscard]] int clone_construct_record(PyObject* inst, bool allow_partial, bool sealed,
                                         PyObject* kwargs, const CloneSource& clone) {
    RecordFacts facts;
    if (!required_record_meta(reinterpret_cast<PyObject*>(Py_TYPE(inst)), facts)) return -1;
    const SealedArg seal = sealed ? SealedArg::Yes : SealedArg::No;
    // A construction that fails gives each child it placed back its place.
    AdoptionLog log(inst);
    if (record_seed_node_state(inst, allow_partial, seal, nullptr) < 0 ||
        !kernel::record::write_fields(inst, facts.slot_field_names.get(), kwargs))
        return -1;
    if (facts.has_symbolic_fields() &&
        record_adopt_children(inst, facts.symbolic_field_names.get()) < 0)
        return -1;
    if (record_finish(inst, sealed, &clone) < 0) return -1;
    log.keep();
    return 1;
}

}  // namespace

int clone_construct(PyObject* obj, bool allow_partial, bool sealed, PyObject* kwargs,
                    const CloneSource& clone) {
    if (is_sym_object(obj)) {
        ConstructRequest request;
        request.self = obj;
        request.sealed = sealed ? SealedArg::Yes : SealedArg::No;
        request.kwargs = kwargs;
        request.allow_partial = allow_partial;
        request.clone = &clone;
        return construct(request) < 0 ? -1 : 1;
    }
    // A record without node-state cells (a kernel probe record) has nowhere
    // to keep its parent, path and flags: the package builds it itself.
    const kernel::record::RecordLayout* layout = kernel::record::layout_of(obj);
    if (!layout || layout->root_reserved == 0) return 0;
    return clone_construct_record(obj, allow_partial, sealed, kwargs, clone);
}

}  // namespace vesk::symbolic::object
