#include "typing/key_specs/common.hpp"

#include "py/args.hpp"

#include <cstdio>

namespace vesk::typing::key_specs {

py::Params<1> kMatchParams{"match", {"key"}, 1, 1};
py::Params<1> kExtendParams{"extend", {"base"}, 1, 1};
py::Params<0> kCopyParams{"__copy__"};
py::Params<1> kDeepcopyParams{"__deepcopy__", {"_memo"}, 1, 1};
py::Params<0> kToJsonParams{"to_json", py::Keywords::Ignore};
py::Params<1> kFromJsonParams{"from_json", {"json_value"}, 1, 1, py::Keywords::Ignore};

const char* format_doc() {
    static const char* const DOC =
        py::signature_doc("format", "*args, **kwargs", py::Receiver::Self);
    return DOC;
}

py::Ref json_dict(const char* serialization_key) {
    py::Ref dict = py::Ref::steal(PyDict_New());
    py::Ref key = py::Ref::steal(PyUnicode_FromString(serialization_key));
    if (!dict || !key || PyDict_SetItemString(dict.get(), "_type", key.get()) < 0) return {};
    return dict;
}

bool from_json_field(PyObject* json_value, const char* name, py::Ref& out) {
    if (!PyDict_Check(json_value)) {
        py::raise_arg_type("json_value", "dict", json_value);
        return false;
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(json_value, name, &found) < 0) return false;
    out = py::Ref::steal(found);
    return true;
}

PyObject* extend_reject(PyObject* exc_type, PyObject* self, PyObject* base, const char* tail) {
    py::Ref self_text = py::Ref::steal(PyObject_Str(self));
    if (!self_text) return nullptr;
    py::Ref base_text = py::Ref::steal(PyObject_Str(base));
    if (!base_text) return nullptr;
    py::Ref msg = py::Ref::steal(
        PyUnicode_FromFormat("%U cannot extend %U%s", self_text.get(), base_text.get(), tail));
    if (msg) PyErr_SetObject(exc_type, msg.get());
    return nullptr;
}

bool index_i64(const char* name, PyObject* value, std::int64_t& out) {
    if (PyLong_Check(value)) return py::arg_i64(name, value, out);
    if (!PyIndex_Check(value)) {
        py::raise_arg_type(name, "int", value);
        return false;
    }
    py::Ref index = py::Ref::steal(PyNumber_Index(value));
    return index && py::arg_i64(name, index.get(), out);
}

std::optional<IntKey> read_int_key(PyObject* key) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return std::nullopt;
    if (overflow > 0) return IntKey{IntKey::Range::Above, 0};
    if (overflow < 0) return IntKey{IntKey::Range::Below, 0};
    return IntKey{IntKey::Range::Inside, static_cast<std::int64_t>(v)};
}

const char* bound_text(std::optional<std::int64_t> value, char (&buf)[24]) noexcept {
    if (!value) return "None";
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(*value));
    return buf;
}

}  // namespace vesk::typing::key_specs
