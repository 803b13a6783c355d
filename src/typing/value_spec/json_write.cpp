// SpecBase.to_json: "_type", "default", the kind's own keys and the
// trailing flags, in a fixed order per kind.
#include "typing/value_spec/json_write.hpp"

#include "py/args.hpp"
#include "py/borrow.hpp"
#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing {

namespace {

// Fills one result dictionary; every method returns false with an
// exception set when a write or a nested conversion fails.
class Writer {
public:
    Writer(PyObject* out, PyObject* kwargs) noexcept : out_(out), kwargs_(kwargs) {}

    // The object itself, unconverted.
    template <py::Literal Key>
    bool put(PyObject* value) {
        PyObject* key = py::intern<Key>();
        return key && PyDict_SetItem(out_, key, value) == 0;
    }
    // The object passed through the bridge's `to_json`.
    template <py::Literal Key>
    bool conv(PyObject* value) {
        py::Ref json = call_to_json(value, kwargs_);
        return json && put<Key>(json.get());
    }
    template <py::Literal Key>
    bool conv_if(const py::Ref& value) {
        return !value || conv<Key>(value.get());
    }
    template <py::Literal Key>
    bool true_if(bool set) {
        return !set || put<Key>(Py_True);
    }
    template <py::Literal Key>
    bool tri(Tri value) {
        return value == Tri::Unset || put<Key>(value == Tri::True ? Py_True : Py_False);
    }
    template <py::Literal Key>
    bool size(std::int64_t value) {
        py::Ref n = py::Ref::steal(PyLong_FromLongLong(value));
        return n && put<Key>(n.get());
    }
    template <py::Literal Key>
    bool size(std::optional<std::int64_t> value) {
        return !value || size<Key>(*value);
    }

