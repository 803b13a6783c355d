"""The object bridge installer: every handle keyword-only and required, the
first complete installation kept."""

import pytest

import vesk_core._native as native
from fresh import run_fresh

HANDLES = [
    "dict_cls", "symbolic_mode_error", "keypath_cls", "empty_key_path", "origin_cls",
    "auto_plural", "comma_delimited_str", "seed_non_symbolic_fields",
    "clone_non_symbolic_fields", "symbolic_transform_fn", "missing_value", "copy_default",
    "cooperative_init", "needs_cooperative_init", "message_on_path", "write_permission_error",
    "prepare_construct_error", "default_on_topo_parent_change", "default_update_children_paths",
    "default_on_topo_path_change", "default_sym_missing_code", "default_sym_puresymbolic_prop",
    "default_sym_values", "is_pure_symbolic",
]


def test_signature_lists_the_handles_in_slot_order():
    sig = native._install_object_bridge.__text_signature__
    assert sig == "($module, /, *, " + ", ".join(HANDLES) + ")"


@pytest.mark.parametrize("call", [
    lambda: native._install_object_bridge(**{h: None for h in HANDLES[1:]}),
    lambda: native._install_object_bridge(*[None] * 24),
    lambda: native._install_object_bridge(**{h: None for h in HANDLES}, extra=None),
])
def test_incomplete_or_positional_calls_are_refused(call):
    with pytest.raises(TypeError):
        call()


def test_later_installations_are_accepted_and_ignored():
    run_fresh(f"""
        import vesk_core._native as native
        handles = {HANDLES!r}
        assert native._install_object_bridge(**{{h: object() for h in handles}}) is None
        assert native._install_object_bridge(**{{h: None for h in handles}}) is None
    """)
