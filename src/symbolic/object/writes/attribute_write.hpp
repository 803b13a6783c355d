// The attribute-write slot of SymObject: a write of a field that the
// object's class constructs from keywords is symbolic (store_field.hpp);
// any other attribute, and every deletion, is a plain instance attribute of
// the package's composed class.
#pragma once

#include "py/ref.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "typing/meta_epoch.hpp"

namespace vesk::symbolic::object {

// How a write of one attribute name is taken. The class's fields, schema
// and key paths are borrowed from its metadata, which the read section
// keeps for as long as this classification lives: a write takes no new
// reference to anything every thread's writes share.
struct WriteClass {
    typing::field::ReadSection section;  // first: it outlives what is borrowed
    PinnedCtorMeta keep;                 // the metadata, when it had to be read
    py::Ref found;                       // a field found by `get_field`
    PyObject* field = nullptr;  // the governing field; null when the name is no field
    PyObject* schema = nullptr;  // the schema the class records
    PyObject* root_path = nullptr;  // a public init field's key path under a root
    const CtorMeta* meta = nullptr;          // the class's metadata
    const PublicField* public_field = nullptr;  // the public init field written, if so
    bool symbolic = false;
    bool enable_topo = false;  // the class's `topo` option

    WriteClass() = default;
    WriteClass(const WriteClass&) = delete;
    WriteClass& operator=(const WriteClass&) = delete;
};

// Classifies a write of `name` (a str) on instances of `cls` (a class): a
// public init field is symbolic; otherwise the field
// `cls.__schema__.get_field(name)` decides: symbolic when its `enable_init`
// is truthy and the name is public. False with an exception set when a read
// failed.
[[nodiscard]] bool classify_write(PyTypeObject* cls, PyObject* name, WriteClass& out);

// The slot (`__setattr__` / `__delattr__`; `value` null deletes). 0 or -1.
[[nodiscard]] int object_setattro(PyObject* obj, PyObject* name, PyObject* value);

}  // namespace vesk::symbolic::object
