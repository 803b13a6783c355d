// StrKey: any string key, optionally restricted by a regular expression that
// must match at the start of the key.
#include "typing/key_specs/common.hpp"
#include "typing/key_specs/key_specs.hpp"

#include "formatting/formatting.hpp"
#include "py/args.hpp"
#include "py/named.hpp"
#include "py/methods.hpp"
#include "py/type.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing::key_specs {

namespace {

constexpr const char kSerializationKey[] = "vesk.typing.StrKey";

py::TypeCell TYPE;

// Immutable after construction: read without a borrow.
struct StrKeyState {
    py::Ref regex;  // the compiled pattern; null matches every string
};

PyObject* regex_of(PyObject* self) noexcept { return py::state<StrKeyState>(self).regex.get(); }

// The pattern's source text; a `pattern` that is not a str is refused.
py::Ref pattern_text(PyObject* regex) {
    py::Ref text;
    return regex_pattern_str(regex, text) < 0 ? py::Ref() : text;
}

// A new key of `type`. `regex` may be null (omitted); None and any value
// whose truth is false give no regex; anything else goes to `re.compile`.
py::Ref make(PyTypeObject* type, PyObject* regex) {
    py::Ref compiled;
    if (regex && regex != Py_None) {
        const int truth = PyObject_IsTrue(regex);
        if (truth < 0) return {};
        if (truth) {
            compiled = py::call_imported<"re", "compile">(regex);
            if (!compiled) return {};
        }
    }
    py::Ref self = py::alloc<StrKeyState>(type);
    if (!self) return {};
    py::state<StrKeyState>(self.get()).regex = std::move(compiled);
    return self;
}

py::Params<1> kNewSig{"StrKey", {"regex"}, 1, 0};

PyObject* sk_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    if (!py::parse(kNewSig, args, kwds, a)) return nullptr;
    return make(type, a[0]).release();
}

Py_hash_t sk_hash(PyObject* self) {
    PyObject* regex = regex_of(self);
    py::Ref text = regex ? pattern_text(regex) : py::Ref::steal(PyUnicode_FromString(".*"));
    return text ? PyObject_Hash(text.get()) : -1;
}

PyObject* sk_format(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    PyObject* regex = regex_of(self);
    py::Ref text = regex ? pattern_text(regex) : py::Ref::borrow(Py_None);
    if (!text) return nullptr;
    py::Ref item = py::Ref::steal(Py_BuildValue("(sOO)", "regex", text.get(), Py_None));
    if (!item) return nullptr;
    py::Ref items = py::Ref::steal(PyList_New(1));
    if (!items) return nullptr;
    PyList_SET_ITEM(items.get(), 0, item.release());
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{ss}", "label", "StrKey"));
    if (!kwargs) return nullptr;
    return formatting::call_kvlist_str(items.get(), kwargs.get()).release();
}

PyObject* sk_str(PyObject* self) { return sk_format(self, nullptr, 0, nullptr); }

PyObject* sk_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    bool equal = false;
    if (PyObject_TypeCheck(other, TYPE.peek())) {
        PyObject* a = regex_of(self);
        PyObject* b = regex_of(other);
        if (!a || !b) {
            equal = !a && !b;
        } else {
            const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
            if (eq < 0) return nullptr;
            equal = eq == 1;
        }
    }
    return py::boolean(op == Py_EQ ? equal : !equal);
}

PyObject* sk_regex(PyObject* self) {
    PyObject* regex = regex_of(self);
    return py::new_ref(regex ? regex : Py_None);
}
PyObject* sk_is_const(PyObject*) { return py::boolean(false); }
PyObject* sk_const_text(PyObject*) { return py::none(); }

PyObject* sk_match(PyObject* self, PyObject* key) {
    if (!PyUnicode_Check(key)) return py::boolean(false);
    PyObject* regex = regex_of(self);
    if (!regex) return py::boolean(true);
    py::Ref m = py::call_method<"match">(regex, key);
    if (!m) return nullptr;
    return py::boolean(m.get() != Py_None);
}

PyObject* sk_extend(PyObject* self, PyObject* base) {
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(self, base, Py_EQ));
    if (!eq) return nullptr;
    const int truth = PyObject_IsTrue(eq.get());
    if (truth < 0) return nullptr;
    if (!truth) return extend_reject(PyExc_KeyError, self, base, " for keys are different.");
    return py::new_ref(self);
}

// A copy shares the compiled pattern, which is immutable.
PyObject* sk_copy(PyObject* self) {
    PyTypeObject* type = str_key_type();
    if (!type) return nullptr;
    py::Ref copy = py::alloc<StrKeyState>(type);
    if (!copy) return nullptr;
    py::state<StrKeyState>(copy.get()).regex = py::Ref::borrow(regex_of(self));
    return copy.release();
}

PyObject* sk_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    return sk_copy(self);
}

PyObject* sk_to_json(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs != 0) {
        PyErr_SetString(PyExc_TypeError, "to_json() takes no positional arguments");
        return nullptr;
    }
    py::Ref dict = json_dict(kSerializationKey);
    if (!dict) return nullptr;
    if (PyObject* regex = regex_of(self)) {
        py::Ref text = pattern_text(regex);
        if (!text || PyDict_SetItemString(dict.get(), "regex", text.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* sk_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref regex;
    if (!from_json_field(a[0], "regex", regex)) return nullptr;
    PyTypeObject* type = str_key_type();
    return type ? make(type, regex.get()).release() : nullptr;
}

PyMethodDef kMethods[] = {
    py::method<sk_match>("match", kMatchParams),
    py::method<sk_extend>("extend", kExtendParams),
    py::method<sk_format>("format", format_doc()),
    py::method<sk_copy>("__copy__", kCopyParams),
    py::method<sk_deepcopy>("__deepcopy__", kDeepcopyParams),
    py::method<sk_to_json>("to_json", kToJsonParams),
    py::class_method<sk_from_json>("from_json", kFromJsonParams),
    py::kMethodsEnd,
};

PyGetSetDef kGetters[] = {
    py::getter<sk_regex>("regex"),
    py::getter<sk_is_const>("is_const"),
    py::getter<sk_const_text>("const_text"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* str_key_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.StrKey")
            .state<StrKeyState>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, sk_new>(),
                py::slot<Py_tp_hash, sk_hash>(),
                py::slot<Py_tp_str, sk_str>(),
                py::slot<Py_tp_richcompare, sk_richcompare>(),
            })
            .methods(kMethods)
            .getters(kGetters)
            .class_attr("__vesk_formattable__", Py_True)
            .class_attr("__serialization_key__", kSerializationKey);
    });
}

}  // namespace vesk::typing::key_specs
