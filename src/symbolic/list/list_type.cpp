// The SymList class: its cell and its Python surface: the rows it shares
// with SymDict (container/surface.hpp), then its own.
#include "symbolic/list/list_type.hpp"

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

PyMethodDef kOwnMethods[] = {
    py::method<list::py_delete_and_notify>("delete_and_notify"),
    py::method<list::append>("append"),
    py::method<list::insert>("insert"),
    py::method<list::extend>("extend"),
    py::method<list::pop>("pop"),
    py::method<list::remove>("remove"),
    py::method<list::clear>("clear"),
    py::method<list::sort>("sort"),
    py::method<list::reverse>("reverse"),
    py::method<list::copy>("copy"),
    py::method<list::sym_attr_field>("sym_attr_field"),
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
    return type && PyObject_TypeCheck(obj, type);
}

}  // namespace vesk::symbolic
