// RecordHolder: instances holding an immutable record of Python references
// that other holders may share, counted by the cycle collector only while
// one holder has it alone.
#include "testhooks.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"

#include <memory>
#include <vector>

namespace vesk::testhooks {

namespace {

// Built once, never changed; may hand on a record it shares.
struct Bundle {
    std::vector<py::Ref> items;
    py::SharedRecord<Bundle> nested;
    template <class V>
    void visit(V&& v) const {
        for (const py::Ref& item : items) v(item);
        v(nested);
    }
};

struct Recorded {
    static constexpr bool kWeakrefs = true;
    py::SharedRecord<Bundle> record;
    template <class V>
    void visit(V&& v) {
        v(record);
    }
};

using Reading = py::Shared<Recorded>;

py::TypeCell TYPE;

[[nodiscard]] py::Ref holding(PyTypeObject* type, py::SharedRecord<Bundle>::Pointer record) {
    py::Ref self = py::alloc<Recorded>(type);
    if (self) py::state<Recorded>(self.get()).record = std::move(record);
    return self;
}

py::Params kNewParams{"RecordHolder", {"items", "nested"}, 2, 1};

// RecordHolder(items, nested=None): a new record of the list's items that
// also shares the record of the holder `nested`.
PyObject* holder_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::TupleArgs<2> a;
    if (!py::parse(kNewParams, args, kwds, a)) return nullptr;
    if (!PyList_Check(a[0])) {
        py::raise_arg_type("items", "list", a[0]);
        return nullptr;
    }
    auto bundle = std::make_shared<Bundle>();
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(a[0], i);
        if (!item) break;
        bundle->items.push_back(std::move(item));
    }
    if (a.given(1) && a[1] != Py_None) {
        if (!py::expect_instance(a[1], type)) return nullptr;
        Reading inner(a[1]);
        if (!inner) return nullptr;
        bundle->nested = inner->record.get();
    }
    return holding(type, std::move(bundle)).release();
}

// A new holder sharing this one's record.
PyObject* twin(const Reading& self) {
    return holding(Py_TYPE(self.object()), self->record.get()).release();
}

PyObject* items(const Reading& self) {
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const py::Ref& item : self->record->items)
        if (PyList_Append(list.get(), item.get()) < 0) return nullptr;
    return list.release();
}

PyObject* holders(const Reading& self) { return PyLong_FromLong(self->record.get().use_count()); }

PyMethodDef methods[] = {
    py::method<twin>("twin"),
    py::method<items>("items"),
    py::method<holders>("holders"),
    py::kMethodsEnd,
};

PyTypeObject* holder_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native_testhooks.RecordHolder")
            .state<Recorded>()
            .slots({py::slot<Py_tp_new, holder_new>()})
            .methods(methods);
    });
}

}  // namespace

int register_records(PyObject* module) { return py::add_type(module, holder_type()); }

}  // namespace vesk::testhooks
