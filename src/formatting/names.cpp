#include "formatting/names.hpp"

namespace vesk::formatting::names {

int init() {
    for (py::NameTuple* t : {&CHILD, &FORMATTABLE, &KVLIST_CHILD, &MARKDOWN, &ATTRS})
        if (!t->get()) return -1;
    if (!ZERO.get_or_init([] { return py::Ref::steal(PyLong_FromLong(0)); })) return -1;
    if (!EIGHTY.get_or_init([] { return py::Ref::steal(PyLong_FromLong(80)); })) return -1;
    return 0;
}

}  // namespace vesk::formatting::names
