// What a SymDict bound to a native Dict spec reads of the spec on every
// construction, kept in the spec: read with one atomic load inside a
// `field::ReadSection` (meta_epoch.hpp), with no hold of the spec or of its
// schema and no new reference to either. On the free-threaded build a hold
// or a reference is an atomic update of the spec's or schema's header,
// which every thread constructing dicts of one spec shares; with the global
// lock the record saves two holds and a few counts, and costs one small
// record per Dict spec read this way.
#pragma once

#include "py/ref.hpp"
#include "typing/schema/schema_meta.hpp"

#include <cstdint>

namespace vesk::typing {

// Derived from the spec (and its schema) after the change epoch read
// `epoch`, and used only while the epoch still reads the same: any change of
// a spec, schema or field moves it on (change_epoch.hpp).
struct DictSpecFacts {
    std::uint64_t epoch = 0;
    bool auto_wrap = true;
    py::Ref schema;  // the spec's native Schema; null for none or another
    // That schema's compiled metadata (null without one), borrowed from the
    // schema: a schema that replaces it moves the epoch on and retires it to
    // outlast every read section open (meta_epoch.hpp). The schema alone
    // counts it for the collector, so no kept record holds a share of it
    // that nothing counts.
    const schema::SchemaMeta* meta = nullptr;

    template <class V>
    void visit(V&& v) const {
        v(schema);
    }
};

// The facts of `spec` when it is a native Dict spec, borrowed for the
// caller's ReadSection; null (no exception) for any other object, or when
// they cannot be read now (the caller then takes its general road).
[[nodiscard]] const DictSpecFacts* dict_spec_facts(PyObject* spec) noexcept;

}  // namespace vesk::typing
