// Spec extension: `SpecBase.extend(base)` makes the child a narrowing of a
// base spec. The child keeps every constraint it states, takes from the base
// what it leaves open (transform, strictness, bounds, regex, container
// parts) and is refused with TypeError when it would accept what the base
// refuses.
//
// Extension works in place and is not atomic: each change to the child is
// one exclusive hold (`with_child_held`) and what was stored before a later
// failure stays. The result is the child itself, except for a frozen child
// over an Enum base, which gives a new frozen Enum. Both specs are read
// through their Python attributes by name, so the base and every nested part
// may be any object offering them; nested parts are extended by calling
// their own `extend` by name. This file holds the steps common to every
// kind, in their fixed order; the kind's own rule is its table's `extend`.
#include "py/args.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/surface.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing {

namespace {

using extension::is_instance;

// The answer of a step: go on, finish with a result, or fail.
enum class Step : std::uint8_t { Next, Done, Error };

// An Object child over a Callable base that accepts it is kept as it is:
// nothing is inherited (its class is a callable the base can check).
Step object_over_callable(PyObject* child, PyObject* base) {
    const int is_object = is_instance(child, object_type);
    if (is_object <= 0) return is_object < 0 ? Step::Error : Step::Next;
    const int is_callable = is_instance(base, callable_type);
    if (is_callable <= 0) return is_callable < 0 ? Step::Error : Step::Next;
    const int compatible = spec_is_compatible(base, child);
    if (compatible < 0) return Step::Error;
    return compatible ? Step::Done : Step::Next;
}

int refuse_frozen_base(PyObject* child, PyObject* base) {
    py::Ref child_repr = py_repr(child);
    py::Ref base_repr = child_repr ? py_repr(base) : py::Ref();
    if (base_repr)
        PyErr_Format(PyExc_TypeError, "%U cannot extend a frozen value spec: %U",
                     child_repr.get(), base_repr.get());
    return -1;
}

// A frozen base takes only a frozen child with an equal default.
int check_frozen_base(PyObject* child, PyObject* base, bool child_frozen,
                      PyObject* child_default) {
    const int base_frozen = attr_bool<"frozen">(base);
    if (base_frozen <= 0) return base_frozen;
    if (!child_frozen) return refuse_frozen_base(child, base);
    py::Ref base_default = py::get_attr<"default">(base);
    if (!base_default) return -1;
    const int differs = PyObject_RichCompareBool(child_default, base_default.get(), Py_NE);
    if (differs) return differs < 0 ? -1 : refuse_frozen_base(child, base);
    return 0;
}

// A frozen child over an Enum base stands for one of its values: the answer
// is a new frozen Enum over the base's values, the child left as it is.
Step frozen_over_enum(PyObject* child, PyObject* base, PyObject* child_default, py::Ref& out) {
    const int is_enum = is_instance(base, enum_type);
    if (is_enum <= 0) return is_enum < 0 ? Step::Error : Step::Next;
    py::Ref values = py::get_attr<"values">(base);
    if (!values) return Step::Error;
    const int found = PySequence_Contains(values.get(), child_default);
    if (found < 0) return Step::Error;
    if (!found) {
        py::Ref child_repr = py_repr(child);
        py::Ref base_repr = child_repr ? py_repr(base) : py::Ref();
        if (base_repr)
            PyErr_Format(PyExc_TypeError, "%U cannot extend %U with incompatible frozen value: %R ",
                         child_repr.get(), base_repr.get(), child_default);
        return Step::Error;
    }
    PyTypeObject* enum_cls = enum_type();
    if (!enum_cls) return Step::Error;
    py::Ref made =
        py::Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(enum_cls), values.get()));
    if (!made) return Step::Error;
    PyObject* freeze;
    if (!py::intern<"freeze">(freeze)) return Step::Error;
    out = py::Ref::steal(PyObject_CallMethodOneArg(made.get(), freeze, child_default));
    return out ? Step::Done : Step::Error;
}

// A child without a transform takes the base's.
int inherit_transform(SpecScope child, PyObject* base) {
    py::Ref own = py::get_attr<"transform">(child.object());
    if (!own || own.get() != Py_None) return own ? 0 : -1;
    py::Ref inherited = py::get_attr<"transform">(base);
    if (!inherited || inherited.get() == Py_None) return inherited ? 0 : -1;
    py::Ref replaced;  // released after the hold
    return extension::with_child_held(child, [&](SpecEngine& engine) {
        replaced = std::exchange(engine.transform, std::move(inherited));
        return 0;
    });
}

