"""The symbolic and object registration binds its classes and functions in
one fixed order, which is the order of the module's `__all__`."""

import vesk_core._native as native

ORDER = [
    "SymDict", "_install_container_bridge", "_native_to_json_walk",
    "_set_default_object_sym_jsonify", "SymList", "_install_list_bridge",
    "SymObject", "ObjectCtorMeta", "RecordMeta", "SymFieldGetter",
    "_install_object_bridge", "_render_object_fast", "_native_object_inline_fields",
    "_native_object_clone_inline_shallow", "_native_object_clone_construct",
    "_native_object_set_item_no_check", "_slot_record_materialize",
    "_slot_record_init_node_state", "_slot_record_inline_fields",
    "_slot_record_is_materialized", "_slot_record_adopt_children",
    "_slot_record_repath_children", "_slot_record_node_read", "_node_setparent",
    "_node_setpath", "_node_setorigin", "_node_seal", "_container_candidate_fields",
    "_container_wrap_fields", "_native_inline_object_to_json",
    "_native_inline_object_to_json_open", "_native_from_json_all_plain",
    "_slot_record_construct", "_probe_object_is_inline", "_probe_node_get", "_probe_node_set",
]


def test_symbolic_bindings_keep_their_order_in_all():
    names = native.__all__
    present = [n for n in names if n in ORDER]
    assert present == ORDER
    # One block: nothing else is bound between the first and the last.
    first, last = names.index(present[0]), names.index(present[-1])
    assert names[first:last + 1] == present
    # The flag scopes follow the symbolic block.
    assert names[last + 1] == "_flag_scope_get"
