"""SymDict against plain Python, pydantic and a hand-written observable
dict, in one run.

(a) Construction: 10,000 dicts of five scalar fields (three ints, two strs)
    built under an all-constant-key Dict spec, the road that takes no Python
    `apply` at all; against `dict(src)`, a pydantic model of the same five
    strict fields, and a Python dict subclass that checks each value's type
    and keeps parent and path.
(b) Writes: 100,000 int writes to one bound key, each validated, reported as
    a field update and notified; against a plain `d[k] = v`, pydantic with
    `validate_assignment` (which builds no update), and the Python class's
    `__setitem__` making the same update and notification.

Times are CPU time per operation, the best of several rounds that run
every contender in turn (so a busy machine slows them alike); ratio =
SymDict / other (lower is better). A library that is not installed is
skipped with a line.
"""


import benchkit  # also puts the checkout on the import path
from benchkit import optional, pick, race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.containers import Dict, FieldUpdate
from vesk_core import KeyPath, _native as n

FIELDS = {"i0": int, "i1": int, "i2": int, "s0": str, "s1": str}




class Quiet(Dict):
    """The package's dictionary with a notification that does nothing."""

    def _notify_field_updates(self, updates):
        pass


class ObservableDict(dict):
    """A hand-written observable dict: every field required and type-checked,
    a parent and a path, the sealed and accessor gates on writes, and one
    field update per write (naming its field) handed to
    `_notify_field_updates`."""

    __slots__ = ("parent", "path", "sealed", "accessor_writable")
    fields = {}  # name -> the field object a field update names

    def __init__(self, src, parent=None, path=KeyPath()):
        if len(src) != len(FIELDS):
            raise KeyError(sorted(set(FIELDS) - set(src)))
        for key, value in src.items():
            if key not in FIELDS:
                raise KeyError(key)
            if type(value) is not FIELDS[key]:
                raise TypeError(key)
        super().__init__(src)
        self.parent, self.path = parent, path
        self.sealed, self.accessor_writable = False, True

    def __setitem__(self, key, value):
        if self.sealed or not self.accessor_writable:
            raise PermissionError(key)
        if type(value) is not FIELDS[key]:
            raise TypeError(key)
        old = self.get(key)
        if old is value:
            return
        super().__setitem__(key, value)
        update = FieldUpdate(KeyPath(key, self.path), self, self.fields[key], old, value)
        self._notify_field_updates([update])

    def _notify_field_updates(self, updates):
        pass


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    spec = n.Dict([(k, n.Int() if t is int else n.Str()) for k, t in FIELDS.items()])
    ObservableDict.fields = {k: spec.schema.get_field(k) for k in FIELDS}
    sources = [{"i0": i, "i1": i + 1, "i2": i + 2, "s0": "a", "s1": f"s{i}"} for i in range(10_000)]
    assert Quiet(sources[0], value_spec=spec)._value_spec is spec   # the fused road binds it

    pydantic = optional("pydantic")
    model = assigned = None
    if pydantic is not None:
        model = pydantic.create_model(
            "Five", __config__=pydantic.ConfigDict(strict=True),
            **{k: (t, ...) for k, t in FIELDS.items()})
        assigned = pydantic.create_model(
            "FiveAssigned", __config__=pydantic.ConfigDict(strict=True, validate_assignment=True),
            **{k: (t, ...) for k, t in FIELDS.items()})

    contenders = {
        "SymDict": lambda: [Quiet(s, value_spec=spec) for s in sources],
        "dict(src)": lambda: [dict(s) for s in sources],
    }
    if model is not None:
        contenders["pydantic"] = lambda: [model(**s) for s in sources]
    contenders["Python class"] = lambda: [ObservableDict(s) for s in sources]
    times = race(contenders, len(sources))
    report = benchkit.Report("SymDict: construction and writes")
    report.section("(a) construction of five scalar fields, per dict")
    report.row("SymDict, 10,000 constructions", times["SymDict"],
               pick(times, ["dict(src)", "pydantic", "Python class"]))

    writes = 100_000
    values = list(range(writes))
    d = Quiet(sources[0], value_spec=spec)
    plain = dict(sources[0])
    observable = ObservableDict(sources[0])

    def write_all(target):
        def run():
            for v in values:
                target["i0"] = v
        return run

    contenders = {"SymDict": write_all(d), "plain d[k] = v": write_all(plain)}
    if assigned is not None:
        instance = assigned(**sources[0])

        def pydantic_writes():
            for v in values:
                instance.i0 = v

        contenders["pydantic"] = pydantic_writes
    contenders["Python class"] = write_all(observable)
    times = race(contenders, writes)
    report.section("(b) int writes to a bound key, per write")
    report.row("SymDict, 100,000 writes", times["SymDict"],
               pick(times, ["plain d[k] = v", "pydantic", "Python class"]))


if __name__ == "__main__":
    main()
