"""Writes made to fail at each point in turn: the hook calls a write makes
(test_failing_hooks.py) and the allocations it makes
(test_failed_allocations.py). Each road builds its world afresh for every
trial; after each trial the world must be whole (every symbolic child in
exactly one place, with its parent and path true) and hold exactly what it
held before the write or what the write gives when nothing fails.

`FAULT` counts the hook calls of the world's classes while it is armed,
and makes the call it is told raise `HookFailure`."""

import collections

import vesk_core._native as native
from helpers import MISSING, Dict, KeyPath, List, SharedHoldError
from object_helpers import object_class
from vesk.symbolic.objects import ConstructError


class HookFailure(Exception):
    """What a hook made to fail raises."""


class Fault:
    def __init__(self):
        self.armed, self.calls, self.at, self.names = False, 0, (), []
        self.failed = []    # the node of each hook made to fail (None: not a node's)
        self.then = None    # called as the first failing hook raises
        self.notified = collections.Counter()   # updates told, by id of the receiver

    def arm(self, *at, then=None):
        """Counts from 0; the calls numbered `at` raise, the first of them
        after calling `then`."""
        self.armed, self.calls, self.at, self.names, self.failed = True, 0, at, [], []
        self.then = then
        self.notified.clear()

    def disarm(self):
        self.armed = False

    def tick(self, name, node=None):
        if not self.armed:
            return
        self.calls += 1
        self.names.append(name)
        if self.calls in self.at:
            self.failed.append(node)
            error = HookFailure(f"{name} (call {self.calls})")
            if self.then:
                self.then, then = None, self.then
                then()
            raise error


FAULT = Fault()
tick = FAULT.tick


def _notify(self, updates):
    tick("_notify_field_updates")
    if FAULT.armed:
        FAULT.notified[id(self)] += len(updates)


class Hooked:
    """The topology hooks of a native container or object, counted."""

    def topo_setpath(self, path):
        tick("topo_setpath", self)
        super().topo_setpath(path)

    def topo_setparent(self, parent):
        tick("topo_setparent", self)
        super().topo_setparent(parent)

    def sym_clone(self, deep=False, memo=None):
        tick("sym_clone", self)
        return super().sym_clone(deep, memo)

    _notify_field_updates = _notify


class HDict(Hooked, Dict):
    pass


class HList(Hooked, List):
    pass


class HNode:
    """A pure-Python symbolic node: every read and call of its place is a
    counted hook."""

    def __init__(self, tag):
        self.tag, self.parent, self.path = tag, None, KeyPath()

    @property
    def enable_topo(self):
        tick("enable_topo", self)
        return True

    @property
    def _topo_parent(self):
        tick("_topo_parent", self)
        return self.parent

    @property
    def _topo_path(self):
        tick("_topo_path", self)
        return self.path

    def topo_setpath(self, path):
        tick("topo_setpath", self)
        self.path = path

    def topo_setparent(self, parent):
        tick("topo_setparent", self)
        self.parent = parent

    def sym_clone(self, deep=False, memo=None):
        tick("sym_clone", self)
        return type(self)(self.tag + "'")

    def __repr__(self):
        return f"HNode({self.tag})"

    __hash__ = None


class RefHNode(HNode):
    """Reference-like: held elsewhere, it is cloned rather than refused."""

    reference_paths = ()


class HKey(str):
    """A key whose hash and comparisons are counted hooks."""

    def __hash__(self):
        tick("key __hash__")
        return str.__hash__(self)

    def __eq__(self, other):
        tick("key __eq__")
        return str.__eq__(self, other)

    def __ne__(self, other):
        tick("key __ne__")
        return str.__ne__(self, other)


def counted_validator(value, *path):
    tick("validator")


def counted_transform(value):
    tick("transform")
    return value


