"""The native type slots the package installs on its generated classes:
installers and probes, the generic, fast and record attribute reads, the
native tp_init under the interpreter's call specialisation, and the panic
of an internal failure inside a slot."""

import pytest

import vesk_core._native as native
from fresh import run_fresh
from vesk.symbolic.object_classes import Object, object_class, options
from vesk.symbolic.objects import SymbolicModeError
from vesk_core import KeyPath

from helpers import Inferred
from object_helpers import made, seams

INSTALLERS = {
    "generic": native._install_native_tp_getattro,
    "fast": native._install_native_tp_getattro_fast,
    "record": native._install_native_record_tp_getattro,
}


def fresh_class(**namespace):
    return object_class("C", [("x", native.Any())], namespace=namespace)


@pytest.mark.parametrize("kind, fast, is_native", [
    ("fast", True, True), ("generic", False, True), ("record", False, False)])
def test_getattro_probes_tell_the_installed_slot(kind, fast, is_native):
    cls = fresh_class()
    assert not native._kernel_tp_getattro_is_native(cls)
    INSTALLERS[kind](cls=cls)
    assert native._kernel_tp_getattro_is_fast(cls) is fast
    assert native._kernel_tp_getattro_is_native(cls) is is_native


def test_tp_init_probes_and_layout():
    cls = type("Plain", (), {})
    assert native._kernel_roundtrip_tp_init(cls)
    native._install_native_tp_init(cls)
    native._install_native_record_tp_init(cls=cls)
    assert native._kernel_roundtrip_tp_init(cls)
    assert native._kernel_probe_type_layout(int) == (int.__basicsize__, int.__dictoffset__, "int")
    assert native._kernel_probe_type_layout(cls=native.SymObject)[2] == "vesk_core._native.SymObject"


ALL = [native._install_native_tp_init, native._install_native_record_tp_init,
       *INSTALLERS.values(), native._kernel_roundtrip_tp_init, native._kernel_tp_getattro_is_fast,
       native._kernel_tp_getattro_is_native, native._kernel_probe_type_layout]


@pytest.mark.parametrize("fn", ALL, ids=lambda f: f.__name__)
def test_a_class_argument_must_be_a_type(fn):
    with pytest.raises(TypeError, match="cls"):
        fn(object())


@pytest.mark.parametrize("installer", ALL[:5], ids=lambda f: f.__name__)
@pytest.mark.parametrize("cls", [int, native.KeyPath, native.SymObject], ids=str)
def test_installers_refuse_immutable_types(installer, cls):
    before = (cls.__init__, cls.__getattribute__)
    with pytest.raises(TypeError, match="immutable type"):
        installer(cls)
    assert (cls.__init__, cls.__getattribute__) == before
    assert not native._kernel_tp_getattro_is_native(cls)


@pytest.mark.parametrize("cls", [type("Plain", (), {}), type("R", (native._kernel_make_record(
    "R", ["a"], 9),), {"__slots__": ()})])
def test_the_fast_getattro_is_only_for_symbolic_objects(cls):
    with pytest.raises(TypeError, match="not a SymObject subclass"):
        native._install_native_tp_getattro_fast(cls)
    assert not native._kernel_tp_getattro_is_native(cls)


def test_generic_attribute_functions():
    obj = made(fresh_class())
    native._kernel_generic_setattr(obj, "extra", None)
    assert native._kernel_generic_getattr(obj, "extra") is None and "extra" in obj.__dict__
    native._kernel_generic_delattr(obj, name="extra")
    with pytest.raises(AttributeError):
        native._kernel_generic_getattr(obj, "extra")
    with pytest.raises(TypeError):
        native._kernel_generic_setattr(obj, "extra")  # the value is required
    assert native._kernel_is_inferential(Inferred(1))
    assert not native._kernel_is_inferential(1) and not native._kernel_is_inferential(value=None)


class _Inferring:
    def sym_hasattr(self, name):
        self.asked.append(name)
        return name.startswith("inferred_")

    def sym_inferred(self, name):
        return ("inferred", name)


