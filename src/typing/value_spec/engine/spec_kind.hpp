// SpecKind: what kind of value spec an engine is, with that kind's own
// payload. One variant per kind, in a fixed order that the per-kind dispatch
// table (kind_ops.hpp) follows index by index.
//
// Ownership. Every reference in a payload is owned by the payload. A null
// `py::Ref` is an absent optional object; payload fields that are never
// optional are set by the kind's constructor and are never null in a built
// engine. Copying a payload copies the references (new references to the same
// objects): that is the reference clone, `clone_kind`.
//
// Mutability. A payload changes only while its spec is held exclusively
// (see spec_engine.hpp); readers see it under a shared hold.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

namespace vesk::typing {

// A tri-state flag: only True has an effect where one is read.
enum class Tri : std::uint8_t { False = 0, True = 1, Unset = 2 };

[[nodiscard]] constexpr Tri tri_from_bool(bool b) noexcept { return b ? Tri::True : Tri::False; }

struct BoolKind {
    template <class V> void visit(V&&) {}
};

struct StrKind {
    py::Ref regex;  // compiled `re` pattern; null = no regular expression
    template <class V> void visit(V&& v) { v(regex); }
};

// Int and Float.
struct NumberKind {
    py::Ref min_value;  // null = unbounded
    py::Ref max_value;  // null = unbounded
    bool is_float = false;
    template <class V> void visit(V&& v) { v(min_value); v(max_value); }
};

struct EnumKind {
    py::Ref values;  // list of candidate values, handed out as is by `values`
    template <class V> void visit(V&& v) { v(values); }
};

struct AnyKind {
    py::Ref annotation;  // a missing value when none was given
    template <class V> void visit(V&& v) { v(annotation); }
};

struct ListKind {
    std::optional<std::int64_t> max_size;
    py::Ref element;        // the element value spec
    py::Ref element_field;  // the element Field (with a ListKey)
    std::int64_t min_size = 0;
    bool auto_wrap = true;
    Tri symbolic = Tri::Unset;
    template <class V> void visit(V&& v) { v(element); v(element_field); }
};

struct TupleKind {
    std::optional<std::int64_t> max_size;
    py::Ref elements;  // list of element Fields (one for a variable-length tuple)
    std::int64_t min_size = 0;
    bool fixed_length = false;
    template <class V> void visit(V&& v) { v(elements); }
};

struct UnionKind {
    py::Ref candidates;          // list of candidate specs
    py::Ref candidate_type_map;  // dict class -> candidate; null = no map
    template <class V> void visit(V&& v) { v(candidates); v(candidate_type_map); }
};

struct ObjectKind {
    py::Ref forward_ref;  // null unless the class was named by a string or forward reference
    template <class V> void visit(V&& v) { v(forward_ref); }
};

struct TypeKind {
    py::Ref t;            // the type argument as passed
    py::Ref forward_ref;  // null unless `t` was a string
    template <class V> void visit(V&& v) { v(t); v(forward_ref); }
};

struct DictKind {
    py::Ref open_str_value_spec;  // null unless the schema accepts any str key
    py::Ref schema;               // None when the Dict has no schema
    Tri symbolic = Tri::Unset;
    bool default_from_schema = false;
    bool auto_wrap = true;
    template <class V> void visit(V&& v) { v(open_str_value_spec); v(schema); }
};

// Callable and Functor.
struct CallableKind {
    py::Ref args;     // list of argument specs
    py::Ref kw;       // list of (name, value spec) entries
    py::Ref returns;  // null = no return spec
    bool is_functor = false;
    template <class V> void visit(V&& v) { v(args); v(kw); v(returns); }
};

using SpecKind = std::variant<BoolKind, StrKind, NumberKind, EnumKind, AnyKind, ListKind,
                              TupleKind, UnionKind, ObjectKind, TypeKind, DictKind,
                              CallableKind>;

// The variant index of each kind, for switches and for the dispatch table.
enum class KindId : std::uint8_t {
    Bool, Str, Number, Enum, Any, List, Tuple, Union, Object, Type, Dict, Callable,
};
inline constexpr std::size_t kKindCount = std::variant_size_v<SpecKind>;
static_assert(kKindCount == static_cast<std::size_t>(KindId::Callable) + 1);
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(KindId::Dict),
                                                        SpecKind>,
                             DictKind>);

[[nodiscard]] inline KindId kind_id(const SpecKind& kind) noexcept {
    return static_cast<KindId>(kind.index());
}

// The payload of kind `K`, or null when the engine is of another kind.
template <class K>
[[nodiscard]] const K* kind_as(const SpecKind& kind) noexcept {
    return std::get_if<K>(&kind);
}
template <class K>
[[nodiscard]] K* kind_as(SpecKind& kind) noexcept {
    return std::get_if<K>(&kind);
}

// New references to the same payload objects.
[[nodiscard]] inline SpecKind clone_kind(const SpecKind& kind) { return kind; }

// Calls `v(ref)` for every reference the payload owns (GC traversal/clear).
template <class V>
void visit_kind(SpecKind& kind, V&& v) {
    std::visit([&](auto& payload) { payload.visit(v); }, kind);
}

}  // namespace vesk::typing
