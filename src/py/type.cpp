#include "py/type.hpp"

#include <algorithm>
#include <climits>

namespace vesk::py {

namespace {

// Types are immutable (users cannot rebind their attributes), so class
// attributes go into the type's dictionary before the type is shared.
[[nodiscard]] int set_class_attr(PyTypeObject* type, const char* name, Ref value) {
    if (!value) return -1;
    Ref dict = Ref::steal(PyType_GetDict(type));
    if (!dict || PyDict_SetItemString(dict.get(), name, value.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

// `__dict__` of instances with a managed dict, which a class made from a
// spec does not get by itself.
PyGetSetDef kInstanceDictDescriptor{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict,
                                    nullptr, nullptr};

// The entries of `tables` before each end marker, then one end marker, in
// storage that is never freed: the interpreter keeps pointers into a type's
// tables for as long as the type lives.
const char* name_of(const PyMethodDef& d) noexcept { return d.ml_name; }
const char* name_of(const PyGetSetDef& d) noexcept { return d.name; }

template <class Def>
Def* joined(std::initializer_list<Def*> tables) {
    std::vector<Def> all;
    for (Def* table : tables)
        for (Def* d = table; name_of(*d); ++d) all.push_back(*d);
    all.push_back(Def{});
    auto* kept = new Def[all.size()];
    std::copy(all.begin(), all.end(), kept);
    return kept;
}

}  // namespace

TypeDef& TypeDef::methods(std::initializer_list<PyMethodDef*> tables) {
    return methods(joined(tables));
}

TypeDef& TypeDef::getters(std::initializer_list<PyGetSetDef*> tables) {
    return getters(joined(tables));
}

Ref TypeDef::build() {
    std::vector<PyType_Slot> all = slots_;
    for (const PyType_Slot& g : generated_) {
        const bool given = std::any_of(slots_.begin(), slots_.end(),
                                       [&](const PyType_Slot& s) { return s.slot == g.slot; });
        if (!given) all.push_back(g);
    }
    all.push_back({0, nullptr});
    // The interpreter's type spec holds the sizes as C ints.
    if (basicsize_ > INT_MAX || itemsize_ > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "instance layout too large for a type");
        return {};
    }
    PyType_Spec spec = {name_, static_cast<int>(basicsize_), static_cast<int>(itemsize_),
                        static_cast<unsigned int>(flags_), all.data()};
    Ref type = Ref::steal(base_ ? PyType_FromSpecWithBases(&spec, reinterpret_cast<PyObject*>(base_))
                                : PyType_FromSpec(&spec));
    if (!type) return {};
    auto* t = reinterpret_cast<PyTypeObject*>(type.get());
    if (flags_ & Py_TPFLAGS_MANAGED_DICT) {
        if (set_class_attr(t, "__dict__",
                           Ref::steal(PyDescr_NewGetSet(t, &kInstanceDictDescriptor))) < 0)
            return {};
    }
    for (const ClassAttr& a : attrs_) {
        Ref value = a.value ? Ref::borrow(a.value) : Ref::steal(PyUnicode_FromString(a.text));
        if (set_class_attr(t, a.name, std::move(value)) < 0) return {};
    }
    return type;
}

}  // namespace vesk::py
