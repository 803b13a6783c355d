// Heap types: one way to declare a native class.
//
// A native instance is `Object<State>` (layout.hpp): the struct of the
// built-in base (the bare header for `object`; `dict` or `list` when the
// State says `using Extends = py::DictBase;` / `py::ListBase`), the borrow
// flag and an ordinary C++ `State` (Refs, optionals, vectors). `alloc<State>`
// constructs the State, and the generated deallocation destroys it. When the
// State has `template <class V> void visit(V&& v)` calling `v(member)` for
// every owned Ref, OnceSlot or SharedRecord (record.hpp), the type is
// GC-tracked with generated traverse and clear. `static constexpr bool
// kInstanceDict = true;` in the State gives instances a `__dict__`,
// `kWeakrefs = true` weak references. Functions reach the State through the
// holds they declare (hold.hpp).
//
// A State extending `dict` or `list` makes the class a subclass of it: the
// base's constructor makes the instance (`alloc`), the generated traverse and
// clear run the base's first, and the deallocation hands the instance back to
// the base. Such a class, like any `subclassable()` one, can be extended by
// Python classes.
//
//   struct Point { py::Ref x; template <class V> void visit(V&& v) { v(x); } };
//   PyTypeObject* point_type() {
//       static py::TypeCell TYPE;
//       return TYPE.get([](py::TypeDef& t) {
//           t.name("vesk_core._native.Point").doc("A point.").state<Point>()
//               .slots({py::slot<Py_tp_new, point_new>(), py::slot<Py_tp_repr, point_repr>()})
//               .methods(point_methods).getters(point_getters)
//               .class_attr("__vesk_formattable__", Py_True);
//       });
//   }
//
// Types are immutable and final unless `subclassable()`; slots given by the
// declaration replace generated ones. A variable-size type (KeyPath) states
// its own `layout` and deallocation instead of a State.
#pragma once

#include "py/layout.hpp"
#include "py/methods.hpp"
#include "py/once_cell.hpp"
#include "py/once_slot.hpp"
#include "py/record.hpp"

#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace vesk::py {

// The State of a type whose instances carry nothing but the header.
struct NoState {};

// Gives back, at an instance's deallocation, the reference it holds to its
// class. The interpreter counts these references to a heap type per thread
// when it allocates an instance, but only its own deallocators give them back
// the same way; a Py_DECREF is an atomic update of the class's count, on the
// cache line of its size and slots, that every thread freeing an instance
// shares. A final class of this module lives as long as the process (its
// cell keeps it), so on the free-threaded build its instances' references
// are kept instead: its count, made per thread, only grows, and nothing is
// freed later than it would be. Any other class (a Python subclass of one
// of ours) is given its reference back. With the global lock every class is.
inline void release_instance_type(PyTypeObject* type) noexcept {
#ifdef Py_GIL_DISABLED
    if (!PyType_HasFeature(type, Py_TPFLAGS_BASETYPE)) return;
#endif
    Py_DECREF(type);
}

namespace detail {

struct ProbeVisitor {
    void operator()(Ref&) const noexcept {}
    void operator()(OnceSlot&) const noexcept {}
    template <class T>
    void operator()(SharedRecord<T>&) const noexcept {}
};

template <class State>
concept Visitable = requires(State& s) { s.visit(ProbeVisitor{}); };
template <class State>
concept HasInstanceDict = requires { requires State::kInstanceDict; };
template <class State>
concept HasWeakrefs = requires { requires State::kWeakrefs; };

// Counts every reference a State (or a record it solely holds) owns.
struct GcVisitor {
    visitproc visit;
    void* arg;
    int& result;
    void operator()(const Ref& r) const noexcept {
        if (!result && r) result = visit(r.get(), arg);
    }
    void operator()(const OnceSlot& s) const noexcept {
        if (PyObject* v = s.get(); !result && v) result = visit(v, arg);
    }
    template <class T>
    void operator()(const SharedRecord<T>& record) const noexcept {
        if (const T* r = record.sole_unlocked(); r && !result) r->visit(*this);
    }
};

// Drops every reference a State owns.
struct GcClearer {
    void operator()(Ref& r) const noexcept { r.reset(); }
    void operator()(OnceSlot& s) const noexcept { s.clear(); }
    template <class T>
    void operator()(SharedRecord<T>& record) const noexcept {
        (void)record.take();  // released here
    }
};

template <class State>
struct Hooks {
    using Base = base_of_t<State>;
    static constexpr bool kDerived = kExtendsBuiltin<State>;
    static constexpr bool kDict = HasInstanceDict<State>;
    static constexpr bool kGc = Visitable<State> || kDict || kDerived;

    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        int result = 0;
        if constexpr (kDerived) {
            result = Base::type()->tp_traverse(self, visit, arg);
            if (result) return result;
        }
        if constexpr (Visitable<State>) {
            state<State>(self).visit(GcVisitor{visit, arg, result});
            if (result) return result;
        }
        if constexpr (kDict) {
            result = PyObject_VisitManagedDict(self, visit, arg);
            if (result) return result;
        }
        Py_VISIT(Py_TYPE(self));
        return 0;
    }