class Kinds:
    """The object and record classes of the worlds, made once the bridges
    are installed: a field `k` whose value passes a counted transform and
    validator, and a plain field `j`; and an object class whose field `k`
    has a non-constant key (the missing value removes its entry)."""

    _made = None

    @classmethod
    def get(cls):
        if cls._made is None:
            fields = [("k", native.Any(default=None, transform=counted_transform)),
                      ("j", native.Any(default=None))]
            notify = {"_notify_field_updates": _notify}
            cls._made = collections.namedtuple("Made", "O R OPEN")(
                object_class("FaultObject", fields, native_slots=True, namespace=notify),
                object_class("FaultRecord", fields, slots=True, namespace=notify),
                object_class("FaultOpenObject",
                             [("k", native.Field(native.StrKey(), native.Any()))],
                             allow_nonconst_keys=True, namespace=notify))
            for made in cls._made[:2]:
                made.__schema__.get_field("k").set_validator(counted_validator)
        return cls._made


# --- reading a world -------------------------------------------------------------


def is_record(v):
    return hasattr(type(v), "__slot_field_names__")


def is_node(v):
    """A value that keeps a place in a tree."""
    return hasattr(type(v), "topo_setparent") and not isinstance(v, type)


def contents(v):
    """What a container or object stores, raw, as (key, value) pairs."""
    if isinstance(v, native.SymList):
        return list(enumerate(list.__iter__(v)))
    if isinstance(v, native.SymDict):
        return list(dict.items(v))
    if isinstance(v, native.SymObject):
        fields = v.field_dict()
        return list(fields.items()) if fields is not None else []
    if is_record(v):
        if native._slot_record_is_materialized(v):
            return list(dict.items(native._probe_node_get(v, 6)))   # the view rules
        names = type(v).__slot_field_names__
        return list(native._slot_record_inline_fields(v, names).items())
    return None


def place_of(v):
    """A node's own parent and path, read without counting."""
    if isinstance(v, HNode):
        return v.parent, v.path
    return v._topo_parent, v._topo_path


class World:
    """The named objects of one trial (`names`: name -> object, in order)
    and the write under test (`write()`)."""

    def __init__(self, write=None, **named):
        self.names, self.write = named, write

    def state(self):
        """What every object met from the named ones stores, and each
        node's parent and path, with objects named (others by their class
        and the order they are met in): {(part, name): value}."""
        ids = {id(v): n for n, v in self.names.items()}
        met = list(self.names.items())
        counts = collections.Counter()

        def name(v):
            if v is None or isinstance(v, (bool, int, float, str)):
                return repr(v)
            if v is MISSING:
                return "MISSING"
            if id(v) not in ids:
                counts[type(v).__name__] += 1
                ids[id(v)] = f"{type(v).__name__}#{counts[type(v).__name__]}"
                met.append((ids[id(v)], v))
            return ids[id(v)]

        out, i = {}, 0
        self.met = {}
        while i < len(met):
            n, v = met[i]
            self.met[n] = v
            i += 1
            items = contents(v)
            if items is not None:
                out[("stored", n)] = tuple(sorted((str(k), name(x)) for k, x in items))
            if is_node(v):
                parent, path = place_of(v)
                out[("node", n)] = (name(parent), str(path))
        return out

    def notified(self):
        """The number of updates each named object was told about."""
        return {n: FAULT.notified[id(v)] for n, v in self.names.items() if FAULT.notified[id(v)]}

    def faults(self, excused=()):
        """Where the world is not whole: a node stored in two places, or
        stored where its own parent or path says otherwise (its path aside
        for the nodes whose ids `excused` holds)."""
        out, seen, todo = [], {}, list(self.names.values())
        done = set()
        while todo:
            v = todo.pop()
            if id(v) in done:
                continue
            done.add(id(v))
            for k, x in contents(v) or ():
                if not is_node(x) or not _keeps_tree(x):
                    continue
                todo.append(x)
                where = f"{type(v).__name__}[{k!r}]"
                if id(x) in seen:
                    out.append(f"{x!r} stored at {seen[id(x)]} and at {where}")
                seen[id(x)] = where
                parent, path = place_of(x)
                expected = KeyPath(k, v._topo_path)
                if isinstance(v, native.SymList) and _indexed_under(path, v._topo_path):
                    expected = path     # items move without being re-pathed
                if parent is not v or (str(path) != str(expected) and id(x) not in excused):
                    out.append(f"{x!r} at {where} names parent {type(parent).__name__} "
                               f"and path {str(path)!r}, not {str(expected)!r}")
        return out

    def orphans(self, excused=()):
        """The names of the nodes met that name a parent not storing them,
        but those whose ids `excused` holds."""
        state = self.state()
        out = set()
        for (part, n), value in state.items():
            if part != "node" or value[0] == "None" or id(self.met[n]) in excused:
                continue
            held = state.get(("stored", value[0]))
            if held is not None and all(x != n for _, x in held):
                out.add(n)
        return out


