#include "topology/missing_value.hpp"

#include "py/args.hpp"
#include "py/deferred.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"

#include <atomic>

namespace vesk::topology {

namespace {

constexpr const char kText[] = "MISSING_VALUE";
constexpr const char kSerializationKey[] = "vesk.topology._missing.MissingValue";
// The module and class names run together: the seed of the shared hash.
constexpr const char kHashSeed[] = "vesk.topology._missingMissingValue";

py::TypeCell TYPE;
py::ObjectCell SINGLETON;
// -1 is never a valid hash result, so it marks the empty cell. Every thread
// computes the same value, so a racing fill is harmless.
std::atomic<Py_hash_t> HASH{-1};

[[nodiscard]] py::Ref new_missing() {
    PyTypeObject* type = missing_value_type();
    if (!type) return {};
    py::Ref made = py::alloc<py::NoState>(type);
    // The old value of every added member's update, which stores it: on the
    // free-threaded build each store and release would be an atomic update
    // of its count shared by every thread. The cell keeps it for the life of
    // the process (a losing racer's one is never freed: one small object).
    if (made) py::keep_for_good(made.get());
    return made;
}

// --- type slots -----------------------------------------------------------

py::Params kNewParams{"MissingValue"};

PyObject* mv_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<0> a;
    if (!py::parse(kNewParams, args, kwds, a)) return nullptr;
    return py::alloc<py::NoState>(type).release();
}

PyObject* mv_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kNewParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return py::alloc<py::NoState>(reinterpret_cast<PyTypeObject*>(type)).release();
}

PyObject* mv_str(PyObject*) {
    PyObject* text;
    return py::intern<kText>(text) ? py::new_ref(text) : nullptr;
}

Py_hash_t mv_hash(PyObject*) {
    Py_hash_t h = HASH.load(std::memory_order_acquire);
    if (h != -1) return h;
    py::Ref seed = py::Ref::steal(PyUnicode_FromString(kHashSeed));
    if (!seed) return -1;
    h = PyObject_Hash(seed.get());
    if (h == -1) return -1;  // the cell stays empty; the next hash tries again
    HASH.store(h, std::memory_order_release);
    return h;
}

PyObject* mv_richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* type = TYPE.peek();
    if (!type || Py_TYPE(self) != type || (op != Py_EQ && op != Py_NE))
        return py::not_implemented();
    const bool same = Py_TYPE(other) == type;
    return py::boolean(op == Py_EQ ? same : !same);
}

// --- methods --------------------------------------------------------------

PyObject* mv_format(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return mv_str(self);
}

PyObject* mv_copy(PyObject*) { return new_missing().release(); }

py::Params kDeepcopyParams{"__deepcopy__", {"_memo"}, 1, 1};

PyObject* mv_deepcopy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    return new_missing().release();
}

PyObject* mv_reduce(PyObject* self) {
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

// Keywords are accepted and ignored; positional arguments are not.
py::Params kToJsonParams{"to_json", py::Keywords::Ignore};

PyObject* mv_to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kToJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref dict = py::Ref::steal(PyDict_New());
    py::Ref key = py::Ref::steal(PyUnicode_FromString(kSerializationKey));
    if (!dict || !key || PyDict_SetItemString(dict.get(), "_type", key.get()) < 0) return nullptr;
    return dict.release();
}

// The value must be given (positionally or by name) but is never inspected;
// other keywords are taken and ignored, as `**kwargs` would.
py::Params kFromJsonParams{"from_json", {"_json_value"}, 1, 1, py::Keywords::Ignore};

PyObject* mv_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    return new_missing().release();
}

PyMethodDef methods[] = {
    py::method<mv_format>("format"),
    py::method<mv_copy>("__copy__"),
    py::method<mv_deepcopy>("__deepcopy__"),
    py::method<mv_reduce>("__reduce__"),
    py::method<mv_to_json>("to_json"),
    py::class_method<mv_from_json>("from_json"),
    py::kMethodsEnd,
};

// The dotted prefix of the name becomes `__module__`: the class belongs to
// the package's module, where pickles look it up.
void declare(py::TypeDef& t) {
    t.name("vesk.topology._missing.MissingValue")
        .doc("Value placeholder for an unassigned symbolic field.")
        .state<py::NoState>()
        .final_()
        .slots({
            py::slot<Py_tp_new, mv_new>(),
            py::slot<Py_tp_str, mv_str>(),
            py::slot<Py_tp_repr, mv_str>(),
            py::slot<Py_tp_hash, mv_hash>(),
            py::slot<Py_tp_richcompare, mv_richcompare>(),
        })
        .vectorcall<mv_vectorcall>()
        .methods(methods)
        .class_attr("__vesk_formattable__", Py_True)
        .class_attr("__serialization_key__", kSerializationKey);
}

PyObject* missing_value_singleton(PyObject*) { return py::Ref::borrow(missing_value()).release(); }

PyMethodDef functions[] = {
    py::method<missing_value_singleton>(
        "missing_value_singleton",
        "Return the canonical `MISSING_VALUE` singleton (one cached instance)."),
    py::kMethodsEnd,
};

}  // namespace

PyTypeObject* missing_value_type() { return TYPE.get(declare); }

PyObject* missing_value() {
    // Concurrent first callers may each make an instance; the cell keeps one
    // and every caller returns that one.
    return SINGLETON.get_or_init(new_missing);
}

int register_missing_value(PyObject* module) {
    if (py::add_type(module, missing_value_type()) < 0) return -1;
    return py::add_functions(module, functions);
}

}  // namespace vesk::topology
