"""No reference leaks on the construction roads, their failures included,
nor on building metadata for new classes (checked under the debug
interpreter)."""

import pytest

import vesk_core._native as native
from construct_helpers import cseams
from leaks import assert_no_leak
from object_helpers import KeyPath, object_class


def test_construction_roads_do_not_leak():
    Point = object_class("P", [("x", native.Int()), ("tags", native.List(native.Int())),
                               ("d", native.Dict(default={})), ("a", native.Any(default=1))],
                         non_symbolic=[("note", 1)])
    slow = object_class("S", [("x", native.Int()), ("tags", native.List(native.Int()))],
                        compiled=False, aliases={"ex": "x"})
    Holder = object_class("H", [("p", native.Object(Point)), ("q", native.Any(default=None))])
    Flat = object_class("F", [("p", native.Any())], topo=False)

    def expect(error, fn):
        with pytest.raises(error):
            fn()

    def cases():
        Point(x=1, tags=[1, 2], d={"k": [1]}, root_path=KeyPath("r"), sealed=True)
        slow(x=1, tags=[3])
        Holder(p=Point(x=1, tags=[]), q=[Point(x=2, tags=[1])])
        Flat(p=Point(x=1, tags=[]))
        Point(x=1, allow_partial=True)
        cseams.partial(Holder(p=Point(x=1, allow_partial=True)))
        cseams.pure_symbolic_scan(Flat(p=[1]))
        obj = Point.__new__(Point)
        expect(TypeError, lambda: obj.__init__(x="s", tags=[]))
        expect(TypeError, lambda: Point(tags=[]))
        expect(TypeError, lambda: slow(x=1, tags=[], zz=1))
        expect(TypeError, lambda: cseams.native_init(obj, (), {"sealed": 2}))
        expect(Exception, lambda: cseams.native_init(obj, (), {"x": "s"}))
        loop = Flat(p=1)
        loop.field_dict()["p"] = loop
        expect(RecursionError, lambda: cseams.partial(loop))
        loop.field_dict().clear()

    assert_no_leak(cases, calls=50)


def test_building_metadata_does_not_leak():
    def cases():
        cls = object_class("New", [("x", native.Int()), ("l", native.List(native.Int()))])
        cls(x=1, l=[1])
        cseams.built_meta_facts(cls)
        del cls.__native_ctor_meta__

    assert_no_leak(cases, calls=30)
