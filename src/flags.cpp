#include "flags.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "register.hpp"


namespace vesk::flags {

namespace {

// One block per thread, initialised lazily: a thread that never touched its
// scopes reads every flag as absent. Trivial, so it takes the initial-exec
// model: one load off the thread pointer on every write's gate read, where
// the general model calls the loader's lookup.
struct Scopes {
    Cell cells[kFlagCount];
    bool initialised;
};
[[gnu::tls_model("initial-exec")]] thread_local Scopes scopes{};

Scopes& block() noexcept {
    if (!scopes.initialised) {
        for (Cell& c : scopes.cells) c = Cell::Absent;
        scopes.initialised = true;
    }
    return scopes;
}

// Validates an id that already converted to a byte.
[[nodiscard]] Cell* cell_for(std::uint8_t id) {
    Scopes& s = block();
    if (id >= kFlagCount) {
        PyErr_Format(PyExc_ValueError, "Invalid native flag id: %u.", static_cast<unsigned>(id));
        return nullptr;
    }
    return &s.cells[id];
}

// A value is None or a bool scalar (the numeric library's included, taken by
// its truth).
[[nodiscard]] bool to_cell(PyObject* value, Cell& out) {
    if (value == Py_None) {
        out = Cell::None;
        return true;
    }
    bool b = false;
    if (!py::arg_bool_scalar("value", value, b, "None or bool")) return false;
    out = b ? Cell::True : Cell::False;
    return true;
}

py::Params kGetParams{"_flag_scope_get", {"flag_id", "default"}, 2, 2};
py::Params kSetParams{"_flag_scope_set", {"flag_id", "value"}, 2, 2};
py::Params kHasParams{"_flag_scope_has", {"flag_id"}, 1, 1};
py::Params kDelParams{"_flag_scope_del", {"flag_id"}, 1, 1};

PyObject* scope_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::uint8_t id = 0;
    if (!py::parse(kGetParams, args, nargs, kwnames, a) || !py::arg_u8("flag_id", a[0], id))
        return nullptr;
    const Cell* cell = cell_for(id);
    if (!cell) return nullptr;
    switch (*cell) {
        case Cell::Absent: return py::new_ref(a[1]);
        case Cell::None: return py::none();
        case Cell::True: return py::boolean(true);
        case Cell::False: return py::boolean(false);
    }
    return py::none();
}

PyObject* scope_set(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    std::uint8_t id = 0;
    Cell value = Cell::Absent;
    if (!py::parse(kSetParams, args, nargs, kwnames, a) || !py::arg_u8("flag_id", a[0], id) ||
        !to_cell(a[1], value))
        return nullptr;
    Cell* cell = cell_for(id);
    if (!cell) return nullptr;
    *cell = value;
    return py::none();
}

PyObject* scope_has(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    std::uint8_t id = 0;
    if (!py::parse(kHasParams, args, nargs, kwnames, a) || !py::arg_u8("flag_id", a[0], id))
        return nullptr;
    const Cell* cell = cell_for(id);
    if (!cell) return nullptr;
    return py::boolean(*cell != Cell::Absent);
}

PyObject* scope_del(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    std::uint8_t id = 0;
    if (!py::parse(kDelParams, args, nargs, kwnames, a) || !py::arg_u8("flag_id", a[0], id))
        return nullptr;
    Cell* cell = cell_for(id);
    if (!cell) return nullptr;
    *cell = Cell::Absent;
    return py::none();
}

PyMethodDef functions[] = {
    py::function<scope_get>(
        kGetParams, "The calling thread's scope of a flag (None, True or False), or `default`."),
    py::function<scope_set>(kSetParams, "Sets the calling thread's scope of a flag."),
    py::function<scope_has>(kHasParams, "Whether the calling thread's scope of a flag is set."),
    py::function<scope_del>(kDelParams, "Unsets the calling thread's scope of a flag."),
    py::kMethodsEnd,
};

}  // namespace

Cell read(FlagId id) noexcept { return block().cells[static_cast<std::uint8_t>(id)]; }

Snapshot snapshot() noexcept {
    Snapshot out;
    const Scopes& s = block();
    for (std::uint8_t i = 0; i < kFlagCount; ++i) out.cells[i] = s.cells[i];
    return out;
}

std::optional<bool> forced(FlagId id) noexcept {
    switch (read(id)) {
        case Cell::False: return false;
        case Cell::True: return true;
        default: return std::nullopt;
    }
}

bool origin_tracking_on() noexcept { return read(FlagId::OriginTracking) == Cell::True; }

bool notifications_suppressed() noexcept {
    return read(FlagId::ChangeNotification) == Cell::False;
}

int register_module(PyObject* module) {
    if (py::add_functions(module, functions) < 0) return -1;
    static constexpr struct { const char* name; FlagId id; } constants[] = {
        {"_FLAG_SEALED", FlagId::Sealed},
        {"_FLAG_ACCESSOR_WRITABLE", FlagId::AccessorWritable},
        {"_FLAG_ALLOW_PARTIAL", FlagId::AllowPartial},
        {"_FLAG_ORIGIN_TRACKING", FlagId::OriginTracking},
        {"_FLAG_CHANGE_NOTIFICATION", FlagId::ChangeNotification},
    };
    for (const auto& c : constants)
        if (py::add_int(module, c.name, static_cast<long>(c.id)) < 0) return -1;
    return 0;
}

}  // namespace vesk::flags
