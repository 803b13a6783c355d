// The SymList class: its cell and its Python surface: the rows it shares
// with SymDict (container/surface.hpp), then its own.
// A subclass of the built-in list whose own items are its storage,
// with the container state of container/state.hpp after it; declared in
// symbolic/classes.hpp.
#include "symbolic/classes.hpp"

#include "py/methods.hpp"
#include "py/type.hpp"
#include "symbolic/container/surface.hpp"
#include "symbolic/list/list_ops.hpp"

namespace vesk::symbolic {

namespace {

using S = ListState;

py::TypeCell TYPE;

// Its functions for the rows it shares with the other container class.
VESK_CONTAINER_KIND(Kind, list, S);

// The mutators the built-in list takes positionally only keep that form.
py::Params kDeleteAndNotifyParams{"delete_and_notify", {"i"}, 1, 1};
py::Params kAppendParams{"append", {"value"}, 1, 1};
py::Params kExtendParams{"extend", {"other"}, 1, 1};
py::Params kRemoveParams{"remove", {"value"}, 1, 1};
py::Params kClearParams{"clear"};
py::Params kReverseParams{"reverse"};
py::Params kCopyParams{"copy"};
py::Params kAttrFieldParams{"sym_attr_field", {"key"}, 1, 1};

PyMethodDef kOwnMethods[] = {
    py::one_arg_method<list::py_delete_and_notify, kDeleteAndNotifyParams>("delete_and_notify"),
    py::method<list::append>("append", kAppendParams),
    py::method<list::insert>("insert", list::kInsertParams),
    py::method<list::extend>("extend", kExtendParams),
    py::method<list::pop>("pop", list::kPopParams),
    py::method<list::remove>("remove", kRemoveParams),
    py::method<list::clear>("clear", kClearParams),
    py::method<list::sort>("sort", list::kSortParams),
    py::method<list::reverse>("reverse", kReverseParams),
    py::method<list::copy>("copy", kCopyParams),
    py::one_arg_method<list::sym_attr_field, kAttrFieldParams>("sym_attr_field"),
    py::kMethodsEnd,
};

PyGetSetDef kOwnGetters[] = {
    py::read_only<properties::get_ref<S, properties::RefField::ValueSpec>>("value_spec"),
    py::read_only<list::max_size_property>("max_size"),
    py::kGettersEnd,
};

}  // namespace

PyTypeObject* sym_list_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.SymList")
            .doc("SymList(*_args, **_kwargs)\n--\n\n")
            .state<S>()
            .subclassable()
            .slots({
                py::panic_slot<Py_tp_init, list::sym_list_init>(),
                py::panic_slot<Py_tp_vectorcall, list::sym_list_vectorcall>(),
                py::panic_slot<Py_tp_iter, list::iter>(),
                py::panic_slot<Py_mp_subscript, list::subscript>(),
                py::panic_slot<Py_mp_ass_subscript, list::ass_subscript>(),
                py::panic_slot<Py_nb_multiply, list::multiply>(),
                py::panic_slot<Py_nb_add, list::add>(),
            })
            .methods({kContainerMethods<Kind>, kOwnMethods})
            .getters({kContainerGetters<S>, kOwnGetters});
    });
}

bool is_sym_list(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && PyList_Check(obj) && instance_of(obj, type);
}

}  // namespace vesk::symbolic