    static int clear(PyObject* self) noexcept {
        if constexpr (kDerived) (void)Base::type()->tp_clear(self);
        if constexpr (Visitable<State>) state<State>(self).visit(GcClearer{});
        if constexpr (kDict) PyObject_ClearManagedDict(self);
        return 0;
    }

    static void dealloc(PyObject* self) noexcept {
        PyTypeObject* type = Py_TYPE(self);
        if constexpr (kGc) PyObject_GC_UnTrack(self);
        if constexpr (HasWeakrefs<State>) PyObject_ClearWeakRefs(self);
        if constexpr (kDict) PyObject_ClearManagedDict(self);
        object<State>(self)->state.~State();
        // A built-in base releases its own storage and frees the memory.
        if constexpr (kDerived)
            Base::type()->tp_dealloc(self);
        else
            type->tp_free(self);
        release_instance_type(type);
    }

    // The constructor of a type extending a built-in base that declares
    // none: an empty instance, which the base's `__init__` then fills.
    static PyObject* new_instance(PyTypeObject* type, PyObject*, PyObject*) {
        return alloc<State>(type).release();
    }
};

}  // namespace detail

// The declaration of one heap type, turned into the type by `build`.
class TypeDef {
public:
    // The dotted name: the part before the last dot becomes `__module__`.
    TypeDef& name(const char* dotted) noexcept {
        name_ = dotted;
        return *this;
    }
    TypeDef& doc(const char* text) {
        slots_.push_back({Py_tp_doc, const_cast<char*>(text)});
        return *this;
    }
    // Instances are `Object<State>`, with generated GC hooks and deallocation;
    // a State extending a built-in base also sets the class's base and, unless
    // the declaration gives one, its constructor.
    template <class State>
    TypeDef& state() {
        using H = detail::Hooks<State>;
        basicsize_ = sizeof(Object<State>);
        itemsize_ = 0;
        if constexpr (H::kDerived) {
            if (!base_) base_ = H::Base::type();
            generated_.push_back(
                {Py_tp_new, reinterpret_cast<void*>(entry<&H::new_instance>)});
        }
        if constexpr (H::kGc) {
            flags_ |= Py_TPFLAGS_HAVE_GC;
            generated_.push_back({Py_tp_traverse, reinterpret_cast<void*>(&H::traverse)});
            generated_.push_back({Py_tp_clear, reinterpret_cast<void*>(&H::clear)});
        }
        if constexpr (H::kDict) flags_ |= Py_TPFLAGS_MANAGED_DICT;
        if constexpr (detail::HasWeakrefs<State>) flags_ |= Py_TPFLAGS_MANAGED_WEAKREF;
        generated_.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&H::dealloc)});
        return *this;
    }
    // A layout of the type's own (variable-size types); the declaration
    // then gives its deallocation as a slot.
    TypeDef& layout(Py_ssize_t basicsize, Py_ssize_t itemsize = 0) noexcept {
        basicsize_ = basicsize;
        itemsize_ = itemsize;
        return *this;
    }
    // Final is the default; the call states it where it matters.
    TypeDef& final_() noexcept {
        flags_ &= ~static_cast<unsigned long>(Py_TPFLAGS_BASETYPE);
        return *this;
    }
    TypeDef& subclassable() noexcept {
        flags_ |= Py_TPFLAGS_BASETYPE;
        return *this;
    }
    // Users may set class attributes (types built at run time for the
    // package, which annotates them after creation).
    TypeDef& mutable_() noexcept {
        flags_ &= ~static_cast<unsigned long>(Py_TPFLAGS_IMMUTABLETYPE);
        return *this;
    }
    // Instances are collected by the cycle collector through the traverse
    // and clear slots that the declaration gives (a layout of its own).
    TypeDef& gc() noexcept {
        flags_ |= Py_TPFLAGS_HAVE_GC;
        return *this;
    }
    // Calls of instances go through the vectorcall function each instance
    // keeps in its State's `call` member (a `vectorcallfunc`, set by the
    // constructor to a guarded entry), so a call with positional arguments
    // builds no tuple. Gives the members table (`__vectorcalloffset__`): the
    // declaration gives none of its own.
    template <class State>
    TypeDef& instance_vectorcall() {
        using O = Object<State>;
        static_assert(std::is_same_v<decltype(State::call), vectorcallfunc>,
                      "the State keeps its vectorcall function in `call`");
        static_assert(std::is_standard_layout_v<O>, "the offset of `call` must be fixed");
        static PyMemberDef offset_member[] = {
            {"__vectorcalloffset__", Py_T_PYSSIZET,
             static_cast<Py_ssize_t>(offsetof(O, state) + offsetof(State, call)), Py_READONLY,
             nullptr},
            {nullptr, 0, 0, 0, nullptr},
        };
        flags_ |= Py_TPFLAGS_HAVE_VECTORCALL;
        generated_.push_back({Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)});
        return members(offset_member);
    }
    // The type's token (`Py_tp_token`): a mark by which native code tells
    // the types it built from any other.
    TypeDef& token(const void* mark) {
        slots_.push_back({Py_tp_token, const_cast<void*>(mark)});
        return *this;
    }
    TypeDef& base(PyTypeObject* type) noexcept {
        base_ = type;
        return *this;
    }
    // Slots made with `py::slot<Id, Fn>()`.
    TypeDef& slots(std::initializer_list<PyType_Slot> list) {
        slots_.insert(slots_.end(), list.begin(), list.end());
        return *this;
    }
    // A vectorcall for calls of the class itself.
    template <auto Fn>
    TypeDef& vectorcall() {
        slots_.push_back({Py_tp_vectorcall, reinterpret_cast<void*>(entry<Fn>)});
        return *this;
    }
    // Tables with static storage, built from methods.hpp entries.
    TypeDef& methods(PyMethodDef* table) {
        slots_.push_back({Py_tp_methods, table});
        return *this;
    }
    TypeDef& getters(PyGetSetDef* table) {
        slots_.push_back({Py_tp_getset, table});
        return *this;
    }
    // Several tables, in order, as one (a class whose surface is partly
    // shared with another class names the shared table and its own). The
    // joined table is kept for the life of the process, as a static one.
    TypeDef& methods(std::initializer_list<PyMethodDef*> tables);
    TypeDef& getters(std::initializer_list<PyGetSetDef*> tables);
    TypeDef& members(PyMemberDef* table) {
        slots_.push_back({Py_tp_members, table});
        return *this;
    }
    // A class attribute, written before the type is shared: `value` is
    // borrowed (an immortal or process-wide object); `text` becomes a str.
    TypeDef& class_attr(const char* attr, PyObject* value) {
        attrs_.push_back({attr, value, nullptr});
        return *this;
    }
    TypeDef& class_attr(const char* attr, const char* text) {
        attrs_.push_back({attr, nullptr, text});
        return *this;
    }

    // The new type; null with an exception set.
    [[nodiscard]] Ref build();

private:
    struct ClassAttr {
        const char* name;
        PyObject* value;
        const char* text;
    };
    const char* name_ = nullptr;
    unsigned long flags_ = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    Py_ssize_t basicsize_ = 0;
    Py_ssize_t itemsize_ = 0;
    PyTypeObject* base_ = nullptr;
    std::vector<PyType_Slot> slots_;
    std::vector<PyType_Slot> generated_;
    std::vector<ClassAttr> attrs_;
};

// The cell of one type: built from its declaration on first use and shared
// by the whole process. Concurrent first users may each build one; one wins.
class TypeCell {
public:
    // The type (borrowed); null with an exception set when building failed.
    template <class Declare>
    [[nodiscard]] PyTypeObject* get(Declare&& declare) {
        return reinterpret_cast<PyTypeObject*>(cell_.get_or_init([&] {
            TypeDef def;
            declare(def);
            return def.build();
        }));
    }
    // The type when already built, else null (no error set).
    [[nodiscard]] PyTypeObject* peek() const noexcept {
        return reinterpret_cast<PyTypeObject*>(cell_.get());
    }

private:
    ObjectCell cell_;
};

}  // namespace vesk::py
