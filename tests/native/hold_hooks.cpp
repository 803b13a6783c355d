// Tally: a counter whose every member declares its hold, so the suite can
// see what each hold refuses while another is taken. `while_shared` and
// `while_exclusive` call back into Python with the hold taken, which product
// code never does, to make the conflicting holds observable.
#include "testhooks.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"

#include <cstdint>

namespace vesk::testhooks {

namespace {

struct Tally {
    std::int64_t count = 0;
    std::int64_t changes = 0;  // exclusive holds that ended
    void changed() noexcept { ++changes; }
};

using Reading = py::Shared<Tally>;
using Writing = py::Exclusive<Tally>;
using Mutating = py::Exclusive<Tally, py::Refuse::Mutation>;
using Comparing = py::Shared<Tally, py::Refuse::NotImplemented>;

py::TypeCell TYPE;

py::Params kNewParams{"Tally", {"count"}, 1, 0};

PyObject* tally_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<1> a;
    std::int64_t count = 0;
    if (!py::parse(kNewParams, args, kwds, a) || (a[0] && !py::arg_i64("count", a[0], count)))
        return nullptr;
    py::Ref self = py::alloc<Tally>(type);
    if (self) py::state<Tally>(self.get()).count = count;
    return self.release();
}

PyObject* get_count(const Reading& self) { return PyLong_FromLongLong(self->count); }

PyObject* get_changes(const Reading& self) { return PyLong_FromLongLong(self->changes); }

int set_count(const Writing& self, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete count");
        return -1;
    }
    return py::arg_i64("count", value, self->count) ? 0 : -1;
}

Py_ssize_t length(const Reading& self) { return static_cast<Py_ssize_t>(self->count); }

PyObject* bump(const Mutating& self) {
    ++self->count;
    return py::none();
}

py::Params kAddParams{"add", {"amount"}, 0, 1};
py::Params kScaleParams{"scale", {"factor=2", "offset=0"}, 1, 0};
py::Params kWhileParams{"while_shared", {"fn"}, 1, 1};

PyObject* add(const Writing& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    std::int64_t amount = 0;
    if (!py::parse(kAddParams, args, nargs, kwnames, a) || !py::arg_i64("amount", a[0], amount))
        return nullptr;
    self->count += amount;
    return PyLong_FromLongLong(self->count);
}

// Its docstring is made from its Params: "name=default" shows the default,
// and only the name is matched.
PyObject* scale(const Writing& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::int64_t factor = 2, offset = 0;
    if (!py::parse(kScaleParams, args, nargs, kwnames, a) ||
        (a[0] && !py::arg_i64("factor", a[0], factor)) ||
        (a[1] && !py::arg_i64("offset", a[1], offset)))
        return nullptr;
    self->count = self->count * factor + offset;
    return PyLong_FromLongLong(self->count);
}

PyObject* while_shared(const Reading& self, PyObject* fn) {
    return PyObject_CallOneArg(fn, self.object());
}

PyObject* while_exclusive(const Writing& self, PyObject* fn) {
    return PyObject_CallOneArg(fn, self.object());
}

// Reads the count, calls `fn(count)` with nothing held, and stores its
// answer under a mutation hold; returns the count read.
PyObject* exchange(py::Scoped<Tally> self, PyObject* fn) {
    std::int64_t old = 0;
    {
        auto r = self.shared();
        if (!r) return r.refusal();
        old = r->count;
    }
    py::Ref count = py::Ref::steal(PyLong_FromLongLong(old));
    if (!count) return nullptr;
    py::Ref answer = py::Ref::steal(PyObject_CallOneArg(fn, count.get()));
    std::int64_t next = 0;
    if (!answer || !py::arg_i64("answer", answer.get(), next)) return nullptr;
    auto w = self.exclusive<py::Refuse::Mutation>();
    if (!w) return w.refusal();
    w->count = next;
    return count.release();
}

PyTypeObject* tally_type();

// A static method: its signature has no receiver.
py::Params kOfParams{"of", {"count"}, 1, 1};
PyObject* of(PyObject*, PyObject* count) {
    PyTypeObject* type = tally_type();
    if (!type) return nullptr;
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), count);
}

// Takes any arguments and ignores them: no Params can say so, its docstring
// is written out.
PyObject* ignore(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { return py::none(); }

bool is_tally(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyObject_TypeCheck(obj, type);
}

PyObject* compare(const Comparing& self, PyObject* other, int op) {
    if (!is_tally(other)) return py::not_implemented();
    Comparing theirs(other);
    if (!theirs) return theirs.refusal();
    Py_RETURN_RICHCOMPARE(self->count, theirs->count, op);
}

PyMethodDef methods[] = {
    py::method<bump>("bump"),
    py::method<add>("add", kAddParams),
    py::method<scale>("scale", kScaleParams, "Multiplies, then adds."),
    py::method<while_shared>("while_shared", kWhileParams),
    py::method<while_exclusive>("while_exclusive"),
    py::method<exchange>("exchange"),
    py::static_method<of>("of", kOfParams),
    py::method<ignore>("ignore",
                       py::signature_doc("ignore", "*args, **kwargs", py::Receiver::Self)),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<get_count, set_count>("count"),
    py::getter<get_changes>("changes"),
    py::kGettersEnd,
};

PyTypeObject* tally_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native_testhooks.Tally")
            .state<Tally>()
            .subclassable()
            .slots({
                py::slot<Py_tp_new, tally_new>(),
                py::slot<Py_tp_hash, PyObject_HashNotImplemented>(),
                py::slot<Py_tp_richcompare, compare>(),
                py::slot<Py_mp_length, length>(),
            })
            .methods(methods)
            .getters(getters);
    });
}

}  // namespace

int register_holds(PyObject* module) { return py::add_type(module, tally_type()); }

}  // namespace vesk::testhooks
