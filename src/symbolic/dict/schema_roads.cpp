// The two schema-ful construction roads of SymDict. The fused road builds
// the common dictionary of scalar values under an all-constant-key native
// Schema in one native pass: the schema's constant-key index and compiled
// field metadata feed the acceptance funnel, and nothing is written unless
// every value is accepted outright. The single-pass road formalizes and
// adopts each member once, then fills the defaults of the missing fields.
#include "symbolic/dict/dict_ops.hpp"

#include "py/args.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/maybe_ref.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/container/sorting.hpp"
#include "symbolic/shortcuts.hpp"
#include "typing/fast_types.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"
#include "typing/schema/dict_spec_facts.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace vesk::symbolic::dict {

namespace schema_ns = typing::schema;

py::Params<2> kFusedParams{"try_fused_schemaful_construct", {"value_spec", "normalized"}, 2, 2};
py::Params<3> kSinglePassParams{
    "try_single_pass_schemaful_construct", {"value_spec", "normalized", "seen"}, 3, 3};

namespace {

// The native Schema of a native Dict spec, read under the spec's shared
// hold; null (no error) when `spec` is not one.
bool native_dict_schema(PyObject* spec, py::Ref& out) {
    if (!typing::is_spec(spec)) return true;
    py::Shared<typing::SpecEngine> held(spec);
    if (!held) return false;
    if (const typing::DictKind* kind = typing::kind_as<typing::DictKind>(held->kind))
        if (kind->schema && schema_ns::is_schema(kind->schema.get())) out = kind->schema;
    return true;
}

// `meta` is borrowed inside the caller's `field::ReadSection`; `keep` holds
// it only when it had to be built.
struct Accepted {
    py::Ref key;
    py::Ref value;
    const typing::field::FieldMeta* meta = nullptr;
    typing::field::FieldMetaRef keep;
};

// The members the fused road collects, one per field of the schema: kept on
// the stack for the common small schema, so the road allocates nothing.
class Collected {
public:
    explicit Collected(std::size_t fields) : fields_(fields) {
        if (fields > kInline) {
            heap_.resize(fields);
            heap_taken_.assign(fields, false);
        }
    }
    [[nodiscard]] Accepted* begin() noexcept { return heap_.empty() ? inline_.data() : heap_.data(); }
    [[nodiscard]] Accepted* end() noexcept { return begin() + size_; }
    // Marks field `pos` taken; false when it already was.
    [[nodiscard]] bool take(std::size_t pos) {
        if (fields_ > kInline) return !heap_taken_[pos] && (heap_taken_[pos] = true);
        const std::uint32_t bit = 1u << pos;
        if (inline_taken_ & bit) return false;
        inline_taken_ |= bit;
        return true;
    }
    void add(Accepted a) { begin()[size_++] = std::move(a); }

private:
    static constexpr std::size_t kInline = 16;
    std::size_t fields_;
    std::size_t size_ = 0;
    std::array<Accepted, kInline> inline_{};
    std::uint32_t inline_taken_ = 0;
    std::vector<Accepted> heap_;
    std::vector<bool> heap_taken_;
};

// The members of `items` as (key, value, field metadata), or false (with
// `declined`, or an error set) when the fused road cannot take them. The
// caller checked that `items` has one entry per field.
bool collect_scalars(PyObject* items, const schema_ns::SchemaMeta& meta, Collected& out,
                     bool& declined) {
    py::DictCursor cursor(items);
    py::Ref k, v;
    for (int step; (step = cursor.next(k, v)) != 0;) {
        if (step < 0) return false;
        const std::ptrdiff_t pos = typing::is_scalar_value(v.get()) && PyUnicode_Check(k.get())
                                       ? meta.field_meta_index.find_key(k.get())
                                       : -1;
        // Two keys of one text (a str subclass beside a str) would leave a
        // field unfilled.
        if (pos < 0 || !out.take(static_cast<std::size_t>(pos))) {
            declined = true;
            return false;
        }
        typing::field::FieldMetaRef keep;
        const typing::field::FieldMeta* fm = schema_ns::field_meta_view(
            meta.const_fields[static_cast<std::size_t>(pos)].get(), keep);
        if (!fm) return false;
        out.add({k, v, fm, std::move(keep)});
    }
    return true;
}

// The node's path and own allow_partial flag, read in one hold. The shared
// empty path of every root is borrowed from the bridge, which keeps it for
// good: a new reference would be an atomic update of one count every
// thread's roots share (on the free-threaded build).
bool path_and_allow_partial(PyObject* self, py::MaybeRef& path, bool& allow_partial) {
    const ContainerBridge* b = container_bridge();
    if (!b) return false;
    py::Shared<DictState> held(self);
    if (!held) return false;
    PyObject* p = held->node.path.get();
    path = p && p == b->empty_key_path.get() ? py::MaybeRef::borrowed(p)
                                             : py::MaybeRef(held->node.path);
    allow_partial = held->node.allow_partial;
    return true;
}

int store(PyObject* self, PyObject* key, PyObject* value) {
    return value ? PyDict_SetItem(self, key, value) : -1;
}

}  // namespace

