#include "typing/value_spec/format.hpp"

#include "formatting/formatting.hpp"
#include "py/args.hpp"
#include "py/lazy.hpp"
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

bool SpecItems::add_strict() {
    PyObject* strict = engine_.strict == Tri::True    ? Py_True
                       : engine_.strict == Tri::False ? Py_False
                                                      : Py_None;
    return add("strict", strict, Py_None);
}

namespace {

bool add_common_items(SpecItems& items) {
    return items.add_default() && items.add_default_factory() && items.add_noneable() &&
           items.add_frozen() && items.add_strict();
}

// The keyword arguments of kvlist_str, in their fixed order.
py::Ref format_kwargs(const KindOps& kind, const SpecEngine& engine, bool compact, bool verbose,
                      std::int64_t root_indent, std::optional<std::int64_t> list_wrap_threshold) {
    if (!list_wrap_threshold && kind.default_wrap_threshold >= 0)
        list_wrap_threshold = kind.default_wrap_threshold;
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
    if (!(kind.format_items ? kind.format_items(items) : add_common_items(items))) return {};
    py::Ref kwargs =
        format_kwargs(kind, engine, compact, verbose, root_indent, list_wrap_threshold);
    if (!kwargs) return {};
    return formatting::call_kvlist_str(list.get(), kwargs.get());
}

py::Ref repr(const SpecEngine& engine) {
    const bool cached = ops(engine).repr_cacheable;
    if (cached) {
        if (py::Ref text = engine.repr_cache.get()) return text;
    }
    py::Ref text = format(engine, true, true, 0, 80);
    // Two threads that miss together both format; the later store stays.
    if (text && cached) engine.repr_cache.store(text);
    return text;
}

void invalidate_repr(SpecEngine& engine) noexcept { engine.repr_cache.clear(); }

// --- Python surface ------------------------------------------------------------

namespace {

// Runs `fn(engine)` under a shared hold of the spec `self`.
template <class Fn>
PyObject* with_engine(PyObject* self, Fn&& fn) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    return fn(spec_engine(self)).release();
}

// The optional "list_wrap_threshold" among the extra keywords: used when it
// is an int that fits; anything else (another type, an overflow) is dropped
// as if it were absent.
std::optional<std::int64_t> wrap_threshold(const py::ExtraKeywords& extra) {
    for (const py::ExtraKeyword& kw : extra) {
        if (!PyUnicode_Check(kw.name) || !PyUnicode_EqualToUTF8(kw.name, "list_wrap_threshold"))
            continue;
        if (!PyLong_Check(kw.value)) return std::nullopt;
        const long long n = PyLong_AsLongLong(kw.value);
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return n;
    }
    return std::nullopt;
}

constinit py::Params kFormatParams{"format", {"compact", "verbose", "root_indent"}, 3, 0,
                                   py::Keywords::Collect};

}  // namespace

PyObject* spec_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kFormatParams, args, nargs, kwnames, a)) return nullptr;
    bool compact = false;
    bool verbose = true;
    std::int64_t root_indent = 0;
    if (!py::opt_bool("compact", a[0], false, compact) ||
        !py::opt_bool("verbose", a[1], true, verbose) ||
        (a.given(2) && !py::arg_i64("root_indent", a[2], root_indent)))
        return nullptr;
    const std::optional<std::int64_t> threshold = wrap_threshold(a.extra());
    return with_engine(self, [&](const SpecEngine& engine) {
        return format(engine, compact, verbose, root_indent, threshold);
    });
}

PyObject* spec_str(PyObject* self) {
    return with_engine(self, [](const SpecEngine& engine) {
        return format(engine, false, true, 0, 80);
    });
}

PyObject* spec_repr(PyObject* self) {
    return with_engine(self, [](const SpecEngine& engine) {
        return format(engine, true, true, 0, 80);
    });
}

}  // namespace vesk::typing