def _indexed_under(path, owner):
    return (isinstance(path, KeyPath) and path.depth >= 1 and isinstance(path.key, int) and
            str(path.parent) == str(owner))


def _keeps_tree(v):
    if isinstance(v, HNode):
        return True
    flag = getattr(v, "enable_topo", True)
    return flag is True


# --- the roads -------------------------------------------------------------------


ROOT = KeyPath("r")
ROADS = {}


def road(name):
    """Registers a world maker under `name`."""
    def register(make):
        ROADS[name] = make
        return make
    return register


def dict_with(old, **more):
    d = HDict(root_path=ROOT)
    d["a"] = old
    for k, v in more.items():
        d[k] = v
    return d


@road("d[k]=v")
def _():
    old, new = HNode("old"), HDict(x=1)
    d = dict_with(old, b=HNode("b"))
    key = HKey("a")   # made before: a str subclass made without memory is unsound
    return World(lambda: d.__setitem__(key, new), d=d, old=old, new=new)


@road("d[k]=v re-pathing its members")
def _():
    g1, g2 = HNode("g1"), HNode("g2")
    new = HDict(m=g1, n=HList([g2]), root_path=KeyPath("own"))
    d = dict_with(HNode("old"))
    return World(lambda: d.__setitem__("a", new), d=d, new=new, g1=g1, g2=g2, old=d["a"])


@road("d[k]=v over a container")
def _():
    old, new = HDict(x=1), HNode("new")
    d = dict_with(old)
    return World(lambda: d.__setitem__("a", new), d=d, old=old, new=new)


@road("d[new key]=raw dict")
def _():
    d = dict_with(HNode("old"))
    key = HKey("z")
    return World(lambda: d.__setitem__(key, {"k": 1}), d=d, old=d["a"])


@road("d[k]=raw dict holding a node")
def _():
    old, x = HNode("old"), HNode("x")
    d = dict_with(old)
    return World(lambda: d.__setitem__("a", {"k": x}), d=d, old=old, x=x)


@road("d[k]=v held elsewhere, policy adopt")
def _():
    held, other = HDict(v=1), HDict(root_path=KeyPath("o"))
    other["h"] = held
    d = HDict({"a": HNode("old")}, assign="adopt", root_path=ROOT)
    return World(lambda: d.__setitem__("a", held), d=d, other=other, held=held, old=d["a"])


@road("d[k]=v under a schema")
def _():
    field = native.Field(native.ConstStrKey("a"), native.Any(transform=counted_transform))
    field.set_validator(counted_validator)
    old, new = HDict(v=1), HNode("new")
    d = HDict({"a": old}, value_spec=native.Dict(native.Schema([field])), root_path=ROOT)
    return World(lambda: d.__setitem__("a", new), d=d, old=old, new=new)


@road("d[k]=MISSING under a schema")
def _():
    spec = native.Dict(native.Schema([native.Field(native.StrKey(), native.Any())],
                                     allow_nonconst_keys=True))
    old = HNode("old")
    d = HDict({"a": old}, value_spec=spec, root_path=ROOT)
    return World(lambda: d.__setitem__("a", MISSING), d=d, old=old)


