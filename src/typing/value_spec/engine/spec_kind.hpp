// SpecKind: what kind of value spec an engine is, with that kind's own
// payload. One variant per kind; the variant's order is the order of
// `KindId`.
//
// Each payload names its behaviour, `ops` (kind_ops.hpp), defined in the
// kind's own file under kinds/; the dispatch table is made from the variant,
// so a kind is reached only through what its file declares.
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
#include "typing/tri.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

namespace vesk::typing {

struct KindOps;  // kind_ops.hpp

struct BoolKind {
    static const KindOps ops;
    template <class V> void visit(V&&) {}
};

struct StrKind {
    static const KindOps ops;
    py::Ref regex;  // compiled `re` pattern; null = no regular expression
    template <class V> void visit(V&& v) { v(regex); }
};

// Int and Float.
struct NumberKind {
    static const KindOps ops;
    py::Ref min_value;  // null = unbounded
    py::Ref max_value;  // null = unbounded
    bool is_float = false;
    template <class V> void visit(V&& v) { v(min_value); v(max_value); }
};

struct EnumKind {
    static const KindOps ops;
    py::Ref values;  // list of candidate values, handed out as is by `values`
    template <class V> void visit(V&& v) { v(values); }
};

struct AnyKind {
    static const KindOps ops;
    py::Ref annotation;  // a missing value when none was given
    template <class V> void visit(V&& v) { v(annotation); }
};

struct ListKind {
    static const KindOps ops;
    std::optional<std::int64_t> max_size;
    py::Ref element;        // the element value spec
    py::Ref element_field;  // the element Field (with a ListKey)
    std::int64_t min_size = 0;
    bool auto_wrap = true;
    Tri symbolic = Tri::Unset;
    template <class V> void visit(V&& v) { v(element); v(element_field); }
};

struct TupleKind {
    static const KindOps ops;
    std::optional<std::int64_t> max_size;
    py::Ref elements;  // list of element Fields (one for a variable-length tuple)
    std::int64_t min_size = 0;
    bool fixed_length = false;
    template <class V> void visit(V&& v) { v(elements); }
};

struct UnionKind {
    static const KindOps ops;
    py::Ref candidates;          // list of candidate specs
    py::Ref candidate_type_map;  // dict class -> candidate; null = no map
    template <class V> void visit(V&& v) { v(candidates); v(candidate_type_map); }
};

struct ObjectKind {
    static const KindOps ops;
    py::Ref forward_ref;  // null unless the class was named by a string or forward reference
    template <class V> void visit(V&& v) { v(forward_ref); }
};

struct TypeKind {
    static const KindOps ops;
    py::Ref t;            // the type argument as passed
    py::Ref forward_ref;  // null unless `t` was a string
    template <class V> void visit(V&& v) { v(t); v(forward_ref); }
};

struct DictKind {
    static const KindOps ops;
    py::Ref open_str_value_spec;  // null unless the schema accepts any str key
    py::Ref schema;               // None when the Dict has no schema
    Tri symbolic = Tri::Unset;
    bool default_from_schema = false;
    bool auto_wrap = true;
    template <class V> void visit(V&& v) { v(open_str_value_spec); v(schema); }
};

// Callable and Functor.
struct CallableKind {
    static const KindOps ops;
    py::Ref args;     // list of argument specs
    py::Ref kw;       // list of (name, value spec) entries
    py::Ref returns;  // null = no return spec
    bool is_functor = false;
    template <class V> void visit(V&& v) { v(args); v(kw); v(returns); }
};

using SpecKind = std::variant<BoolKind, StrKind, NumberKind, EnumKind, AnyKind, ListKind,
                              TupleKind, UnionKind, ObjectKind, TypeKind, DictKind,
                              CallableKind>;

// The variant index of each kind, by name.
enum class KindId : std::uint8_t {
    Bool, Str, Number, Enum, Any, List, Tuple, Union, Object, Type, Dict, Callable,
};
inline constexpr std::size_t kKindCount = std::variant_size_v<SpecKind>;

namespace detail {
template <class K, std::size_t I = 0>
consteval std::size_t index_of() {
    if constexpr (I == kKindCount) {
        static_assert(I != kKindCount, "not a SpecKind payload");
        return I;
    } else if constexpr (std::is_same_v<std::variant_alternative_t<I, SpecKind>, K>) {
        return I;
    } else {
        return index_of<K, I + 1>();
    }
}
}  // namespace detail

// The KindId of payload `K`.
template <class K>
inline constexpr KindId kind_id_of = static_cast<KindId>(detail::index_of<K>());

static_assert(kKindCount == static_cast<std::size_t>(KindId::Callable) + 1);
static_assert(kind_id_of<BoolKind> == KindId::Bool && kind_id_of<StrKind> == KindId::Str &&
              kind_id_of<NumberKind> == KindId::Number && kind_id_of<EnumKind> == KindId::Enum &&
              kind_id_of<AnyKind> == KindId::Any && kind_id_of<ListKind> == KindId::List &&
              kind_id_of<TupleKind> == KindId::Tuple && kind_id_of<UnionKind> == KindId::Union &&
              kind_id_of<ObjectKind> == KindId::Object && kind_id_of<TypeKind> == KindId::Type &&
              kind_id_of<DictKind> == KindId::Dict &&
              kind_id_of<CallableKind> == KindId::Callable);

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