@pytest.mark.parametrize("kind", ["generic", "fast"])
def test_missing_attributes_fall_back_to_inferred_values(kind):
    cls = fresh_class(sym_hasattr=_Inferring.sym_hasattr, sym_inferred=_Inferring.sym_inferred)
    cls.__sym_options__ = options(attr_read=True)
    INSTALLERS[kind](cls)
    obj = made(cls, x=1)
    obj.__dict__["asked"] = []
    assert obj.inferred_a == ("inferred", "inferred_a")
    with pytest.raises(AttributeError, match="'C' object has no attribute 'other'"):
        obj.other
    assert obj.x == 1 and obj.asked == ["inferred_a", "other"]
    cls.__sym_options__ = options(attr_read=False)
    with pytest.raises(AttributeError, match="inferred_b"):
        obj.inferred_b
    assert obj.asked == ["inferred_a", "other"]
    del cls.__sym_options__, Object.__sym_options__
    try:
        with pytest.raises(AttributeError, match="__sym_options__"):
            obj.other
    finally:
        Object.__sym_options__ = options()


@pytest.mark.parametrize("topo", [True, False])
def test_the_fast_getattro_reads_fields_first(topo):
    cls = object_class("F", [("x", native.Any()), ("keys", native.Any())], topo=topo)
    native._install_native_tp_getattro_fast(cls)
    blank = cls.__new__(cls)
    assert blank.field_dict() is None  # never constructed: the generic road
    obj = made(cls, x=Inferred(7), keys="a field, not the method")
    assert obj.keys == "a field, not the method" and obj.field_dict()["keys"] == obj.keys
    if topo:
        assert obj.x == 7
    else:
        with pytest.raises(SymbolicModeError, match="contextual attribute `x`"):
            obj.x


def test_a_borrow_conflict_inside_a_slot_is_the_borrow_error():
    # The thread's own hold: refused at once, as outside a slot, not a panic.
    cls = fresh_class()
    native._install_native_tp_getattro_fast(cls)
    obj = made(cls, x=1)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        seams.while_held(obj, lambda: obj.x)
    assert obj.x == 1


def test_an_uninstalled_bridge_inside_a_slot_is_a_panic():
    run_fresh("""
        import pytest, vesk.typing
        vesk.typing.install()
        import vesk_core._native as native
        R = native._kernel_make_record("R", ["a"], 9)
        class C(R):
            __slots__ = ()
            __slot_field_names__ = ["a"]
            __slot_symbolic_field_names__ = ["a"]
            sym_fields = native.Dict(native.Schema([native.Field(native.ConstStrKey("a"),
                                                                  native.Int())]))
            enable_topo = True
            class __sym_options__:
                topo = attr_write = True
                frozen = False
        native._install_native_record_tp_init(C)
        with pytest.raises(RuntimeError, match="^panic in native slot$") as info:
            C(a=1)
        assert type(info.value) is RuntimeError
        assert native._slot_record_inline_fields(C.__new__(C), ["a"]) is None
    """)


def test_the_record_getattro_reads_cells_and_falls_back():
    cls = object_class("P", [("x", native.Any())], slots=True,
                       namespace={"label": "class attribute", "derived": property(lambda s: 2)})
    p = cls(x=Inferred(5))
    assert (p.x, p.label, p.derived) == (5, "class attribute", 2)
    with pytest.raises(AttributeError, match="'P' object has no attribute 'nope'"):
        p.nope


def test_the_record_getattro_checks_a_found_descriptor_against_the_instance():
    R = native._kernel_make_record("R", ["a"], 9)

    class Impostor:
        pass

    Impostor.a = R.__dict__["a"]  # another class's field descriptor
    native._install_native_record_tp_getattro(Impostor)
    with pytest.raises(TypeError, match="doesn't apply to a 'Impostor' object"):
        Impostor().a


def _python_init(self):
    self.__class__.python_inits += 1


def _call_from_one_site(cls, times=100):
    return [cls() for _ in range(times)]


@pytest.mark.parametrize("slots", [True, False])
def test_a_class_called_from_one_site_keeps_its_native_tp_init(slots):
    """The interpreter specialises a call site that keeps calling a class
    with a simple Python `__init__` into a direct call of that `__init__`;
    the native tp_init must run on every call, also at a site specialised
    before the slot was installed."""
    cls = object_class("Hot", [("x", native.Int(default=3))], slots=slots,
                       native_slots=False, namespace={"__init__": _python_init})
    cls.python_inits = 0
    _call_from_one_site(cls)  # the site specialises on the Python __init__
    assert cls.python_inits == 100
    install = native._install_native_record_tp_init if slots else native._install_native_tp_init
    install(cls)
    made_ = _call_from_one_site(cls)
    assert [m.x for m in made_] == [3] * 100
    assert all(m._topo_path == KeyPath() for m in made_)
    assert cls.python_inits == 100
