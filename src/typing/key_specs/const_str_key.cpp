// ConstStrKey: one constant string key. It hashes like its text and equals
// the plain str of that text, so both index the same dictionary slot.
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"

namespace vesk::typing::key_specs {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.ConstStrKey";

py::TypeCell TYPE;

// Immutable after construction: read without a borrow.
struct ConstStrKeyState {
    py::Ref text;  // an exact str without "."
};

PyObject* text_of(PyObject* self) noexcept { return py::state<ConstStrKeyState>(self).text.get(); }

// A new key of `type` holding `text` (a str, subclasses included).
py::Ref make(PyTypeObject* type, PyObject* text) {
    const Py_ssize_t len = PyUnicode_GetLength(text);
    if (len < 0) return {};
    const Py_ssize_t dot = PyUnicode_FindChar(text, '.', 0, len, 1);
    if (dot == -2) return {};
    if (dot >= 0) {
        py::Ref r = py::Ref::steal(PyObject_Repr(text));
        if (!r) return {};
        py::Ref msg = py::Ref::steal(
            PyUnicode_FromFormat("'.' cannot be used in key. Encountered: %U.", r.get()));
        if (msg) PyErr_SetObject(PyExc_KeyError, msg.get());
        return {};
    }
    // A str subclass is stored as a plain str: the key's text is plain data.
    py::Ref plain = py::Ref::steal(PyUnicode_FromObject(text));
    if (!plain) return {};
    py::Ref self = py::alloc<ConstStrKeyState>(type);
    if (!self) return {};
    py::state<ConstStrKeyState>(self.get()).text = std::move(plain);
    return self;
}

py::Params<1> kNewSig{"ConstStrKey", {"text"}, 1, 1};

PyObject* csk_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    if (!py::parse(kNewSig, args, kwds, a)) return nullptr;
    if (!py::arg_str("text", a[0])) return nullptr;
    return make(type, a[0]).release();
}

Py_hash_t csk_hash(PyObject* self) { return PyObject_Hash(text_of(self)); }

PyObject* csk_str(PyObject* self) { return py::new_ref(text_of(self)); }

// Equal to a str holding the same characters, or to another ConstStrKey with
// the same text. Strings are compared as strings, never re-encoded, so a
// text holding a lone surrogate compares like any other.
PyObject* csk_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    PyObject* other_text = nullptr;
    if (PyUnicode_Check(other))
        other_text = other;
    else if (is_const_str_key(other))
        other_text = text_of(other);
    bool equal = false;
    if (other_text) {
        const int eq = PyUnicode_Equal(text_of(self), other_text);
        if (eq < 0) return nullptr;
        equal = eq == 1;
    }
    return py::boolean(op == Py_EQ ? equal : !equal);
}

PyObject* csk_text(PyObject* self) { return py::new_ref(text_of(self)); }
PyObject* csk_is_const(PyObject*) { return py::boolean(true); }

PyObject* csk_match(PyObject* self, PyObject* key) {
    // The stored text on the left: a str key, or a ConstStrKey through its
    // reflected equality, both match.
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(text_of(self), key, Py_EQ));
    if (!eq) return nullptr;
    const int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    return py::boolean(truth);
}

PyObject* csk_extend(PyObject* self, PyObject* base) {
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(self, base, Py_EQ));
    if (!eq) return nullptr;
    const int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    if (!truth) return extend_reject(PyExc_KeyError, self, base, " for keys are different.");
    return py::new_ref(self);
}

PyObject* csk_copy(PyObject* self) { return make(const_str_key_type(), text_of(self)).release(); }

PyObject* csk_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    return csk_copy(self);
}

PyObject* csk_to_json(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs != 0) {
        PyErr_SetString(PyExc_TypeError, "to_json() takes no positional arguments");
        return nullptr;
    }
    py::Ref dict = json_dict(kSerializationKey);
    if (!dict || PyDict_SetItemString(dict.get(), "text", text_of(self)) < 0) return nullptr;
    return dict.release();
}

PyObject* csk_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref text;
    if (!from_json_field(a[0], "text", text)) return nullptr;
    if (!text) {
        PyErr_SetString(PyExc_KeyError, "text");
        return nullptr;
    }
    if (!py::arg_str("text", text.get())) return nullptr;
    PyTypeObject* type = const_str_key_type();
    return type ? make(type, text.get()).release() : nullptr;
}

// Formatting ignores every option: a constant key renders as its text.
PyObject* csk_format(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return py::new_ref(text_of(self));
}

PyMethodDef kMethods[] = {
    py::method<csk_match>("match", kMatchParams),
    py::method<csk_extend>("extend", kExtendParams),
    py::method<csk_copy>("__copy__", kCopyParams),
    py::method<csk_to_json>("to_json", kToJsonParams),
    py::class_method<csk_from_json>("from_json", kFromJsonParams),
    py::method<csk_format>("format", format_doc()),
    py::method<csk_deepcopy>("__deepcopy__", kDeepcopyParams),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<csk_text>("text"),
    py::getter<csk_text>("const_text"),
    py::getter<csk_is_const>("is_const"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* const_str_key_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.ConstStrKey")
            .state<ConstStrKeyState>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, csk_new>(),
                py::slot<Py_tp_hash, csk_hash>(),
                py::slot<Py_tp_str, csk_str>(),
                py::slot<Py_tp_richcompare, csk_richcompare>(),
            })
            .methods(kMethods)
            .getters(kGetters)
            .class_attr("__vesk_formattable__", Py_True)
            .class_attr("__vesk_str_key__", Py_True)
            .class_attr("__serialization_key__", kSerializationKey);
    });
}

bool is_const_str_key(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyObject_TypeCheck(obj, type);
}

PyObject* const_str_key_text(PyObject* key) noexcept { return text_of(key); }

}  // namespace vesk::typing::key_specs
