// KindOps: everything a kind answers for itself, in one table per kind.
//
// Each payload of SpecKind names its table, `XKind::ops`, defined in the
// kind's own file under kinds/; `ops(engine)` reaches it through an array
// made from the variant, so there is no second list to keep in step. Every
// per-kind answer of the value-spec layer lives here: the engine, SpecBase
// and the JSON and extension code ask the table and never test the kind.
//
// Complete by construction. No slot has a default: a table that leaves one
// out does not compile ("use of deleted function"), and neither does a slot
// given null. Where a kind behaves as most do, it says so with `kCommon`,
// which puts the common behaviour (declared beside the slot) in the slot, so
// every call reaches a function:
//
//   const KindOps BoolKind::ops{
//       .class_of = bool_class,
//       ...
//       .validate = kCommon,       // no constraints of its own
//       ...
//   };
//
// Error convention of the functions: null Ref / false / -1 / `Shortcut::Error`
// / `Decision::Error` with an exception set. They are called with the spec held
// (shared, or exclusive where they write) or on an engine no other thread can
// see, and may run Python code.
#pragma once

#include "typing/value_spec/engine/spec_engine.hpp"

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace vesk::typing {

struct ApplyOptions;   // engine/apply.hpp
class Detached;        // engine/build.hpp
class SpecItems;       // engine/format.hpp
class SpecJsonWriter;  // spec_class/json_write.hpp

// Answer of a native shortcut: undecided is never an error.
enum class Shortcut : std::uint8_t { Error, Accepted, Undecided };

// A step that may settle a question before the common steps do.
enum class Decision : std::int8_t { Error = -1, No = 0, Yes = 1, Open = 2 };

// How exact instances of a leaf kind's value type are accepted: as they are,
// after the native `validate`, or not at all without the full apply.
enum class Leaf : std::uint8_t { None, Exact, Checked };

// Where a default came from: given (or none), or derived by the kind (a
// Dict's from its schema).
enum class DefaultOrigin : std::uint8_t { Given, Derived };

// One Python class of a kind.
struct KindClass {
    const char* name;               // "Int": the class's name and the label of its text form
    const char* serialization_key;  // "vesk.typing.Int"
    PyTypeObject* (*type)();        // the class, built on first use; null with an exception
};

// The marker of a slot that takes the common behaviour.
struct CommonBehaviour {
    explicit consteval CommonBehaviour() = default;
};
inline constexpr CommonBehaviour kCommon{};

// A slot: a function of the kind's own, or `kCommon` for `Common`.
template <class Fn, Fn Common>
class Slot {
public:
    Slot() = delete;  // every kind sets every slot
    consteval Slot(Fn fn) : fn_(fn) {
        if (!fn) throw "a KindOps slot is a function, or kCommon";
    }
    consteval Slot(CommonBehaviour) : fn_(Common) {}

    template <class... A>
    decltype(auto) operator()(A&&... a) const {
        return fn_(std::forward<A>(a)...);
    }
    [[nodiscard]] constexpr bool is_common() const noexcept { return fn_ == Common; }

private:
    Fn fn_;
};

// A value every kind states: no common answer.
template <class T>
class Required {
public:
    Required() = delete;  // every kind sets every slot
    consteval Required(T value) : value_(value) {
        if constexpr (std::is_pointer_v<T>)
            if (!value) throw "a KindOps entry is given";
    }

    template <class... A>
    decltype(auto) operator()(A&&... a) const
        requires std::is_pointer_v<T>
    {
        return value_(std::forward<A>(a)...);
    }
    [[nodiscard]] constexpr T get() const noexcept { return value_; }

private:
    T value_;
};

// --- the common behaviours, each defined where its topic lives --------------

namespace common_kind {
// format.cpp: default, default_factory, noneable, frozen, strict.
bool format_items(SpecItems& items);
// build.cpp: no default of the kind's own; the payload shared by a deep copy;
// the origin of a default not kept.
int derived_default(const SpecEngine& engine, py::Ref& out);
void keep_default_origin(SpecKind& kind, DefaultOrigin origin);
bool shows_default(const SpecEngine& engine);
int deep_clone_payload(SpecEngine& copy, PyObject* memo);
// apply.cpp / apply_value.cpp: options as given; undecided; the value itself;
// no constraints; coercion through the value type's targets.
void settle_options(const SpecEngine& engine, ApplyOptions& options);
Shortcut shortcut(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                  ApplyOptions& options, py::Ref& out);
py::Ref apply_kind(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                   PyObject* path_text);
int validate(const SpecEngine& engine, PyObject* value, PyObject* root_path);
int coerce(const SpecEngine& engine, PyObject* value, PyObject* value_type, PyObject* root_path,
           py::Ref& out);
// type_queries.cpp: the bridge's empty frozenset; the stored value type.
py::Ref forward_refs(const SpecEngine& engine);
py::Ref value_type_obj(const SpecEngine& engine);
// probes.cpp: not a leaf; no children for strictness.
Leaf leaf(const SpecKind& kind);
bool strict_children(const SpecEngine& engine, std::vector<py::Ref>& out);
// equality.cpp: equal once the common fields are; nothing to settle first;
// compatible once the common steps pass.
int equal(const SpecEngine& engine, PyObject* other);
Decision compatible_first(const SpecEngine& engine, PyObject* self, PyObject* other);
int compatible(const SpecEngine& engine, PyObject* self, PyObject* other);
// spec_class/call.cpp: `value_type(*args)`, then apply.
PyObject* call(const SpecEngine& engine, PyObject* self, PyObject* args, PyObject* kwargs);
// spec_class/mutators.cpp: the flag, and None as default or none.
int noneable(SpecEngine& engine, bool is_noneable, bool none_default, Detached& detached);
// spec_class/extend.cpp: the child's payload is not narrowed (still taken
// under the child's exclusive hold, as every payload rule).
int extend(SpecScope child, PyObject* base);
}  // namespace common_kind

struct KindOps {
    // --- identity ---
    // The class of a spec of this payload (Int or Float by `is_float`,
    // Callable or Functor by `is_functor`).
    Required<const KindClass& (*)(const SpecKind& kind)> class_of;

    // --- text form (engine/format.hpp) ---
    // Whether the repr depends on this engine alone and may be cached.
    Required<bool> repr_cacheable;
    // list_wrap_threshold passed when the caller gave none; -1 = pass none.
    Required<std::int64_t> default_wrap_threshold;
    // The items of the text form in the kind's order, common ones included.
    Slot<bool (*)(SpecItems& items), &common_kind::format_items> format_items;

    // --- JSON form (spec_class/json_write.hpp) ---
    // The kind's keys and the trailing flags, after "_type" and "default".
    Required<bool (*)(SpecJsonWriter& w, const SpecEngine& engine)> write_json;

    // --- defaults (engine/build.hpp) ---
    // The default a missing value resolves to when the kind derives one:
    // 1 with `out` set, 0 when it does not (the canonical missing value).
    Slot<int (*)(const SpecEngine& engine, py::Ref& out), &common_kind::derived_default>
        derived_default;
    // Records where the stored default came from (exclusive hold).
    Slot<void (*)(SpecKind& kind, DefaultOrigin origin), &common_kind::keep_default_origin>
        keep_default_origin;
    // Whether the JSON form writes the default (false for a derived one).
    Slot<bool (*)(const SpecEngine& engine), &common_kind::shows_default> shows_default;

    // --- apply (engine/apply.hpp) ---
    // Adjusts the options for the rest of the call; runs on every apply,
    // before the shortcut, also with the shortcuts switched off.
    Slot<void (*)(const SpecEngine& engine, ApplyOptions& options), &common_kind::settle_options>
        settle_options;
    // The kind's native shortcut. On `Accepted`, `out` holds the result.
    Slot<Shortcut (*)(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                      ApplyOptions& options, py::Ref& out),
         &common_kind::shortcut>
        shortcut;
    // A value of the wrong type made into one of `value_type`: 1 with `out`
    // set, 0 when nothing accepted it.
    Slot<int (*)(const SpecEngine& engine, PyObject* value, PyObject* value_type,
                 PyObject* root_path, py::Ref& out),
         &common_kind::coerce>
        coerce;
    // The per-kind step after the type check.
    Slot<py::Ref (*)(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                     PyObject* path_text),
         &common_kind::apply_kind>
        apply_kind;
    // The constraint check on the root path (text rendered only for a
    // failure); 0 or -1.
    Slot<int (*)(const SpecEngine& engine, PyObject* value, PyObject* root_path),
         &common_kind::validate>
        validate;

    // --- types ---
    // The forward references of the spec (a set or frozenset).
    Slot<py::Ref (*)(const SpecEngine& engine), &common_kind::forward_refs> forward_refs;
    // The value type to check against, forward references resolved (null
    // without an error when there is none).
    Slot<py::Ref (*)(const SpecEngine& engine), &common_kind::value_type_obj> value_type_obj;

    // --- the spec as a whole (Part of SpecBase: annotation and probes) ---
    // The typing annotation, before the noneable step.
    Required<py::Ref (*)(const SpecEngine& engine)> annotation;
    // Whether a noneable spec's annotation becomes Optional[...].
    Required<bool> optional_when_noneable;
    // How exact instances of the value type are accepted.
    Slot<Leaf (*)(const SpecKind& kind), &common_kind::leaf> leaf;
    // The kind descends into values (`_has_custom_apply`).
    Required<bool> descends;
    // The kind has constraints of its own (`_has_custom_validate`).
    Required<bool> constrains;
    // The specs strictness reaches below this one, collected under its hold.
    Slot<bool (*)(const SpecEngine& engine, std::vector<py::Ref>& out),
         &common_kind::strict_children>
        strict_children;

    // --- copies ---
    // Replaces in `copy` (a reference clone) the payload parts a deep copy
    // must not share, copying through `memo`; 0 or -1.
    Slot<int (*)(SpecEngine& copy, PyObject* memo), &common_kind::deep_clone_payload>
        deep_clone_payload;

    // --- comparisons (engine/equality.hpp) ---
    // Equality of the payload, after the common fields compared equal.
    Slot<int (*)(const SpecEngine& engine, PyObject* other), &common_kind::equal> equal;
    // Compatibility settled before the common steps, or `Open`.
    Slot<Decision (*)(const SpecEngine& engine, PyObject* self, PyObject* other),
         &common_kind::compatible_first>
        compatible_first;
    // Compatibility of the payload, after the common steps passed.
    Slot<int (*)(const SpecEngine& engine, PyObject* self, PyObject* other),
         &common_kind::compatible>
        compatible;

    // --- the Python surface (spec_class/) ---
    // `spec(*args, **kwargs)` under a shared hold.
    Slot<PyObject* (*)(const SpecEngine& engine, PyObject* self, PyObject* args,
                       PyObject* kwargs),
         &common_kind::call>
        call;
    // `noneable(is_noneable, use_none_as_default)` under the exclusive hold;
    // what it replaces goes to `detached`.
    Slot<int (*)(SpecEngine& engine, bool is_noneable, bool none_default, Detached& detached),
         &common_kind::noneable>
        noneable;
    // The extension rule of the kind, after the common steps of `extend`;
    // `base` is the effective base. 0 or -1.
    Slot<int (*)(SpecScope child, PyObject* base), &common_kind::extend> extend;

    // The derived answers.
    [[nodiscard]] const char* label(const SpecKind& kind) const { return class_of(kind).name; }
    [[nodiscard]] const char* serialization_key(const SpecKind& kind) const {
        return class_of(kind).serialization_key;
    }
    // The native class of a spec of this payload; borrowed, null with an
    // exception.
    [[nodiscard]] PyTypeObject* py_class(const SpecKind& kind) const {
        return class_of(kind).type();
    }
};

namespace detail {
template <std::size_t... I>
consteval std::array<const KindOps*, kKindCount> kind_table(std::index_sequence<I...>) {
    return {&std::variant_alternative_t<I, SpecKind>::ops...};
}
}  // namespace detail

// The tables, indexed by `SpecKind::index()`.
inline constexpr std::array<const KindOps*, kKindCount> kKindOps =
    detail::kind_table(std::make_index_sequence<kKindCount>{});

[[nodiscard]] inline const KindOps& ops(const SpecKind& kind) noexcept {
    return *kKindOps[kind.index()];
}
[[nodiscard]] inline const KindOps& ops(const SpecEngine& engine) noexcept {
    return ops(engine.kind);
}

}  // namespace vesk::typing
