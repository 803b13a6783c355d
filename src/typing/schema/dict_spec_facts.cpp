#include "typing/schema/dict_spec_facts.hpp"

#include "typing/schema/schema.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <memory>
#include <new>

namespace vesk::typing {

namespace {

// The facts read now under the spec's shared hold; null (no exception) when
// `spec` is no Dict spec or a read failed.
std::shared_ptr<const DictSpecFacts> derive(PyObject* spec, std::uint64_t epoch) noexcept {
    std::shared_ptr<DictSpecFacts> fresh;
    try {
        fresh = std::make_shared<DictSpecFacts>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    fresh->epoch = epoch;
    {
        py::Shared<SpecEngine> held(spec);
        if (!held) {
            PyErr_Clear();
            return nullptr;
        }
        const DictKind* kind = kind_as<DictKind>(held->kind);
        if (!kind) return nullptr;
        fresh->auto_wrap = kind->auto_wrap;
        if (kind->schema && schema::is_schema(kind->schema.get())) fresh->schema = kind->schema;
    }
    if (fresh->schema) {
        // Read after the epoch: a schema that replaces it later moves the
        // epoch past these facts.
        schema::SchemaMetaRef meta = schema::schema_meta(fresh->schema.get());
        if (!meta) {
            PyErr_Clear();
            return nullptr;
        }
        fresh->meta = meta.get();
    }
    return fresh;
}

}  // namespace

const DictSpecFacts* dict_spec_facts(PyObject* spec) noexcept {
    if (!is_spec(spec)) return nullptr;
    // The slot is only ever read and replaced atomically, so it is reached
    // without the spec's hold; the caller keeps the spec alive.
    const auto& slot = py::state<SpecEngine>(spec).dict_facts;
    const std::uint64_t now = change_epoch();
    const DictSpecFacts* facts = slot.peek();
    if (facts && facts->epoch == now) return facts;
    const std::uint64_t generation = slot.generation();
    std::shared_ptr<const DictSpecFacts> fresh = derive(spec, now);
    if (!fresh) return nullptr;
    try {
        (void)slot.store(fresh, generation);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    // Only a published record lasts the section.
    facts = slot.peek();
    return facts && facts->epoch == now ? facts : nullptr;
}

}  // namespace vesk::typing