def typed_dict():
    """A dict under a schema whose field `t` takes a typed dict: its members
    are read in the schema's order, not the stored one."""
    inner = native.Dict([("x", native.Int()), ("y", native.Any())])
    spec = native.Dict([("a", native.Any()), ("t", native.Dict([("t", inner)]))])
    return HDict({"t": {"t": {"y": HNode("y"), "x": 1}}, "a": HNode("a")}, value_spec=spec,
                 root_path=ROOT)


@road("d[k]=raw dict under a typed field")
def _():
    d = typed_dict()
    node = HNode("n")
    return World(lambda: d.__setitem__("t", {"t": {"y": node, "x": 2}}), d=d, node=node,
                 old=d["t"])


@road("d.sym_clone under a schema")
def _():
    d = typed_dict()
    return World(lambda: d.sym_clone(deep=True), d=d, a=d["a"], t=d["t"])


@road("del d[k]")
def _():
    old = HNode("old")
    d = dict_with(old)
    key = HKey("a")
    return World(lambda: d.__delitem__(key), d=d, old=old)


@road("d[k]=MISSING")
def _():
    old = HDict(x=1)
    d = dict_with(old)
    return World(lambda: d.__setitem__("a", MISSING), d=d, old=old)


@road("d._set_item_without_permission_check")
def _():
    old, new = HNode("old"), HNode("new")
    d = dict_with(old)
    return World(lambda: d._set_item_without_permission_check("a", new), d=d, old=old, new=new)


@road("SymDict(...)")
def _():
    x, y, z = HNode("x"), HDict(v=1), HNode("z")
    return World(lambda: HDict(a=x, b=y, c={"k": z}, root_path=ROOT), x=x, y=y, z=z)


def renewing(old, new):
    """A counted transform that gives `new` for `old`."""
    def renew(value):
        tick("transform")
        return new if value is old else value
    return renew


@road("d.use_value_spec writing members back")
def _():
    old, new, b = HNode("old"), HNode("new"), HNode("b")
    spec = native.Dict([("a", native.Any(transform=renewing(old, new))),
                        ("b", native.Any(transform=counted_transform))])
    d = HDict({"a": old, "b": b}, root_path=ROOT)
    return World(lambda: d.use_value_spec(spec), d=d, old=old, new=new, b=b)


def object_with(kind, old):
    return kind(k=old, j=HNode("j"), root_path=ROOT)


@road("o.k=v")
def _():
    old, new = HNode("old"), HDict(x=1)
    o = object_with(Kinds.get().O, old)
    return World(lambda: setattr(o, "k", new), o=o, old=old, new=new, j=o.j)


@road("o.k=raw list")
def _():
    old, x = HDict(x=1), HNode("x")
    o = object_with(Kinds.get().O, old)
    return World(lambda: setattr(o, "k", [1, x]), o=o, old=old, j=o.j, x=x)


@road("o.k=MISSING under a non-constant key")
def _():
    old = HDict(x=1)
    o = Kinds.get().OPEN(k=old, root_path=ROOT)
    return World(lambda: setattr(o, "k", MISSING), o=o, old=old)


@road("object set item no check")
def _():
    old, new = HDict(x=1), HNode("new")
    o = object_with(Kinds.get().O, old)
    key = HKey("k")
    return World(lambda: native._native_object_set_item_no_check(o, key, new),
                 o=o, old=old, new=new, j=o.j)


@road("record set item no check")
def _():
    old, new = HNode("old"), HDict(x=1)
    r = object_with(Kinds.get().R, old)
    return World(lambda: native._native_object_set_item_no_check(r, "k", new),
                 r=r, old=old, new=new, j=r.j)


@road("O(...)")
def _():
    x, y, z = HNode("x"), HDict(v=1), HNode("z")
    return World(lambda: Kinds.get().O(k=x, j=[y, {"k": z}], root_path=ROOT), x=x, y=y, z=z)


@road("R(...)")
def _():
    x, y = HDict(v=1), HNode("y")
    return World(lambda: Kinds.get().R(k=x, j=y, root_path=ROOT), x=x, y=y)


def list_with(*items):
    return HList(list(items), root_path=ROOT)