int try_fused(PyObject* self, PyObject* spec, PyObject* items) {
    // The spec's facts, the schema's metadata and the field records are
    // borrowed until the last member is accepted.
    typing::field::ReadSection reading;
    const typing::DictSpecFacts* facts = typing::dict_spec_facts(spec);
    schema_ns::SchemaMetaRef kept;
    const schema_ns::SchemaMeta* meta = nullptr;
    if (facts) {
        if (!facts->schema) return 0;
        meta = facts->meta;
    } else {
        // Facts that cannot be kept now: the same reads, each under its hold.
        py::Ref schema;
        if (!native_dict_schema(spec, schema)) return -1;
        if (!schema) return 0;
        kept = schema_ns::schema_meta(schema.get());
        if (!kept) return -1;
        meta = kept.get();
    }
    py::MaybeRef path;
    bool own = false;
    if (!path_and_allow_partial(self, path, own)) return -1;
    const bool allow_partial = effective_flag_allow_partial(own);
    if (meta->has_nonconst ||
        meta->const_fields.size() != static_cast<std::size_t>(PyDict_Size(items)))
        return 0;
    Collected members(meta->const_fields.size());
    bool declined = false;
    if (!collect_scalars(items, *meta, members, declined)) return declined ? 0 : -1;
    typing::funnel::FunnelCtx ctx;
    ctx.parent_path = path.get();
    ctx.allow_partial = allow_partial;
    for (Accepted& m : members) {
        typing::funnel::FunnelOutcome out =
            typing::funnel::funnel_accept(m.value.get(), *m.meta, m.key.get(), ctx);
        using Kind = typing::funnel::FunnelOutcome::Kind;
        if (out.kind == Kind::Error) return -1;
        if (out.kind == Kind::Produced) m.value = std::move(out.value);
        else if (out.kind != Kind::Verbatim) return 0;
    }
    for (const Accepted& m : members)
        if (PyDict_SetItem(self, m.key.get(), m.value.get()) < 0) return -1;
    return bind_spec(self, spec) < 0 ? -1 : 1;
}

