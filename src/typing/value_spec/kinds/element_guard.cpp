#include "typing/value_spec/kinds/element_guard.hpp"

#include "py/borrow.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "typing/change_epoch.hpp"
#include "typing/field/field.hpp"
#include "typing/schema/schema_ops.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

namespace {

// The objects nested in one native spec that its apply reads: a List's
// element spec, a Tuple's element fields (a list), a Dict's schema and open
// value spec, a Union's candidates (a list).
struct Nested {
    py::Ref one;
    py::Ref two;
    py::Ref list;
};

Nested nested_in(const SpecEngine& e) {
    Nested out;
    if (const auto* l = kind_as<ListKind>(e.kind)) {
        out.one = l->element;
    } else if (const auto* t = kind_as<TupleKind>(e.kind)) {
        out.list = t->elements;
    } else if (const auto* d = kind_as<DictKind>(e.kind)) {
        if (d->schema.get() != Py_None) out.one = d->schema;
        out.two = d->open_str_value_spec;
    } else if (const auto* u = kind_as<UnionKind>(e.kind)) {
        out.list = u->candidates;
    }
    return out;
}

}  // namespace

void ElementGuard::add(PyObject* obj, std::uint64_t version, What what) {
    Noted& n = noted_[static_cast<std::size_t>(count_++)];
    n.obj = py::Ref::borrow(obj);
    n.version = version;
    n.what = what;
}

bool ElementGuard::begin(PyObject* spec, bool quiet) {
    // Read before anything is noted: `verify` trusts an unmoved epoch.
    epoch_ = change_epoch();
    begun_ = true;
    if (quiet && is_spec(spec)) {
        hold_.emplace(spec);
        if (!*hold_) {
            hold_.reset();
            return false;
        }
        PyTypeObject* native = ops(**hold_).py_class((*hold_)->kind);
        if (!native) {
            hold_.reset();
            return false;
        }
        if (Py_TYPE(spec) != native) {
            hold_.reset();
        } else {
            const SpecEngine& e = **hold_;
            const KindId id = e.id();
            leaf_ = e.is_plain() &&
                    (id == KindId::Bool || id == KindId::Number || id == KindId::Str);
        }
    }
    return walk(spec, hold_ ? &hold_ : nullptr);
}

bool ElementGuard::note(PyObject* obj) { return walk(obj, nullptr); }

bool ElementGuard::walk(PyObject* obj, std::optional<SpecRead>* keep) {
    if (count_ >= kMaxNoted) return true;
    if (is_spec(obj)) {
        Nested nested;
        {
            std::optional<SpecRead> local;
            if (!keep) {
                local.emplace(obj);
                if (!*local) return false;
            }
            const SpecEngine& e = keep ? ***keep : **local;
            add(obj, e.version, What::Spec);
            nested = nested_in(e);
        }  // a short hold is released before anything nested is read
        if (nested.one && !walk(nested.one.get(), nullptr)) return false;
        if (nested.two && !walk(nested.two.get(), nullptr)) return false;
        if (nested.list && PyList_Check(nested.list.get())) {
            for (Py_ssize_t i = 0; count_ < kMaxNoted; ++i) {
                py::Ref item = py::list_item(nested.list.get(), i);
                if (!item) break;
                if (!walk(item.get(), nullptr)) return false;
            }
        }
        return true;
    }
    if (field::is_field(obj)) {
        // The generation first: a change after it is read moves it on.
        add(obj, field::meta_generation(obj), What::Field);
        py::Ref spec = field::field_value_spec(obj);
        return spec && walk(spec.get(), nullptr);
    }
    if (schema::is_schema(obj)) {
        py::Ref fields;
        {
            schema::Reading r(obj);
            if (!r) return false;
            add(obj, r->version, What::Schema);
            fields = r->fields;
        }
        if (!fields || !PyDict_Check(fields.get())) return true;
        py::DictCursor cursor(fields.get());
        py::Ref key, field;
        while (count_ < kMaxNoted) {
            const int step = cursor.next(key, field);
            if (step < 0) return false;
            if (!step) break;
            if (!walk(field.get(), nullptr)) return false;
        }
        return true;
    }
    return true;  // written in Python: not seen
}

int ElementGuard::verify() {
    if (!begun_ || change_epoch() == epoch_) return 0;
    for (int i = 0; i < count_; ++i) {
        const Noted& n = noted_[static_cast<std::size_t>(i)];
        PyObject* obj = n.obj.get();
        std::uint64_t now = 0;
        switch (n.what) {
            case What::Spec: {
                if (hold_ && obj == hold_->object()) continue;  // held: unchanged
                SpecRead r(obj);
                if (!r) return -1;
                now = r->version;
                break;
            }
            case What::Schema: {
                schema::Reading r(obj);
                if (!r) return -1;
                now = r->version;
                break;
            }
            case What::Field:
                now = field::meta_generation(obj);
                break;
        }
        if (now != n.version) {
            py::raise_mutably_borrowed();
            return -1;
        }
    }
    return 0;
}

py::Ref apply_held_element(const ElementGuard& guard, PyObject* element,
                           const ApplyOptions& options, PyObject* path) {
    ApplyOptions own;
    own.root_path = path;
    own.allow_partial = options.allow_partial;
    own.run_user_transform = true;
    own.inplace = options.inplace;
    return apply(*guard.held(), guard.held_spec(), py::Ref::borrow(element), own);
}

}  // namespace vesk::typing