@road("l.use_value_spec writing items back")
def _():
    old, new, b = HNode("old"), HNode("new"), HNode("b")
    lst = list_with(old, b)
    spec = native.List(native.Any(transform=renewing(old, new)))
    return World(lambda: lst.use_value_spec(spec), l=lst, old=old, new=new, b=b)


@road("l[i]=v")
def _():
    old, new = HNode("old"), HDict(x=1)
    lst = list_with("a", old, "c")
    return World(lambda: lst.__setitem__(1, new), l=lst, old=old, new=new)


@road("l[a:b]=vs")
def _():
    old, new = HNode("old"), HNode("new")
    lst = list_with("a", old, "c")
    x = HNode("x")
    return World(lambda: lst.__setitem__(slice(0, 3), ["x", {"k": x}, new]),
                 l=lst, old=old, new=new, x=x)


@road("l[a:b]=vs growing")
def _():
    old, x, y = HDict(v=1), HNode("x"), HNode("y")
    lst = list_with(old, "b")
    return World(lambda: lst.__setitem__(slice(0, 1), [x, y]), l=lst, old=old, x=x, y=y)


@road("l[a:b:c]=vs")
def _():
    a, c, x, y = HNode("a"), HDict(v=1), HDict(v=2), HNode("y")
    lst = list_with(a, "b", c)
    return World(lambda: lst.__setitem__(slice(0, 3, 2), [x, y]),
                 l=lst, a=a, c=c, x=x, y=y)


@road("l[i]=v held elsewhere, reference-like")
def _():
    held, other = RefHNode("held"), list_with()
    other.append(held)
    lst = list_with("a", HDict(v=1))
    return World(lambda: lst.__setitem__(1, held), l=lst, other=other, held=held, old=lst[1])


@road("l[a:b]=vs one value twice")
def _():
    x = RefHNode("x")
    lst = list_with("a", HNode("b"), "c")
    return World(lambda: lst.__setitem__(slice(0, 2), [x, x]), l=lst, x=x, old=lst[1])


@road("l[a:b]=vs moving its own items")
def _():
    # `a` is let go by the first store and placed again by the second: taken
    # back, it must end where it was, attached.
    a, b = RefHNode("a"), RefHNode("b")
    lst = list_with(a, b)
    return World(lambda: lst.__setitem__(slice(0, 2), [b, a]), l=lst, a=a, b=b)


@road("l._set_item_without_permission_check")
def _():
    old, new = HDict(v=1), HNode("new")
    lst = list_with(old, "b")
    return World(lambda: lst._set_item_without_permission_check(0, new), l=lst, old=old, new=new)


@road("l[i]=v validated")
def _():
    spec = native.List(native.Any())
    spec.element.set_validator(counted_validator)
    old, new = HNode("old"), HDict(v=1)
    lst = HList(["a", old], value_spec=spec, root_path=ROOT)
    return World(lambda: lst.__setitem__(-1, new), l=lst, old=old, new=new)


@road("l.append")
def _():
    x = HNode("x")
    lst = list_with("a", HDict(v=1))
    return World(lambda: lst.append(x), l=lst, x=x, held=lst[1])


@road("l.insert")
def _():
    x = HDict(v=1)
    lst = list_with(HNode("a"), "b")
    return World(lambda: lst.insert(0, x), l=lst, x=x, held=lst[0])


@road("l.extend")
def _():
    x, y = HNode("x"), HDict(v=1)
    lst = list_with(HNode("a"))
    return World(lambda: lst.extend([x, "s", y]), l=lst, x=x, y=y, held=lst[0])


@road("l.insert(popped)")
def _():
    a = HNode("a")
    lst = list_with("s", a, HDict(v=1))
    lst.pop(1)      # taken out, not let go: put back where it was
    return World(lambda: lst.insert(1, a), l=lst, a=a, held=lst[1])


@road("l.extend(symbolic list)")
def _():
    source = list_with(HNode("x"), "s", HDict(v=1))
    lst = list_with("a")
    return World(lambda: lst.extend(source), l=lst, source=source, x=source[0], y=source[2])