int try_single_pass(PyObject* self, PyObject* spec, PyObject* items, ClaimedSet* claimed) {
    py::Ref schema = py::get_attr<"schema">(spec);
    if (!schema) return -1;
    if (!schema_ns::is_schema(schema.get())) return 0;
    py::Ref open = py::get_attr<"_has_nonconst_keys">(schema.get());
    const int has_nonconst = open ? PyObject_IsTrue(open.get()) : -1;
    if (has_nonconst != 0) return has_nonconst < 0 ? -1 : 0;
    schema_ns::SchemaMetaRef meta = schema_ns::schema_meta(schema.get());
    if (!meta) return -1;
    if (!meta->const_text_set) return 0;
    FormalizeContext ctx;
    if (!make_context(self, nullptr, ctx)) return -1;
    if (schema_ns::raise_if_extra_keys(meta->const_text_set.get(), items, ctx.path.get()) < 0)
        return -1;
    ctx.auto_wrap = auto_wrap_answer(spec);
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;

    py::DictCursor provided(items);
    py::Ref k, v;
    for (int step; (step = provided.next(k, v)) != 0;) {
        if (step < 0) return -1;
        py::Ref field = schema_field(schema.get(), k.get());
        if (!field) return -1;
        PyObject* f = field.get() == Py_None ? nullptr : field.get();
        if (store(self, k.get(), formalize_member(k.get(), f, v.get(), ctx, claimed).get()) < 0)
            return -1;
    }
    py::Ref fields = py::get_attr<"fields">(schema.get());
    if (!fields) return -1;
    if (!PyDict_Check(fields.get())) {
        py::raise_arg_type("fields", "dict", fields.get());
        return -1;
    }
    py::DictCursor declared(fields.get());
    py::Ref key_spec, field;
    for (int step; (step = declared.next(key_spec, field)) != 0;) {
        if (step < 0) return -1;
        py::Ref name = py::get_attr<"const_text">(key_spec.get());
        if (!name) return -1;
        const int present = PyDict_Contains(items, name.get());
        if (present < 0) return -1;
        if (present) continue;
        py::Ref formal =
            formalize_member(name.get(), field.get(), b->missing_value.get(), ctx, claimed);
        if (store(self, name.get(), formal.get()) < 0) return -1;
    }
    return bind_spec(self, spec) < 0 ? -1 : 1;
}

bool is_live(PyObject* self) noexcept {
    // A dictionary made by `__new__` has no path until it is constructed;
    // one held for a write meanwhile is live.
    py::Shared<DictState> held(self);
    if (!held) {
        PyErr_Clear();
        return true;
    }
    return held->node.path.get() != nullptr;
}

int WholeHold::hold(PyObject* self) {
    // A sort, a pass or another such operation holding it, of this thread
    // too (a hook of the operation rebuilding the dictionary it runs over),
    // refuses it.
    if (refused_at_entry<DictState>(self)) return -1;
    ClaimScope* scope = ClaimScope::current();
    const PassMark mark = claim_and_mark<DictState>(scope ? *scope : claims_.emplace(), self);
    if (mark == PassMark::Refused) return -1;
    if (mark == PassMark::Taken) marked_ = py::Ref::borrow(self);
    return 0;
}

WholeHold::~WholeHold() {
    if (marked_) release_mark<DictState>(marked_.get());
}

PyObject* py_try_fused(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kFusedParams, args, nargs, kwnames, a)) return nullptr;
    if (!PyDict_Check(a[1])) {
        py::raise_arg_type("normalized", "dict", a[1]);
        return nullptr;
    }
    // Held for its whole work, as any rebind of a live dictionary is
    // (container/binding.hpp).
    WholeHold whole;
    if (whole.hold(self) < 0) return nullptr;
    const int done = try_fused(self, a[0], a[1]);
    return done < 0 ? nullptr : py::boolean(done);
}

PyObject* py_try_single_pass(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kSinglePassParams, args, nargs, kwnames, a)) return nullptr;
    if (!PyDict_Check(a[1])) {
        py::raise_arg_type("normalized", "dict", a[1]);
        return nullptr;
    }
    std::optional<ClaimedSet> seen;
    if (!arg_claimed_set(a[2], seen)) return nullptr;
    WholeHold whole;
    if (whole.hold(self) < 0) return nullptr;
    const int done = try_single_pass(self, a[0], a[1], seen ? &*seen : nullptr);
    return done < 0 ? nullptr : py::boolean(done);
}

}  // namespace vesk::symbolic::dict
