#include "typing/value_spec/engine/probes.hpp"

#include "typing/fast_types.hpp"

namespace vesk::typing {

Leaf common_kind::leaf(const SpecKind&) { return Leaf::None; }

bool common_kind::strict_children(const SpecEngine&, std::vector<py::Ref>&) { return true; }

PyObject* native_exact_leaf(const SpecEngine& engine) noexcept {
    if (!engine.value_type || !engine.is_plain() || ops(engine).leaf(engine.kind) != Leaf::Exact)
        return nullptr;
    return engine.value_type.get();
}

PyObject* native_checked_leaf(const SpecEngine& engine) noexcept {
    if (!engine.value_type || !engine.is_plain() ||
        ops(engine).leaf(engine.kind) != Leaf::Checked ||
        !is_primitive_value_type(engine.value_type.get()))
        return nullptr;
    return engine.value_type.get();
}

bool validate_is_noop(const SpecEngine& engine) noexcept {
    // A kind with constraints checks something unless its payload states none
    // (a Str without regex, a Number without bounds: exact leaves).
    const KindOps& kind = ops(engine);
    return !kind.constrains.get() || kind.leaf(engine.kind) == Leaf::Exact;
}

}  // namespace vesk::typing
