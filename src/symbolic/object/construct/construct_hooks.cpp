// The construction hooks, the abstractness test they consult, and the
// pure-symbolic scan behind it.
#include "symbolic/object/construct/construct_steps.hpp"

#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object/object_state.hpp"
#include "typing/bridge.hpp"
#include "typing/markers.hpp"

#include <optional>

namespace vesk::symbolic::object {

namespace {

// Ends one level of a native recursion on every exit.
class RecursionLevel {
public:
    explicit RecursionLevel(const char* where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionLevel() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionLevel(const RecursionLevel&) = delete;
    RecursionLevel& operator=(const RecursionLevel&) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

Scan scan_of(int r) noexcept { return r < 0 ? Scan::Error : r ? Scan::Yes : Scan::No; }

// The member test: the scan, with an undecided answer settled by the
// bridge's `is_pure_symbolic(member)`.
Scan member(PyObject* value) {
    const Scan s = pure_symbolic_scan(value);
    if (s != Scan::Undecided) return s;
    const ObjectBridge* b = object_bridge();
    if (!b) return Scan::Error;
    py::Ref r = py::Ref::steal(PyObject_CallOneArg(b->is_pure_symbolic.get(), value));
    return r ? scan_of(PyObject_IsTrue(r.get())) : Scan::Error;
}

// The first member answering Yes answers Yes; none answers No.
template <class Next>
Scan any_member(Next&& next) {
    for (;;) {
        py::Ref item;
        const int step = next(item);
        if (step <= 0) return step < 0 ? Scan::Error : Scan::No;
        const Scan s = member(item.get());
        if (s != Scan::No) return s;
    }
}

Scan dict_values(PyObject* dict) {
    py::DictCursor cursor(dict);
    py::Ref key;
    return any_member([&](py::Ref& value) { return cursor.next(key, value); });
}

Scan list_items(PyObject* list) {
    Py_ssize_t i = 0;
    return any_member([&](py::Ref& item) {
        item = py::list_item(list, i++);
        return item ? 1 : 0;
    });
}

// The abstractness cache `_sym_puresymbolic` of the instance's `__dict__`:
// 1 with `out` set, 0 when there is none, -1 on error.
int cached_pure_symbolic(PyObject* obj, py::Ref& out) {
    py::Ref dict;
    const int has = py::get_optional_attr<"__dict__">(obj, dict);
    if (has <= 0) return has;
    PyObject* key;
    if (!py::intern<"_sym_puresymbolic">(key)) return -1;
    PyObject* found = nullptr;
    const int r = PyMapping_GetOptionalItem(dict.get(), key, &found);
    out = py::Ref::steal(found);
    return r;
}

Scan scan_object(PyObject* obj) {
    CtorMetaRef meta = ctor_meta(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!meta) return Scan::Error;
    if (!meta->default_pure_symbolic) return Scan::Undecided;
    py::Ref cached;
    const int has = cached_pure_symbolic(obj, cached);
    if (has < 0) return Scan::Error;
    if (has && cached.get() != Py_None) return scan_of(PyObject_IsTrue(cached.get()));
    py::Ref fields;
    if (!inline_storage(obj, fields)) return Scan::Error;
    return fields ? dict_values(fields.get()) : Scan::Undecided;
}

// `instance.__dict__["_sym_puresymbolic"] = flag`.
int store_pure_symbolic(PyObject* self, bool flag) {
    py::Ref dict = py::get_attr<"__dict__">(self);
    PyObject* key;
    if (!dict || !py::intern<"_sym_puresymbolic">(key)) return -1;
    return PyObject_SetItem(dict.get(), key, flag ? Py_True : Py_False);
}

// Whether the new object is abstract: 1, 0 or -1.
int is_abstract(PyObject* self, bool all_plain) {
    if (all_plain) return store_pure_symbolic(self, false) < 0 ? -1 : 0;
    bool allow_partial = false;
    {
        py::Shared<ObjectState> held(self);
        if (!held) return -1;
        allow_partial = held->node.allow_partial;
    }
    if (allow_partial) return typing::read_sym_partial(self);
    const Scan s = pure_symbolic_scan(self);
    switch (s) {
        case Scan::Error: return -1;
        case Scan::Yes:
        case Scan::No: {
            const bool flag = s == Scan::Yes;
            return store_pure_symbolic(self, flag) < 0 ? -1 : flag;
        }
        case Scan::Undecided: break;
    }
    py::Ref prop = py::get_attr<"sym_puresymbolic">(self);
    return prop ? PyObject_IsTrue(prop.get()) : -1;
}

}  // namespace

Scan pure_symbolic_scan(PyObject* value) {
    if (is_primitive(value)) return Scan::No;
    PyObject* marker;
    if (!py::intern<"__vesk_pure_symbolic__">(marker)) return Scan::Error;
    PyObject* found = nullptr;
    const int has =
        PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), marker, &found);
    py::Ref dropped = py::Ref::steal(found);  // presence is all that counts
    if (has < 0) return Scan::Error;
    if (has) return Scan::Yes;
    const bool object = is_sym_object(value);
    const typing::SymbolicContainerTypes* types = typing::symbolic_container_types();
    const bool is_dict = types && Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(
                                                         types->dict_type.get());
    const bool is_list = types && Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(
                                                         types->list_type.get());
    if (!object && !is_dict && !is_list) return Scan::Undecided;
    // A value that holds itself, or a very deep tree, ends in RecursionError
    // instead of exhausting the stack.
    RecursionLevel level(" while scanning a symbolic value for pure symbolic members");
    if (!level) return Scan::Error;
    if (object) return scan_object(value);
    return is_dict ? dict_values(value) : list_items(value);
}

int run_hooks(PyObject* self, const CtorMeta& meta, const HookInputs& in) {
    std::optional<bool> abstract;
    auto abstract_now = [&]() -> int {
        if (!abstract) {
            const int r = is_abstract(self, in.all_plain);
            if (r < 0) return -1;
            abstract = r != 0;
        }
        return *abstract ? 1 : 0;
    };
    if (in.validate_wanted) {
        const int a = abstract_now();
        if (a < 0 || (!a && !py::call_method<"on_sym_validate">(self))) return -1;
    }
    if (meta.post_init_overridden) return py::call_method<"on_sym_post_init">(self) ? 0 : -1;
    if (meta.bound_overridden && !py::call_method<"on_sym_bound">(self)) return -1;
    if (meta.ready_runs) {
        const int a = abstract_now();
        if (a < 0 || (!a && !py::call_method<"on_sym_ready">(self))) return -1;
    }
    return 0;
}

}  // namespace vesk::symbolic::object
