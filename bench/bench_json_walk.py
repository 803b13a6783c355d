"""The native JSON walk of a symbolic tree of about 10,000 nodes, against
the package's serializer written in Python (the stand-in's reference
serializer, which produces the same form) and pydantic's `model_dump()` of
an equivalent model tree, in one run.

The tree: one root object holding a list of 900 objects, each with an
int, a float, a str, a list of three ints and a dict of two ints (11 nodes
apiece, counting every container and leaf). Ratios are the walk's time
over each other time; lower is better. Targets: at most 0.2 of the
Python serializer, at most 2 of pydantic.
"""

import benchkit
from benchkit import at_most

import vesk.symbolic  # the stand-in symbolic layer
import vesk.typing  # the stand-in typing bridge
from vesk_core import KeyPath, _native

LAYERS = 900


def best(fn):
    return benchkit.best(fn, 5, repeat=7)


def symbolic_tree():
    from vesk.symbolic.containers import Dict, List
    from vesk.symbolic.object_classes import object_class
    from vesk_core import _typing_seams

    store = _typing_seams.native_table(_native.__file__, "vesk_test_object_seams")["store_fields"]
    layer_cls = object_class("Layer", [("a", _native.Int()), ("b", _native.Float()),
                                       ("c", _native.Str()), ("d", _native.Any()),
                                       ("e", _native.Any())])
    root_cls = object_class("Root", [("layers", _native.Any())])

    def made(cls, **fields):
        obj = cls.__new__(cls)
        obj._topo_path = KeyPath()
        store(obj, fields)
        return obj

    layers = List([])
    for i in range(LAYERS):
        list.append(layers, made(layer_cls, a=i, b=i * 0.5, c=f"l{i}", d=List([i, i + 1, i + 2]),
                                 e=Dict(x=i, y=i + 1)))
    return made(root_cls, layers=layers)


def pydantic_tree():
    pydantic = benchkit.optional("pydantic")
    if pydantic is None:
        return None

    class Layer(pydantic.BaseModel):
        a: int
        b: float
        c: str
        d: list[int]
        e: dict[str, int]

    class Root(pydantic.BaseModel):
        layers: list[Layer]

    return Root(layers=[Layer(a=i, b=i * 0.5, c=f"l{i}", d=[i, i + 1, i + 2],
                              e={"x": i, "y": i + 1}) for i in range(LAYERS)])


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    from vesk.symbolic.jsonify import to_json

    tree = symbolic_tree()
    walked = _native._native_to_json_walk(tree)
    assert walked is not None and walked == to_json(tree), "the walk must answer the package form"
    walk = best(lambda: _native._native_to_json_walk(tree))
    reference = best(lambda: to_json(tree))
    model = pydantic_tree()
    dumped = None if model is None else best(lambda: model.model_dump())
    report = benchkit.Report("JSON walk of a symbolic tree, per tree")
    report.row(f"JSON walk of a {LAYERS * 11 + 2}-node tree", walk,
               {"reference serializer": reference, "pydantic model_dump()": dumped},
               [at_most("reference serializer", 0.2), at_most("pydantic model_dump()", 2)])


if __name__ == "__main__":
    main()
