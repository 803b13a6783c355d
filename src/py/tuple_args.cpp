#include "py/tuple_args.hpp"

#include "py/critical_section.hpp"
#include "py/errors.hpp"

namespace vesk::py {

namespace {

[[nodiscard]] bool parse(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out,
                         std::vector<Ref>& keep) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> flat;
    Ref kwnames;
    flat.reserve(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
    if (kwds) {
        // Snapshot the keywords under the dict's lock; the references taken
        // here keep names and values alive while they are matched.
        std::vector<Ref> names;
        {
            CriticalSection guard(kwds);
            Py_ssize_t pos = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwds, &pos, &key, &value)) {
                names.push_back(Ref::borrow(key));
                keep.push_back(Ref::borrow(value));
            }
        }
        if (!names.empty()) {
            kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
            if (!kwnames) return false;
            for (size_t i = 0; i < names.size(); ++i) {
                PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), names[i].release());
                flat.push_back(keep[keep.size() - names.size() + i].get());
            }
        }
    }
    return parse_args(sig, flat.data(), nargs, kwnames.get(), out);
}

}  // namespace

bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwds, PyObject** out,
                      std::vector<Ref>& keep) {
    // `tp_new` slots call this outside any guard: an allocation failure of
    // the vectors must not unwind into the interpreter.
    return call_guard(false, [&] { return parse(sig, args, kwds, out, keep); });
}

}  // namespace vesk::py
