// The native state of the symbolic containers. `SymDict` and `SymList`
// extend the built-in dict and list, whose storage holds their members, and
// keep the same state after it: the node state, the bound value spec, the
// change callback, the default assign policy and their flags. One template
// serves both, so the topology surface is written once over them.
//
// The state is read under the instance's shared hold and written under its
// exclusive hold; no hold is kept while Python code runs.
#pragma once

#include "py/layout.hpp"
#include "symbolic/node.hpp"

namespace vesk::symbolic {

template <class Base>
struct ContainerState {
    using Extends = Base;

    SymNode node;
    py::Ref value_spec;         // the bound Dict / List spec, or null
    py::Ref assign;             // the default assign policy (a str), or null
    py::Ref onchange_callback;  // kept and shown; never called natively
    // The dictionary holds a symbolic object's fields: its children get the
    // object (the node's parent) as their parent. Always false for a list.
    bool as_object_attributes_container = false;
    bool wrap = true;         // raw dict and list members are wrapped
    bool enable_topo = true;  // members are adopted with parent and path

    template <class V>
    void visit(V&& v) {
        node.visit(v);
        v(value_spec);
        v(onchange_callback);
        v(assign);
    }
};

using DictState = ContainerState<py::DictBase>;
using ListState = ContainerState<py::ListBase>;

}  // namespace vesk::symbolic
