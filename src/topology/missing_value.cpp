#include "topology/missing_value.hpp"

#include "py/args.hpp"
#include "py/class_attr.hpp"
#include "py/errors.hpp"
#include "py/function.hpp"
#include "py/heap_type.hpp"
#include "py/kwargs.hpp"
#include "py/module.hpp"
#include "py/tuple_args.hpp"

#include <atomic>

namespace vesk::topology {

namespace {

constexpr const char kText[] = "MISSING_VALUE";
constexpr const char kSerializationKey[] = "vesk.topology._missing.MissingValue";
// The module and class names run together: the seed of the shared hash.
constexpr const char kHashSeed[] = "vesk.topology._missingMissingValue";

py::TypeCell type_cell;
py::ObjectCell singleton_cell;
py::ObjectCell text_cell;
// -1 is never a valid hash result, so it marks the empty cell. Every thread
// computes the same value, so a racing fill is harmless.
std::atomic<Py_hash_t> hash_cell{-1};

PyTypeObject* type_or_null() noexcept { return type_cell.peek(); }

[[nodiscard]] py::Ref new_instance(PyTypeObject* type) {
    return py::Ref::steal(type->tp_alloc(type, 0));
}

[[nodiscard]] py::Ref new_missing() {
    PyTypeObject* type = missing_value_type();
    if (!type) return {};
    return new_instance(type);
}

PyObject* text() {
    return text_cell.get_or_init([] { return py::Ref::steal(PyUnicode_InternFromString(kText)); });
}

// --- type slots -----------------------------------------------------------

const py::Signature new_sig{"MissingValue", {}, 0, 0};

PyObject* mv_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    std::vector<py::Ref> keep;
    if (!py::parse_tuple_args(new_sig, args, kwds, nullptr, keep)) return nullptr;
    return new_instance(type).release();
}

PyObject* mv_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (!py::parse_args(new_sig, args, PyVectorcall_NARGS(nargsf), kwnames, nullptr))
        return nullptr;
    return new_instance(reinterpret_cast<PyTypeObject*>(type)).release();
}

PyObject* mv_str(PyObject*) { return py::new_ref(text()); }

Py_hash_t mv_hash(PyObject*) {
    Py_hash_t h = hash_cell.load(std::memory_order_acquire);
    if (h != -1) return h;
    py::Ref seed = py::Ref::steal(PyUnicode_FromString(kHashSeed));
    if (!seed) return -1;
    h = PyObject_Hash(seed.get());
    if (h == -1) return -1;  // the cell stays empty; the next hash tries again
    hash_cell.store(h, std::memory_order_release);
    return h;
}

PyObject* mv_richcompare(PyObject* self, PyObject* other, int op) {
    PyTypeObject* type = type_or_null();
    if (!type || Py_TYPE(self) != type || (op != Py_EQ && op != Py_NE))
        return py::not_implemented();
    const bool same = Py_TYPE(other) == type;
    return py::boolean(op == Py_EQ ? same : !same);
}

// --- methods --------------------------------------------------------------

PyObject* mv_format(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    return py::new_ref(text());
}

PyObject* mv_copy(PyObject*, PyObject*) { return new_missing().release(); }

const py::Signature deepcopy_sig{"__deepcopy__", {"_memo"}, 1, 1};

PyObject* mv_deepcopy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(deepcopy_sig, args, nargs, kwnames, a)) return nullptr;
    return new_missing().release();
}

PyObject* mv_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

const py::Signature to_json_sig{"to_json", {}, 0, 0};

PyObject* mv_to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    // Keywords are accepted and ignored; positional arguments are not.
    if (!py::parse_args(to_json_sig, args, nargs, nullptr, nullptr)) return nullptr;
    py::Ref dict = py::Ref::steal(PyDict_New());
    py::Ref key = py::Ref::steal(PyUnicode_FromString(kSerializationKey));
    if (!dict || !key || PyDict_SetItemString(dict.get(), "_type", key.get()) < 0) return nullptr;
    return dict.release();
}

const py::Signature from_json_sig{"from_json", {"_json_value"}, 1, 1};
py::NameTuple from_json_names{from_json_sig};

PyObject* mv_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The value must be given (positionally or by name) but is never
    // inspected; other keywords are taken and ignored, as `**kwargs` would.
    PyObject* a[1];
    py::ExtraKeywords ignored;
    return py::call_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!py::parse_args_kw(from_json_sig, from_json_names, args, nargs, kwnames, a, ignored))
            return nullptr;
        return new_missing().release();
    });
}

PyMethodDef methods[] = {
    py::fastcall("format", mv_format),
    py::noargs("__copy__", mv_copy),
    py::fastcall("__deepcopy__", mv_deepcopy),
    py::noargs("__reduce__", mv_reduce),
    py::fastcall("to_json", mv_to_json),
    py::classmethod("from_json", mv_from_json),
    py::kMethodsEnd,
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Value placeholder for an unassigned symbolic field.")},
    {Py_tp_new, reinterpret_cast<void*>(mv_new)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(mv_vectorcall)},
    {Py_tp_str, reinterpret_cast<void*>(mv_str)},
    {Py_tp_repr, reinterpret_cast<void*>(mv_str)},
    {Py_tp_hash, reinterpret_cast<void*>(mv_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(mv_richcompare)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

// The dotted prefix of the name becomes `__module__`: the class belongs to
// the package's module, where pickles look it up. No BASETYPE flag: final.
PyType_Spec spec = {
    "vesk.topology._missing.MissingValue",
    sizeof(PyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

int finish_type(PyTypeObject* type) {
    if (py::set_class_attr(type, "__vesk_formattable__", py::Ref::borrow(Py_True)) < 0) return -1;
    return py::set_class_attr(type, "__serialization_key__",
                              py::Ref::steal(PyUnicode_FromString(kSerializationKey)));
}

PyObject* singleton_fn(PyObject*, PyObject*) {
    return py::call_guard<PyObject*>(nullptr, [] { return py::Ref::borrow(missing_value()).release(); });
}

PyMethodDef singleton_def = py::noargs(
    "missing_value_singleton", singleton_fn,
    "Return the canonical `MISSING_VALUE` singleton (one cached instance).");

}  // namespace

PyTypeObject* missing_value_type() { return type_cell.get(spec, nullptr, finish_type); }

PyObject* missing_value() {
    // Concurrent first callers may each make an instance; the cell keeps one
    // and every caller returns that one.
    return singleton_cell.get_or_init(new_missing);
}

int register_missing_value(PyObject* module) {
    if (py::add_type(module, missing_value_type()) < 0) return -1;
    return py::add_function(module, &singleton_def);
}

}  // namespace vesk::topology