// A child whose strictness is unset takes the base's.
int inherit_strict(SpecScope child, PyObject* base) {
    py::Ref own = py::get_attr<"_strict">(child.object());
    if (!own || own.get() != Py_None) return own ? 0 : -1;
    py::Ref inherited = py::get_attr<"_strict">(base);
    if (!inherited || inherited.get() == Py_None) return inherited ? 0 : -1;
    bool strict;
    if (!py::arg_bool("_strict", inherited.get(), strict)) return -1;
    return extension::with_child_held(child, [&](SpecEngine& engine) {
        engine.strict = tri_from_bool(strict);
        return 0;
    });
}

// The base the child is measured against: a Union base offers the candidate
// that fits a child which is not a Union itself.
py::Ref effective_base(PyObject* child, PyObject* base) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    PyObject* union_cls = bridge->union_cls.get();
    const int child_union = PyObject_IsInstance(child, union_cls);
    if (child_union < 0) return {};
    const int base_union = child_union ? 0 : PyObject_IsInstance(base, union_cls);
    if (base_union <= 0) return base_union < 0 ? py::Ref() : py::Ref::borrow(base);
    PyObject* name;
    if (!py::intern<"get_candidate">(name)) return {};
    py::Ref candidate = py::Ref::steal(PyObject_CallMethodOneArg(base, name, child));
    if (!candidate || candidate.get() != Py_None) return candidate;
    extension::refuse_of(child, base, ": no compatible type found in Union.");
    return {};
}

// The child must be of the base's own class (or an Enum, which is checked
// value by value), and may not take None where the base does not.
int check_type_and_none(PyObject* child, PyObject* base) {
    int fits = PyObject_IsInstance(child, reinterpret_cast<PyObject*>(Py_TYPE(base)));
    if (fits == 0) fits = is_instance(child, enum_type);
    if (fits <= 0) return fits < 0 ? -1 : extension::refuse_of(child, base, ": incompatible type.");
    const int base_noneable = attr_bool<"is_noneable">(base);
    if (base_noneable != 0) return base_noneable < 0 ? -1 : 0;
    const int child_noneable = attr_bool<"is_noneable">(child);
    if (child_noneable <= 0) return child_noneable;
    return extension::refuse_of(child, base, ": None is not allowed in base spec.");
}

// The child's own rule, from its table.
int extend_by_kind(SpecScope child, PyObject* base) {
    const KindOps* kind = nullptr;
    {
        auto r = child.shared();
        if (!r) return -1;
        kind = &ops(*r);
    }
    return kind->extend(child, base);
}

py::Ref extend(SpecScope self, PyObject* base) {
    PyObject* child = self.object();
    switch (object_over_callable(child, base)) {
        case Step::Error: return {};
        case Step::Done: return py::Ref::borrow(child);
        case Step::Next: break;
    }
    const int child_frozen = attr_bool<"frozen">(child);
    if (child_frozen < 0) return {};
    py::Ref child_default = py::get_attr<"default">(child);
    if (!child_default) return {};
    if (check_frozen_base(child, base, child_frozen == 1, child_default.get()) < 0) return {};
    if (child_frozen) {
        py::Ref made;
        switch (frozen_over_enum(child, base, child_default.get(), made)) {
            case Step::Error: return {};
            case Step::Done: return made;
            case Step::Next: break;
        }
    }
    if (inherit_transform(self, base) < 0 || inherit_strict(self, base) < 0) return {};
    const int any_base = is_instance(base, any_type);
    if (any_base) return any_base < 0 ? py::Ref() : py::Ref::borrow(child);
    py::Ref target = effective_base(child, base);
    if (!target || check_type_and_none(child, target.get()) < 0 ||
        extend_by_kind(self, target.get()) < 0)
        return {};
    return py::Ref::borrow(child);
}

}  // namespace

py::Params<1> kExtendParams{"extend", {"base"}, 1, 1};

PyObject* spec_extend(SpecScope self, PyObject* base) { return extend(self, base).release(); }

}  // namespace vesk::typing
