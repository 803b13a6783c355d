"""SymList against plain Python, pydantic and a hand-written observable
list, in one run.

(a) Construction: one list of 100,000 ints built under `List(Int())`, the
    fused road that takes no Python `apply` at all; against `list(ints)`,
    pydantic's strict `TypeAdapter(list[int])` and a Python list subclass
    that checks `type(x) is int` for each item and keeps parent and path.
(b) Writes: 100,000 `append`s to an empty bound list and 100,000 `lst[i] = v`
    on a bound list, each validated, reported as a field update and
    notified; against the plain `list.append` / `list.__setitem__`, pydantic
    `validate_assignment` of an int field (which builds no update), and the
    Python class making the same update and notification.
(c) Extends: 10,000 `extend`s of 10 ints each to an empty bound list, all
    items validated, reported and notified in one call per `extend`;
    against the plain `list.extend` and the Python class appending each
    item.

Times are CPU time, the best of several rounds that run every contender in
turn (so a busy machine slows them alike); ratio = SymList / other (lower is
better). A library that is not installed is skipped with a line.
"""


import benchkit  # also puts the checkout on the import path
from benchkit import optional, pick, race

import vesk.symbolic  # the stand-in bridges
import vesk.typing
from vesk.symbolic.containers import MISSING, FieldUpdate, List
from vesk_core import KeyPath, _native as n

COUNT = 100_000


class Quiet(List):
    """The package's list with a notification that does nothing."""

    def _notify_field_updates(self, updates):
        pass


class ObservableList(list):
    """A hand-written observable list of ints: every item type-checked, a
    parent and a path, the sealed gate on writes, and one field update per
    write (naming the element field) handed to `_notify_field_updates`."""

    __slots__ = ("parent", "path", "sealed")
    field = None  # the element field a field update names

    def __init__(self, items=(), parent=None, path=KeyPath()):
        for item in items:
            if type(item) is not int:
                raise TypeError(item)
        super().__init__(items)
        self.parent, self.path, self.sealed = parent, path, False

    def append(self, value):
        if self.sealed:
            raise PermissionError("sealed")
        if type(value) is not int:
            raise TypeError(value)
        index = len(self)
        super().append(value)
        update = FieldUpdate(KeyPath(index, self.path), self, self.field, MISSING, value)
        self._notify_field_updates([update])

    def __setitem__(self, index, value):
        if self.sealed:
            raise PermissionError("sealed")
        if type(value) is not int:
            raise TypeError(value)
        old = self[index]
        if old is value:
            return
        super().__setitem__(index, value)
        update = FieldUpdate(KeyPath(index, self.path), self, self.field, old, value)
        self._notify_field_updates([update])

    def _notify_field_updates(self, updates):
        pass


def construction(report, spec, pydantic):
    ints = list(range(COUNT))
    assert Quiet(ints, value_spec=spec)._value_spec is spec   # the fused road binds it
    contenders = {
        "SymList": lambda: Quiet(ints, value_spec=spec),
        "list(ints)": lambda: list(ints),
    }
    if pydantic is not None:
        adapter = pydantic.TypeAdapter(list[int], config=pydantic.ConfigDict(strict=True))
        contenders["pydantic"] = lambda: adapter.validate_python(ints)
    contenders["Python class"] = lambda: ObservableList(ints)
    times = race(contenders, 1)
    report.section("(a) construction of 100,000 ints, per list")
    report.row("SymList(ints, spec)", times["SymList"],
               pick(times, ["list(ints)", "pydantic", "Python class"]))


def fresh(make):
    """A contender that runs on a new target each round."""
    box = {}

    def run():
        box["run"]()

    def setup():
        box["run"] = make()

    run.setup = setup
    return run


def writes(report, spec, pydantic):
    values = list(range(COUNT))
    assigned = None
    if pydantic is not None:
        assigned = pydantic.create_model(
            "One", __config__=pydantic.ConfigDict(strict=True, validate_assignment=True),
            value=(int, ...))

    def appends(make_target):
        def make():
            target = make_target()
            append = target.append

            def run():
                for v in values:
                    append(v)
            return run
        return fresh(make)

    def sets(make_target):
        def make():
            target = make_target()

            def run():
                for i in values:
                    target[i] = -i
            return run
        return fresh(make)

    def pydantic_writes():
        instance = assigned(value=0)

        def run():
            for v in values:
                instance.value = v
        return run

    contenders = {
        "SymList": appends(lambda: Quiet(value_spec=spec)),
        "list.append": appends(list),
    }
    if assigned is not None:
        contenders["pydantic"] = fresh(pydantic_writes)
    contenders["Python class"] = appends(ObservableList)
    times = race(contenders, COUNT)
    report.section("(b) writes of ints to a bound list, per write")
    report.row("SymList, 100,000 append", times["SymList"],
               pick(times, ["list.append", "pydantic", "Python class"]))

    contenders = {
        "SymList": sets(lambda: Quiet(values, value_spec=spec)),
        "list.__setitem__": sets(lambda: list(values)),
    }
    if assigned is not None:
        contenders["pydantic"] = fresh(pydantic_writes)
    contenders["Python class"] = sets(lambda: ObservableList(values))
    times = race(contenders, COUNT)
    report.row("SymList, 100,000 lst[i] = v", times["SymList"],
               pick(times, ["list.__setitem__", "pydantic", "Python class"]))


def extends(report, spec):
    chunks = [list(range(i, i + 10)) for i in range(0, COUNT, 10)]

    def extend_all(make_add):
        def make():
            add = make_add()

            def run():
                for chunk in chunks:
                    add(chunk)
            return run
        return fresh(make)

    def appending():
        target = ObservableList()
        append = target.append

        def add(chunk):
            for v in chunk:
                append(v)
        return add

    contenders = {
        "SymList": extend_all(lambda: Quiet(value_spec=spec).extend),
        "list.extend": extend_all(lambda: [].extend),
        "Python class": extend_all(appending),
    }
    times = race(contenders, COUNT)
    report.section("(c) extends of 10 ints to a bound list, per item")
    report.row("SymList, 10,000 extend", times["SymList"],
               pick(times, ["list.extend", "Python class"]))


def main():
    vesk.typing.install()
    vesk.symbolic.install()
    spec = n.List(n.Int())
    ObservableList.field = spec.element
    pydantic = optional("pydantic")
    report = benchkit.Report("SymList: construction and writes")
    construction(report, spec, pydantic)
    writes(report, spec, pydantic)
    extends(report, spec)


if __name__ == "__main__":
    main()