    // The trailing flags, in the three orders the kinds use.
    bool noneable_frozen(const SpecEngine& e) {
        return true_if<"is_noneable">(e.is_noneable) && tri<"strict">(e.strict) &&
               true_if<"frozen">(e.frozen);
    }
    bool noneable_frozen_strict_last(const SpecEngine& e) {
        return true_if<"is_noneable">(e.is_noneable) && true_if<"frozen">(e.frozen) &&
               tri<"strict">(e.strict);
    }
    bool strict(const SpecEngine& e) { return tri<"strict">(e.strict); }

private:
    PyObject* out_;
    PyObject* kwargs_;
};

bool write_str(Writer& w, const SpecEngine& e) {
    py::Ref pattern;
    if (regex_pattern_str(std::get<StrKind>(e.kind).regex.get(), pattern) < 0) return false;
    return (!pattern || w.put<"regex">(pattern.get())) && w.noneable_frozen(e);
}

bool write_number(Writer& w, const SpecEngine& e) {
    const NumberKind& n = std::get<NumberKind>(e.kind);
    return (!n.min_value || w.put<"min_value">(n.min_value.get())) &&
           (!n.max_value || w.put<"max_value">(n.max_value.get())) && w.noneable_frozen(e);
}

bool write_enum(Writer& w, const SpecEngine& e) {
    return w.conv<"values">(std::get<EnumKind>(e.kind).values.get()) &&
           w.true_if<"frozen">(e.frozen) && w.strict(e);
}

bool write_any(Writer& w, const SpecEngine& e) {
    PyObject* annotation = std::get<AnyKind>(e.kind).annotation.get();
    const int missing = is_missing(annotation);
    if (missing < 0) return false;
    return (missing || w.conv<"annotation">(annotation)) && w.conv_if<"transform">(e.transform) &&
           w.true_if<"frozen">(e.frozen) && w.strict(e);
}

bool write_list(Writer& w, const SpecEngine& e) {
    const ListKind& l = std::get<ListKind>(e.kind);
    return w.conv<"element_value">(l.element.get()) && w.tri<"symbolic">(l.symbolic) &&
           (l.auto_wrap || w.put<"auto_wrap">(Py_False)) && w.size<"min_size">(l.min_size) &&
           w.size<"max_size">(l.max_size) && w.conv_if<"transform">(e.transform) &&
           w.noneable_frozen(e);
}

// A fixed form writes the list of its positions' specs (an empty list for
// the zero-length form) and no sizes; a variable form its one element spec
// and its bounds.
bool write_tuple(Writer& w, const SpecEngine& e) {
    const TupleKind& t = std::get<TupleKind>(e.kind);
    py::Ref values = containers::tuple_element_values(t);
    if (!values || !w.conv<"element_values">(values.get())) return false;
    if (!t.fixed_length && !(w.size<"min_size">(t.min_size) && w.size<"max_size">(t.max_size)))
        return false;
    return w.conv_if<"transform">(e.transform) && w.noneable_frozen(e);
}

bool write_union(Writer& w, const SpecEngine& e) {
    return w.conv<"candidates">(std::get<UnionKind>(e.kind).candidates.get()) &&
           w.noneable_frozen(e);
}

bool write_object(Writer& w, const SpecEngine& e) {
    py::Ref cls;
    if (value_type_obj(e, cls) < 0) return false;
    if (!cls) {
        py::raise_internal("Object resolves to a class");
        return false;
    }
    return w.conv<"t">(cls.get()) && w.conv_if<"transform">(e.transform) && w.noneable_frozen(e);
}

bool write_type(Writer& w, const SpecEngine& e) {
    return w.conv<"t">(std::get<TypeKind>(e.kind).t.get()) && w.noneable_frozen(e);
}

bool write_dict(Writer& w, const SpecEngine& e) {
    const DictKind& d = std::get<DictKind>(e.kind);
    return (d.schema.get() == Py_None || w.conv<"schema">(d.schema.get())) &&
           w.conv_if<"transform">(e.transform) && w.tri<"symbolic">(d.symbolic) &&
           (d.auto_wrap || w.put<"auto_wrap">(Py_False)) && w.noneable_frozen_strict_last(e);
}

bool write_callable(Writer& w, const SpecEngine& e) {
    const CallableKind& c = std::get<CallableKind>(e.kind);
    return (PyList_Size(c.args.get()) == 0 || w.conv<"args">(c.args.get())) &&
           (PyList_Size(c.kw.get()) == 0 || w.conv<"kw">(c.kw.get())) &&
           w.conv_if<"returns">(c.returns) && w.conv_if<"transform">(e.transform) &&
           (c.is_functor || w.conv_if<"callable_type">(e.value_type)) && w.noneable_frozen(e);
}

bool write_kind(Writer& w, const SpecEngine& e) {
    switch (e.id()) {
        case KindId::Bool: return w.noneable_frozen(e);
        case KindId::Str: return write_str(w, e);
        case KindId::Number: return write_number(w, e);
        case KindId::Enum: return write_enum(w, e);
        case KindId::Any: return write_any(w, e);
        case KindId::List: return write_list(w, e);
        case KindId::Tuple: return write_tuple(w, e);
        case KindId::Union: return write_union(w, e);
        case KindId::Object: return write_object(w, e);
        case KindId::Type: return write_type(w, e);
        case KindId::Dict: return write_dict(w, e);
        case KindId::Callable: return write_callable(w, e);
    }
    py::raise_internal("spec kind without a JSON form");
    return false;
}

// "default" is left out when there is none, and for a Dict whose default
// only mirrors its schema.
bool write_default(Writer& w, const SpecEngine& e) {
    if (const DictKind* d = kind_as<DictKind>(e.kind); d && d->default_from_schema) return true;
    const int missing = is_missing(e.default_value.get());
    if (missing < 0) return false;
    return missing || w.conv<"default">(e.default_value.get());
}

py::Params kToJsonSig{"to_json", py::Keywords::Collect};

}  // namespace

PyObject* spec_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kToJsonSig, args, nargs, kwnames, a)) return nullptr;
    py::Ref kwargs = json_kwargs(a.extra());
    if (!kwargs) return nullptr;
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    const SpecEngine& engine = spec_engine(self);
    // Nested specs come back here through the bridge: a spec nested in
    // itself (an Enum listing itself, say) ends in RecursionError.
    if (Py_EnterRecursiveCall(" while converting a value spec to JSON")) return nullptr;
    // The key follows the payload, never the Python class, so a subclass
    // of a spec class writes its kind's key.
    const char* key = ops(engine).serialization_key(engine.kind);
    py::Ref type_key = py::Ref::steal(PyUnicode_FromString(key));
    py::Ref out = py::Ref::steal(type_key ? PyDict_New() : nullptr);
    Writer w(out.get(), kwargs.get());
    const bool done = out && w.put<"_type">(type_key.get()) && write_default(w, engine) &&
                      write_kind(w, engine);
    Py_LeaveRecursiveCall();
    return done ? out.release() : nullptr;
}

}  // namespace vesk::typing