@road("l.pop")
def _():
    a = HNode("a")
    lst = list_with("s", a, HDict(v=1))
    return World(lambda: lst.pop(1), l=lst, a=a, held=lst[2])


@road("l.remove")
def _():
    a = HDict(v=1)
    lst = list_with(HNode("b"), a)
    return World(lambda: lst.remove(a), l=lst, a=a, held=lst[0])


@road("del l[i]")
def _():
    a = HNode("a")
    lst = list_with(a, HDict(v=1))
    return World(lambda: lst.__delitem__(0), l=lst, a=a, held=lst[1])


@road("l + vs")
def _():
    x, held = HNode("x"), HDict(v=1)
    lst = list_with(held)
    return World(lambda: lst + [x], l=lst, x=x, held=held)


@road("l * n")
def _():
    held = HNode("a")
    lst = list_with(held, "s")
    return World(lambda: lst * 2, l=lst, held=held)


@road("SymList(...)")
def _():
    x, y = HNode("x"), HDict(v=1)
    z = HNode("z")
    return World(lambda: HList([x, "s", y, {"k": z}], root_path=ROOT), x=x, y=y, z=z)


def _given_twice(write):
    # `nd` is met again where its first store put it: held there, refused.
    gn = HNode("gn")
    nd = HDict(q=gn)
    lst = list_with("a", "b")
    return World(lambda: write(lst, nd), l=lst, nd=nd, gn=gn)


# Writes that fail with no fault made (with the error they raise), whose
# taking back a fault then meets: the world must end as it was.
REFUSED = {
    "l[a:b]=vs one node with a member twice": (lambda: _given_twice(
        lambda lst, nd: lst.__setitem__(slice(0, 1), [nd, nd])), SharedHoldError),
    "l.extend one node with a member twice": (lambda: _given_twice(
        lambda lst, nd: lst.extend([nd, nd])), SharedHoldError),
}


# --- one trial -------------------------------------------------------------------


class Trial:
    """A world made by `make`, its state before the write, and what the
    write did: `error` (None when it succeeded) and the state after."""

    def __init__(self, make):
        self.world = make()
        self.before = self.world.state()
        self.orphans_before = self.world.orphans()

    def run(self, arm=lambda: None, disarm=lambda: None):
        self.error = result = None
        arm()
        try:
            result = self.world.write()
        except Exception as e:      # the write's own failure, judged below
            self.error = e
        finally:
            disarm()
        # A new container the write made is part of the world.
        if contents(result) is not None and all(v is not result for v in self.world.names.values()):
            self.world.names["result"] = result
        self.after = self.world.state()
        self.orphans = self.world.orphans()
        self.calls = FAULT.calls
        return self


def judge(trial, clean):
    """What is wrong with `trial` against the clean trial of its road (an
    empty list when nothing): the world must be whole and hold what it held
    or what the clean write gives; nothing is reported by a write that
    changed nothing; a write that raised nothing gives what the clean one
    gives."""
    out = trial.world.faults()
    after = trial.after
    if after not in (trial.before, clean.after):
        out.append("neither the state before nor the state of the clean write:\n  " +
                   "\n  ".join(_differences(after, trial.before, clean.after)))
    if after == trial.before and after != clean.after and any(trial.world.notified().values()):
        out.append(f"a write that changed nothing reported {trial.world.notified()}")
    if trial.error is None and after != clean.after:
        out.append("the write raised nothing and did not do what the clean one does")
    return out


def raised(error, kind, text=""):
    """Whether `error` is the injected failure: of `kind` whose message
    holds `text`, or the package's construction error made of one."""
    if isinstance(error, ConstructError):
        return str(error).startswith("construct failed: ") and text in str(error)
    return isinstance(error, kind) and text in str(error)


def _differences(after, before, clean):
    lines = []
    for key in sorted(set(after) | set(before) | set(clean), key=str):
        a, b, c = after.get(key), before.get(key), clean.get(key)
        if a != b or a != c:
            lines.append(f"{key}: got {a}, before {b}, clean {c}")
    return lines
