// The fast and the general road of a symbolic write.
#include "symbolic/object/writes/write_roads.hpp"

#include "py/lazy.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/node.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/policy.hpp"
#include "topology/key_path.hpp"
#include "typing/change_epoch.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/markers.hpp"
#include "typing/schema/schema.hpp"
#include "typing/schema/schema_ops.hpp"

namespace vesk::symbolic::object {

namespace {

namespace funnel = typing::funnel;
namespace schema_ns = typing::schema;
using Kind = funnel::FunnelOutcome::Kind;

// The funnel's answer as the road's answer.
FastRoad settle(funnel::FunnelOutcome outcome, PyObject* value, py::Ref& out) {
    switch (outcome.kind) {
        case Kind::Verbatim:
            out = py::Ref::borrow(value);
            return FastRoad::Accepted;
        case Kind::Produced:
            out = std::move(outcome.value);
            return FastRoad::Accepted;
        case Kind::Error:
            return FastRoad::Error;
        default:
            // A raw container to wrap, or undecided: the field's own apply
            // decides.
            return FastRoad::General;
    }
}

// Whether the field's value spec stores its values symbolically: its
// `symbolic` answer, or the object's `topo` option when it gives none.
int stores_symbolically(PyObject* field, const WriteCtx& ctx) {
    py::Ref spec = py::get_attr<"value">(field);
    return spec ? typing::spec_storage(spec.get(), ctx.enable_topo) : -1;
}

// `wrap_value(value, wrap=, allow_partial=, root_path=, assign=)`.
py::Ref wrapped_value(PyObject* obj, PyObject* name, PyObject* value, PyObject* field,
                      const ObjectBridge& ob, const WriteCtx& ctx) {
    const int wrap = stores_symbolically(field, ctx);
    if (wrap < 0) return {};
    py::Ref root = field_key_path(ob, name, ctx);
    py::Ref policy;
    if (!root || !class_field_policy(obj, name, policy)) return {};
    const ContainerBridge* cb = container_bridge();
    PyObject* kw;
    if (!cb || !py::names<"wrap", "allow_partial", "root_path", "assign">(kw)) return {};
    PyObject* args[] = {value, wrap ? Py_True : Py_False, ctx.allow_partial ? Py_True : Py_False,
                        root.get(), or_none(policy)};
    // What the wrap builds is made for the write (adoption.hpp).
    AdoptionLog::MadeFor made;
    return py::Ref::steal(PyObject_Vectorcall(cb->wrap_value.get(), args, 1, kw));
}

// The fast road's record of every public field of `meta` in its schema, as
// the held road below would find it, derived after the change epoch read
// `epoch`. Null (no exception) when the schema cannot be read now.
std::shared_ptr<const WriteFacts> derive_facts(const CtorMeta& meta, std::uint64_t epoch) {
    auto facts = std::make_shared<WriteFacts>();
    facts->epoch = epoch;
    facts->metas.resize(meta.public_fields.size());
    PyObject* schema = meta.schema.get();
    if (!schema || !schema_ns::is_schema(schema)) return facts;
    schema_ns::Reading held(schema);
    if (!held) {
        PyErr_Clear();
        return nullptr;
    }
    const schema_ns::SchemaMeta& sm = *held->meta;
    for (std::size_t i = 0; i < meta.public_fields.size(); ++i) {
        const std::ptrdiff_t pos = sm.field_meta_index.find_key(meta.public_fields[i].name.get());
        if (pos < 0) continue;
        typing::field::FieldMetaRef fm =
            schema_ns::field_meta_for(sm.const_fields[static_cast<std::size_t>(pos)].get());
        if (!fm) {
            // The held road reports it, write by write.
            PyErr_Clear();
            continue;
        }
        if (!fm->frozen) facts->metas[i] = std::move(fm);
    }
    return facts;
}

// What the class's metadata knows of the public field the write names, for
// the write's read section; null where the held road must decide.
const typing::field::FieldMeta* known_field_meta(const WriteCtx& ctx) {
    const CtorMeta& meta = *ctx.class_meta;
    const std::uint64_t now = typing::change_epoch();
    const WriteFacts* facts = meta.write_facts.peek();
    if (!facts || facts->epoch != now) {
        const std::uint64_t generation = meta.write_facts.generation();
        std::shared_ptr<const WriteFacts> fresh = derive_facts(meta, now);
        if (!fresh) return nullptr;
        (void)meta.write_facts.store(fresh, generation);
        // Only a published record lasts the section.
        facts = meta.write_facts.peek();
        if (!facts || facts->epoch != now) return nullptr;
    }
    const std::size_t i = static_cast<std::size_t>(ctx.public_field - meta.public_fields.data());
    return i < facts->metas.size() ? facts->metas[i].get() : nullptr;
}

}  // namespace

py::Ref field_key_path(const ObjectBridge& b, PyObject* name, const WriteCtx& ctx) {
    PyObject* cls = b.keypath_cls.get();
    if (cls == reinterpret_cast<PyObject*>(topology::key_path_type_if_built()))
        return topology::child_key_path(name, ctx.path.get());
    PyObject* args[] = {name, or_none(ctx.path.get())};
    return py::Ref::steal(PyObject_Vectorcall(cls, args, 2, nullptr));
}

FastRoad fast_road(PyObject* name, PyObject* value, const WriteCtx& ctx, py::Ref& out) {
    // A value the field keeps as it is, by what the class's metadata knows:
    // no Python code runs, so the schema's hold, which guards the funnel's
    // hooks, would change nothing.
    if (ctx.class_meta && ctx.public_field && ctx.schema == ctx.class_meta->schema.get()) {
        if (const typing::field::FieldMeta* known = known_field_meta(ctx)) {
            if (funnel::funnel_leaf(value, *known).kind == Kind::Verbatim) {
                out = py::Ref::borrow(value);
                return FastRoad::Accepted;
            }
        }
    }
    if (!schema_ns::is_schema(ctx.schema)) return FastRoad::General;
    // Held across the lookup and the funnel, whose `_validate` hooks may run
    // Python code: a hook that tries to change this schema meets the borrow
    // error instead of waiting.
    schema_ns::Reading held(ctx.schema);
    if (!held) return FastRoad::Error;
    const schema_ns::SchemaMeta& meta = *held->meta;
    const std::ptrdiff_t pos = meta.field_meta_index.find_key(name);
    if (pos < 0) return FastRoad::General;
    // The field's published record, borrowed for the rest of the road.
    typing::field::ReadSection reading;
    typing::field::FieldMetaRef keep;
    const typing::field::FieldMeta* fm =
        schema_ns::field_meta_view(meta.const_fields[static_cast<std::size_t>(pos)].get(), keep);
    if (!fm) return FastRoad::Error;
    if (fm->frozen) return FastRoad::General;
    funnel::FunnelOutcome leaf = funnel::funnel_leaf(value, *fm);
    if (leaf.kind == Kind::Verbatim) return settle(std::move(leaf), value, out);
    if (leaf.kind == Kind::Error) return FastRoad::Error;
    funnel::FunnelCtx fctx;
    fctx.parent_path = ctx.path.get();
    fctx.allow_partial = ctx.allow_partial;
    return settle(funnel::funnel_accept(value, *fm, name, fctx), value, out);
}

py::Ref general_road(PyObject* obj, PyObject* name, PyObject* value, PyObject* field,
                     const WriteCtx& ctx, bool is_default) {
    const ObjectBridge* ob = object_bridge();
    if (!ob) return {};
    py::Ref wrapped =
        is_default ? py::Ref::borrow(value) : wrapped_value(obj, name, value, field, *ob, ctx);
    if (!wrapped) return {};
    py::Ref transform = py::Ref::steal(PyObject_CallOneArg(
        ob->symbolic_transform_fn.get(), ctx.allow_partial ? Py_True : Py_False));
    py::Ref child_path = transform ? topology::child_key_path(name, ctx.path.get()) : py::Ref();
    if (!child_path) return {};
    const int symbolic = stores_symbolically(field, ctx);
    if (symbolic < 0) return {};
    return call_field_apply(field, wrapped.get(), ctx.allow_partial,
                            symbolic ? transform.get() : nullptr, child_path.get());
}

}  // namespace vesk::symbolic::object
