#include "typing/value_spec/engine/format.hpp"

#include "formatting/formatting.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

bool SpecItems::add(const char* key, PyObject* value, PyObject* omit_when) {
    py::Ref item = py::Ref::steal(Py_BuildValue("(sOO)", key, value ? value : Py_None,
                                                omit_when ? omit_when : Py_None));
    return item && PyList_Append(list_, item.get()) == 0;
}

bool SpecItems::add_default() { return add("default", engine_.default_value.get(), missing_); }

bool SpecItems::add_default_factory() {
    return add("default_factory", engine_.default_factory.get(), Py_None);
}

bool SpecItems::add_noneable() {
    return add("noneable", engine_.is_noneable ? Py_True : Py_False, Py_False);
}

bool SpecItems::add_frozen() {
    return add("frozen", engine_.frozen ? Py_True : Py_False, Py_False);
}

bool SpecItems::add_strict() { return add("strict", tri_object(engine_.strict), Py_None); }

bool common_kind::format_items(SpecItems& items) {
    return items.add_default() && items.add_default_factory() && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

namespace {

// The keyword arguments of kvlist_str, in their fixed order.
py::Ref format_kwargs(const KindOps& kind, const SpecEngine& engine, bool compact, bool verbose,
                      std::int64_t root_indent, std::optional<std::int64_t> list_wrap_threshold) {
    if (!list_wrap_threshold && kind.default_wrap_threshold.get() >= 0)
        list_wrap_threshold = kind.default_wrap_threshold.get();
    py::Ref kwargs = py::Ref::steal(PyDict_New());
    if (!kwargs) return {};
    py::Ref label = py::Ref::steal(PyUnicode_FromString(kind.label(engine.kind)));
    py::Ref indent = py::Ref::steal(PyLong_FromLongLong(root_indent));
    if (!label || !indent || PyDict_SetItemString(kwargs.get(), "label", label.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "compact", compact ? Py_True : Py_False) < 0 ||
        PyDict_SetItemString(kwargs.get(), "verbose", verbose ? Py_True : Py_False) < 0 ||
        PyDict_SetItemString(kwargs.get(), "root_indent", indent.get()) < 0)
        return {};
    if (list_wrap_threshold) {
        py::Ref threshold = py::Ref::steal(PyLong_FromLongLong(*list_wrap_threshold));
        if (!threshold ||
            PyDict_SetItemString(kwargs.get(), "list_wrap_threshold", threshold.get()) < 0)
            return {};
    }
    return kwargs;
}

}  // namespace

py::Ref format(const SpecEngine& engine, bool compact, bool verbose, std::int64_t root_indent,
               std::optional<std::int64_t> list_wrap_threshold) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    const KindOps& kind = ops(engine);
    py::Ref list = py::Ref::steal(PyList_New(0));
    if (!list) return {};
    SpecItems items(engine, list.get(), bridge->missing_value.get());
    if (!kind.format_items(items)) return {};
    py::Ref kwargs =
        format_kwargs(kind, engine, compact, verbose, root_indent, list_wrap_threshold);
    if (!kwargs) return {};
    return formatting::call_kvlist_str(list.get(), kwargs.get());
}

py::Ref repr(const SpecEngine& engine) {
    const bool cached = ops(engine).repr_cacheable.get();
    if (cached) {
        if (py::Ref text = engine.repr_cache.get()) return text;
    }
    py::Ref text = format(engine, true, true, 0, 80);
    // Two threads that miss together both format; the later store stays.
    if (text && cached) engine.repr_cache.store(text);
    return text;
}

}  // namespace vesk::typing
