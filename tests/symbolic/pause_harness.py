"""Two writes that meet on one child, made to interleave at chosen points:
write x runs on its own thread until a hook of one of the world's children
(or a sort's key function) is called for the k-th time, and waits there,
before or after that call, while write y runs to completion on another
thread (or, two levels deep, runs and pauses in turn at its own q-th call
while x finishes). The outcome of such a trial must be one of the outcomes
the two writes give run one after the other, in either order (for a write
made of several calls, every merge of its calls with the other write).

An outcome names every object of the world and records, per write, its
result or exception and the field updates its notifications delivered; per
container, what it stores; per symbolic node, its parent and path; per
child, how many times it was let go (`topo_setparent(None)`). Every thread
records into its own Act; the records are merged after the join.

What may differ from a sequential order, and only that:
- the order of hook calls, and any hook call other than a letting go (a
  write may set a child right after others met it);
- a `topo_setparent(None)` by which a write that failed gives a child it
  had placed back its freedom: where a sequential order fails that write
  before its placement, it may fail after it, meeting what the other write
  did meanwhile (an index past the list's new end);
- the order updates arrive in (compared as multisets);
- the path a refusal's message names (held elsewhere, a cycle);
- the mixes of `*` and `extend` that reading the source list once per
  `extend` allows: a `*` is compared as its `extend` calls;
- one write failing at once with the borrow error, having changed nothing,
  where it met the other: a node the other claimed (the claims of
  src/symbolic/claim.hpp), or a sort in progress.
"""

import collections
import functools
import itertools
import os
import re
import threading
import types

import vesk_core._native as native
from helpers import MISSING, Dict, Insertion, KeyPath, List
from vesk.symbolic.object_classes import object_class

# How long a paused or running write may take before the trial counts as
# hung (a write waiting for another's hook). The debug interpreter is
# several times slower than the others; a write takes milliseconds there.
WAIT = float(os.environ.get("VESK_PAIRS_WAIT", "5"))
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")

_local = threading.local()


class Act:
    """What one thread did during a trial: its hook calls in order, the
    field updates its notifications carried (by write), and its pause plan:
    `(k, "before" | "after")`, the k-th hook call."""

    def __init__(self, label, plan=None):
        self.label, self.plan = label, plan
        self.calls = []                            # (node, hook, argument, write)
        self.updates = collections.defaultdict(list)
        self.resume = threading.Event()
        self.signal = threading.Event()            # paused, or done
        self.done = False
        self.result = None
        self.stuck = False                         # a pause never resumed

    def pause(self):
        self.signal.set()
        # Longer than the trial waits for the other write: a write that
        # waits for this one is told apart from a trial that never resumes.
        if not self.resume.wait(4 * WAIT):
            self.stuck = True


def current():
    return getattr(_local, "act", None)


def called(node, hook, argument, call):
    """A hook call of a world's child (or a sort key's call): counted,
    paused at when the calling thread's plan names it, then made."""
    act = current()
    if act is None:                  # building the world
        return call(argument)
    act.calls.append((node, hook, argument, act.label))
    k = len(act.calls)
    if act.plan == (k, "before"):
        act.pause()
    refused = getattr(node, "__dict__", {}).get("refused_path")
    if hook == "topo_setpath" and refused is not None and str(argument) == refused:
        raise LookupError(f"{refused} refused by its child")
    try:
        out = call(argument)
    except RuntimeError:
        # Refused by another thread's momentary hold (released together):
        # it did nothing, and its caller makes it again.
        act.calls[k - 1] = (node, hook + " (refused)", argument, act.label)
        raise
    if act.plan == (k, "after"):
        act.pause()
    return out


def notify(self, updates):
    act = current()
    if act is not None:
        act.updates[act.label].extend(updates)


class Pausing:
    """Topology hooks that can pause their writer (put before the base)."""

    _notify_field_updates = notify

    def topo_setpath(self, path):
        return called(self, "topo_setpath", path, super().topo_setpath)

    def topo_setparent(self, parent):
        return called(self, "topo_setparent", parent, super().topo_setparent)


class PDict(Pausing, Dict):
    pass


class PList(Pausing, List):
    @property
    def tag(self):
        return list.__getitem__(self, 0)


class LDict(Dict):
    _notify_field_updates = notify


class LList(List):
    _notify_field_updates = notify


def sort_key(value):
    """Symbolic items first; each call may pause the sorting thread."""
    return called(value, "key", None, lambda _: 0 if hasattr(value, "_topo_path") else 1)


@functools.cache
def kinds():
    """The object and record classes and the specs of the world, made once
    the bridges are installed: an object class constructed natively, one
    whose construction validates through its schema, a record class, and
    the specs of a dictionary and a list that validate their members."""
    any_ = native.Any(default=None)
    fields = [("f", any_), ("g", any_)]
    logged = {"_notify_field_updates": notify}
    child = object_class("PairChild", [("tag", any_), ("sub", any_)], native_slots=True)

    class PObject(Pausing, child):
        def sym_clone(self, deep=False, memo=None):
            return type(self)(tag=self.tag, sub=self.sub.sym_clone())

        def __repr__(self):    # messages that name it compare alike
            return f"PObject({self.tag})"

    return types.SimpleNamespace(
        PObject=PObject,
        O=object_class("PairObject", fields, native_slots=True, namespace=logged),
        O_SCHEMA=object_class("PairSchemaRoad", fields, compiled=False, native_slots=True,
                              namespace=logged),
        R=object_class("PairRecord", fields, slots=True),
        DICT=native.Dict(native.Schema([native.Field(native.StrKey(), native.Any())],
                                       allow_nonconst_keys=True)),
        LIST=native.List(native.Any()),
        FULL=native.List(native.Any(), max_size=1))


STARTS = ("free", "dict", "list", "object")
Shape = collections.namedtuple("Shape", "child start")
# The child's kind: its own adoption roads differ (an object is adopted by
# construction without the claimed set's walk of containers).
CHILDREN = {
    "dict": lambda inner: PDict(tag="c", sub=inner),
    "list": lambda inner: PList(["c", inner]),
    "object": lambda inner: kinds().PObject(tag="c", sub=inner),
}


class World:
    """The containers, children and replacements of one trial, by name.
    The child `c` (of the kind `child`) holds `inner` (so a write into
    `inner` closes a cycle) and refuses the path `bad.k`; where it starts
    depends on `start`."""

    ORDER = ("d0", "d2", "dbad", "l0", "l1", "lf", "o0", "o2", "c", "inner", "r1", "r2")

    def __init__(self, shape):
        child, start = shape
        KP = KeyPath
        self.inner = LDict(tag="inner")
        self.c = CHILDREN[child](self.inner)
        self.r1, self.r2 = PDict(tag="r1"), PDict(tag="r2")
        self.d0, self.d2 = LDict(root_path=KP("d0")), LDict(root_path=KP("d2"))
        self.dbad = LDict(root_path=KP("bad"))
        self.l0, self.l1 = LList([0, 1], root_path=KP("l0")), LList([], root_path=KP("l1"))
        self.lf = LList([0], value_spec=kinds().FULL, root_path=KP("lf"))
        self.o0, self.o2 = kinds().O(root_path=KP("o0")), kinds().O(root_path=KP("o2"))
        if start == "dict":
            self.d0["k"] = self.c
        elif start == "list":
            self.l0[1] = self.c
        elif start == "object":
            self.o0.f = self.c
        self.c.__dict__["refused_path"] = "bad.k"
        self.names = {name: getattr(self, name) for name in self.ORDER}


class Write:
    """One write kind: the calls it makes as one write (`run`), and, where
    its sequential orders are finer than those calls, the steps the oracle
    merges with the other write (`steps`). Each call takes the world and
    the write's scratch dict; the write's result is the scratch's "result"
    when a call set it, else what its last call returned."""

    def __init__(self, starts, run, steps=None, sort=False):
        self.starts, self.run, self.steps, self.sort = starts, run, steps or run, sort


WRITES = {}


def kind(name, starts, *run, steps=None, sort=False):
    WRITES[name] = Write(starts, run, steps, sort)


def setattr_(obj, name, value):
    setattr(obj, name, value)


def pop(st, lst, index):
    st["item"] = lst.pop(index)


def let_go_popped(w, st):
    """A list's removal does not let its item go: a move does that itself."""
    st["item"].topo_setparent(None)


def core_write(st, lst, index, value, last):
    """One core write of a list (what a slice or `extend` is made of); the
    updates of all of them are delivered by the last, in one notification
    (a write that stops before it sends none)."""
    update = lst._set_item_without_permission_check(index, value)
    st.setdefault("updates", [])
    if update is not None:
        st["updates"].append(update)
    if last and st["updates"]:
        notify(lst, st["updates"])


def _raw(v, name, *value):
    """A node-state property of `v` read or written as it is, with no hook
    (the descriptor of the native base)."""
    for cls in type(v).__mro__:
        if name in cls.__dict__:
            return cls.__dict__[name].__set__(v, *value) if value else cls.__dict__[name].__get__(v)
    raise AttributeError(name)


def formalized_for(lst, index, value):
    """What a slice's first step makes of one item: formalized under its
    position, a refusal raised there; a symbolic item's own state left as
    it was, as the store decides where it is then (the core write formalizes
    it again)."""
    state = [(_raw(value, "_topo_parent"), _raw(value, "_topo_path"))] if _symbolic(value) else []
    formal = lst._formalized_value(index, value)
    for parent, path in state:
        _raw(value, "_topo_parent", parent)
        _raw(value, "_topo_path", path)
    return formal


def slice_steps(name, start, stop, items, given):
    """A step-1 slice assignment of `given` items as the steps it is made
    of: its positions taken and every item formalized first (a refusal there
    stores nothing), then one core write per item, a replacement up to the
    slice's size and an insertion after it."""
    count = max(stop - start, given)

    def prepare(w, st):
        lst = getattr(w, name)
        values = items(w)
        begin, end, _ = slice(start, stop).indices(len(lst))
        size = max(end - begin, 0)
        st["plan"] = [(k < size, begin + k,
                       formalized_for(lst, begin + k, values[k] if k < len(values) else MISSING))
                      for k in range(max(size, len(values)))]

    def write(k):
        def step(w, st):
            plan = st["plan"]
            if k < len(plan):
                replacing, index, formal = plan[k]
                core_write(st, getattr(w, name), index, formal if replacing else Insertion(formal),
                           k == len(plan) - 1)
        return step

    return (prepare,) + tuple(write(k) for k in range(count))


def extend_steps(name, source, count):
    """`extend` as the steps it is made of: the source read once, an item a
    tree holds cloned, then one core write per item at the end the list has
    then."""
    def prepare(w, st):
        values = list(list.__iter__(source(w))) if isinstance(source(w), List) else list(source(w))
        st["items"] = [v.sym_clone() if _symbolic(v) and v._topo_parent is not None else v
                       for v in values]

    def write(k):
        def step(w, st):
            items = st["items"]
            if k < len(items):
                lst = getattr(w, name)
                core_write(st, lst, len(lst), items[k], k == len(items) - 1)
        return step

    return (prepare,) + tuple(write(k) for k in range(count))


# The writes of the world: placements of `c` (every start; where `c` is held
# they are refused), then writes on `c` where it starts.
ALL = STARTS
kind("d2[m]=c", ALL, lambda w, st: w.d2.__setitem__("m", w.c))
kind("d2.nocheck(n,c)", ALL, lambda w, st: w.d2._set_item_without_permission_check("n", w.c))
kind("l0[1]=c", ALL, lambda w, st: w.l0.__setitem__(1, w.c))
kind("l0.insert(1,c)", ALL, lambda w, st: w.l0.insert(1, w.c))
kind("l0[0:2]=[0,c]", ALL, lambda w, st: w.l0.__setitem__(slice(0, 2), [0, w.c]),
     steps=slice_steps("l0", 0, 2, lambda w: [0, w.c], 2))
kind("l0.append(c)", ALL, lambda w, st: w.l0.append(w.c))
kind("l1.append(c)", ALL, lambda w, st: w.l1.append(w.c))
kind("l1.insert(0,c)", ALL, lambda w, st: w.l1.insert(0, w.c))
kind("l1.extend([c])", ALL, lambda w, st: w.l1.extend([w.c]),
     steps=extend_steps("l1", lambda w: [w.c], 1))
kind("l1.nocheck(0,c)", ALL, lambda w, st: w.l1._set_item_without_permission_check(0, w.c))
kind("o2.f=c", ALL, lambda w, st: setattr_(w.o2, "f", w.c))
kind("Dict(k=c)", ALL, lambda w, st: LDict({"k": w.c}, root_path=KeyPath("n")))
kind("Dict(k=c,spec)", ALL,
     lambda w, st: LDict({"k": w.c}, value_spec=kinds().DICT, root_path=KeyPath("n")))
kind("Dict(k=c,pass)", ALL, lambda w, st: LDict({"k": w.c}, value_spec=kinds().DICT,
                                                pass_through=True, root_path=KeyPath("n")))
kind("List([c])", ALL, lambda w, st: LList([w.c], root_path=KeyPath("n")))
kind("List([c],spec)", ALL,
     lambda w, st: LList([w.c], value_spec=kinds().LIST, root_path=KeyPath("n")))
kind("O(f=c)", ALL, lambda w, st: kinds().O(f=w.c, root_path=KeyPath("n")))
kind("O(f=c,schema)", ALL, lambda w, st: kinds().O_SCHEMA(f=w.c, root_path=KeyPath("n")))
kind("R(f=c)", ALL, lambda w, st: kinds().R(f=w.c, root_path=KeyPath("n")))
kind("Dict(a=c,b=c)", ALL, lambda w, st: LDict({"a": w.c, "b": w.c}, root_path=KeyPath("n")))
kind("List([c,c])", ALL, lambda w, st: LList([w.c, w.c], root_path=KeyPath("n")))
kind("O(f=c,g=c)", ALL, lambda w, st: kinds().O(f=w.c, g=w.c, root_path=KeyPath("n")))
kind("R(f=c,g=c)", ALL, lambda w, st: kinds().R(f=w.c, g=w.c, root_path=KeyPath("n")))
# Placements that fail: a cycle, a full list, a hook refusing the path.
kind("inner[x]=c", ALL, lambda w, st: w.inner.__setitem__("x", w.c))
kind("lf.append(c)", ALL, lambda w, st: w.lf.append(w.c))
kind("dbad[k]=c", ALL, lambda w, st: w.dbad.__setitem__("k", w.c))

# `c` stored in d0 under "k".
D = ("dict",)
kind("d0[k]=c", D, lambda w, st: w.d0.__setitem__("k", w.c))
kind("d0[k]=r1", D, lambda w, st: w.d0.__setitem__("k", w.r1))
kind("del d0[k]", D, lambda w, st: w.d0.__delitem__("k"))
kind("d0[k]=MISSING", D, lambda w, st: w.d0.__setitem__("k", MISSING))
kind("d0.nocheck(k,r1)", D, lambda w, st: w.d0._set_item_without_permission_check("k", w.r1))
kind("move d0>d2", D, lambda w, st: w.d0.__delitem__("k"), lambda w, st: w.d2.__setitem__("m", w.c))
kind("move d0>l1", D, lambda w, st: w.d0.__delitem__("k"), lambda w, st: w.l1.append(w.c))
kind("move d0>o2", D, lambda w, st: w.d0.__delitem__("k"), lambda w, st: setattr_(w.o2, "f", w.c))
kind("d0[k]=r2;d2[m]=c", D, lambda w, st: w.d0.__setitem__("k", w.r2),
     lambda w, st: w.d2.__setitem__("m", w.c))
kind("d0.setpath(z)", D, lambda w, st: w.d0.topo_setpath(KeyPath("z")))

# `c` stored in l0 at index 1: l0 == [0, c].
L = ("list",)
kind("l0[1]=r1", L, lambda w, st: w.l0.__setitem__(1, w.r1))
kind("l0.nocheck(1,r1)", L, lambda w, st: w.l0._set_item_without_permission_check(1, w.r1))
kind("l0[1:2]=[r1]", L, lambda w, st: w.l0.__setitem__(slice(1, 2), [w.r1]),
     steps=slice_steps("l0", 1, 2, lambda w: [w.r1], 1))
kind("l0[1:2]=[]", L, lambda w, st: w.l0.__setitem__(slice(1, 2), []),
     steps=slice_steps("l0", 1, 2, lambda w: [], 0))
kind("del l0[1]", L, lambda w, st: w.l0.__delitem__(1))
kind("l0.pop(1)", L, lambda w, st: w.l0.pop(1))
kind("l0.pop()", L, lambda w, st: w.l0.pop())
kind("l0.remove(c)", L, lambda w, st: w.l0.remove(w.c))
kind("l0.clear()", L, lambda w, st: w.l0.clear())
kind("l0.sort(key)", L, lambda w, st: w.l0.sort(key=sort_key), sort=True)
kind("l0.reverse()", L, lambda w, st: w.l0.reverse())
kind("l0.insert(0,r1)", L, lambda w, st: w.l0.insert(0, w.r1))
kind("l0.append(r1)", L, lambda w, st: w.l0.append(w.r1))
kind("l0.copy()", L, lambda w, st: w.l0.copy())
kind("l1.extend(l0)", L, lambda w, st: w.l1.extend(w.l0),
     steps=extend_steps("l1", lambda w: w.l0, 2))


def _times_once(w, st):
    st["result"] = w.l0 * 1


kind("l0*2", L, lambda w, st: w.l0 * 2,
     steps=(_times_once, lambda w, st: st["result"].extend(w.l0)))
kind("move l0>d2", L, lambda w, st: pop(st, w.l0, 1), let_go_popped,
     lambda w, st: w.d2.__setitem__("m", st["item"]))
kind("move l0>l1", L, lambda w, st: pop(st, w.l0, 1), let_go_popped,
     lambda w, st: w.l1.append(st["item"]))
kind("l0[1]=r2;d2[m]=c", L, lambda w, st: w.l0.__setitem__(1, w.r2),
     lambda w, st: w.d2.__setitem__("m", w.c))
kind("l0.setpath(z)", L, lambda w, st: w.l0.topo_setpath(KeyPath("z")))

# `c` stored in the object o0's field f.
B = ("object",)
kind("o0.f=c", B, lambda w, st: setattr_(w.o0, "f", w.c))
kind("o0.f=r1", B, lambda w, st: setattr_(w.o0, "f", w.r1))
kind("o0.f=MISSING", B, lambda w, st: setattr_(w.o0, "f", MISSING))
kind("o0.nocheck(f,r1)", B, lambda w, st: native._native_object_set_item_no_check(w.o0, "f", w.r1))
kind("move o0>d2", B, lambda w, st: setattr_(w.o0, "f", None),
     lambda w, st: w.d2.__setitem__("m", w.c))
kind("o0.f=r2;o2.g=c", B, lambda w, st: setattr_(w.o0, "f", w.r2),
     lambda w, st: setattr_(w.o2, "g", w.c))


def writes_of(shape):
    return [name for name, wr in WRITES.items() if shape.start in wr.starts]


SHAPES = [Shape(child, start) for child in CHILDREN for start in STARTS]


# ---------------------------------------------------------------- outcomes

# The path a refusal names: a child held elsewhere, or a cycle.
_REFUSAL_PATH = re.compile(r"(for|at path) '[^']*'( is already held| would create a cycle)")


def text(e):
    """An exception as compared: its class and message, with the path a
    refusal names left out (it is the path the refused write would have
    given, which a write in progress may have changed meanwhile)."""
    return (type(e).__name__, _REFUSAL_PATH.sub(r"\1 '...'\2", str(e)))


def run_calls(world, calls, scratch):
    """Runs one write's calls; its result, as `("ok", value)` or `("raised",
    class, message)`."""
    try:
        out = None
        for call in calls:
            out = call(world, scratch)
        return ("ok", scratch.get("result", out))
    except Exception as e:          # the write's own outcome
        return ("raised",) + text(e)


def _symbolic(v):
    return isinstance(v, (native.SymDict, native.SymList, native.SymObject)) or hasattr(
        type(v), "__slot_field_names__")


def _contents(v):
    if isinstance(v, native.SymList):
        return list(enumerate(list.__iter__(v)))
    if isinstance(v, dict):
        return sorted(dict.items(v), key=lambda kv: str(kv[0]))
    if isinstance(v, native.SymObject):
        fields = v.field_dict()
        return sorted(fields.items()) if fields is not None else []
    if hasattr(type(v), "__slot_field_names__"):
        names = type(v).__slot_field_names__
        return sorted(native._slot_record_inline_fields(v, names).items())
    return None


class Namer:
    """Names the objects of a world: its own by their names, any other one
    by its tag (or class) and the order it is first met in."""

    def __init__(self, world):
        self.ids = {id(v): n for n, v in world.names.items()}
        self.met = list(world.names.items())
        self.counts = collections.Counter()

    def __call__(self, v):
        if v is None or isinstance(v, (bool, int, float, str)):
            return repr(v)
        if v is MISSING:
            return "MISSING"
        if isinstance(v, KeyPath):
            return str(v)
        if id(v) not in self.ids:
            tag = getattr(v, "tag", None) if _symbolic(v) else None
            base = f"{tag}'" if tag else type(v).__name__
            self.counts[base] += 1
            self.ids[id(v)] = name = f"{base}{self.counts[base]}"
            self.met.append((name, v))
        return self.ids[id(v)]


def outcome(world, results, acts, name=None):
    """The normalized outcome of one run, as {(part, name): value}: each
    write's result (an object returned named), what each container stores,
    each symbolic node's parent and path, each child's count of letting go
    (where not 0), and the updates each write's notifications delivered."""
    name = name or Namer(world)
    out = {("result", w): (r[0], name(r[1])) if r[0] == "ok" else r
           for w, r in results.items()}
    i = 0
    while i < len(name.met):
        n, v = name.met[i]
        i += 1
        items = _contents(v)
        if items is not None:
            out[("stored", n)] = tuple((str(k), name(x)) for k, x in items)
        if _symbolic(v):
            parent = v._topo_parent
            out[("node", n)] = (None if parent is None else name(parent), str(v._topo_path))
    for act in acts:
        for node in let_go(act.calls, results):
            key = ("let go", name(node))
            out[key] = out.get(key, 0) + 1
        for label, ups in act.updates.items():
            out.setdefault(("updates", label), []).extend(
                (str(u.path), name(u.target), name(u.old_value), name(u.new_value)) for u in ups)
    for key in [k for k in out if k[0] == "updates"]:
        out[key] = tuple(sorted(out[key]))     # in whatever order they came
    return out


def let_go(calls, results):
    """The child of each `topo_setparent(None)` call; except where a write
    that failed gives a child it had given a parent back its freedom: it
    did not let go a child it had placed, it took the placement back."""
    placed = set()
    for node, hook, argument, label in calls:
        if hook != "topo_setparent":
            continue
        if argument is not None:
            placed.add((id(node), label))
        elif (id(node), label) not in placed or results[label][0] != "raised":
            yield node


def freeze(o):
    return tuple(sorted(o.items()))


# ------------------------------------------------------------------ oracle

def merges(a, b):
    """Every order of a's and b's steps that keeps each one's own order."""
    for picks in itertools.combinations(range(a + b), a):
        order, i, j = [], 0, 0
        for pos in range(a + b):
            if pos in picks:
                order.append(("x", i))
                i += 1
            else:
                order.append(("y", j))
                j += 1
        yield order


def sequential(shape, order, writes, refused=None):
    """Runs the writes' steps in `order` on a fresh world on this thread;
    a write stops at its first failing step; `refused` (label, result)
    names a write that ends in that result instead. (world, outcome)."""
    world = World(shape)
    act = Act(None)
    _local.act = act
    try:
        scratch = {label: {} for label in writes}
        results = {label: ("ok", None) for label in writes}
        for label, i in order:
            if results[label][0] == "raised":
                continue
            act.label = label
            results[label] = run_calls(world, [writes[label].steps[i]], scratch[label])
        for label in writes:
            if results[label][0] == "ok" and "result" in scratch[label]:
                results[label] = ("ok", scratch[label]["result"])
        if refused:
            results[refused[0]] = refused[1]
        return world, outcome(world, results, [act])
    finally:
        _local.act = None


def order_text(order, writes):
    """"x then y", or for writes of several steps "x1 y1 x2"."""
    if all(len(w.steps) == 1 for w in writes.values()):
        return " then ".join(label for label, _ in order)
    return " ".join(f"{label}{i + 1}" for label, i in order)


@functools.cache
def oracle(shape, x, y):
    """The outcomes of x and y run one after the other on fresh worlds, in
    every merge of their steps: {frozen outcome: (order, outcome)}."""
    writes = {"x": WRITES[x], "y": WRITES[y]}
    found = {}
    for order in merges(len(writes["x"].steps), len(writes["y"].steps)):
        _, o = sequential(shape, order, writes)
        found.setdefault(freeze(o), (order_text(order, writes), o))
    return found


@functools.cache
def alone(shape, write, label, other, other_label):
    """`write` (labelled `label`) alone, the `other` write failing at once
    with the borrow error, having changed nothing; where `other` is made of
    steps, with the steps before the refused one made first, in every merge
    with `write`'s steps (the refused step changes nothing wherever it
    comes)."""
    writes = {label: WRITES[write], other_label: WRITES[other]}
    out = []
    for made in range(len(WRITES[other].steps)):
        for merged in merges(len(WRITES[write].steps), made):
            order = [(label if who == "x" else other_label, i) for who, i in merged]
            for message in BORROW_ERRORS:
                refusal = ("raised", "RuntimeError", message)
                _, o = sequential(shape, order, writes, (other_label, refusal))
                out.append((f"{label} alone, {other_label} refused", o))
    return out


@functools.cache
def pause_points(shape, x):
    """Before and after each hook call write x makes alone."""
    world, act = World(shape), Act("x")
    _local.act = act
    try:
        run_calls(world, WRITES[x].run, {})
    finally:
        _local.act = None
    return [(k, when) for k in range(1, len(act.calls) + 1) for when in ("before", "after")]


# ------------------------------------------------------------------ trials

class Runner(threading.Thread):
    def __init__(self, world, write, act, gate=None):
        super().__init__(daemon=True, name=f"pairs-{act.label}")
        self.world, self.write, self.act, self.gate = world, write, act, gate

    def run(self):
        _local.act = self.act
        try:
            if self.gate is not None:
                self.gate.wait(WAIT)
            self.act.result = run_calls(self.world, self.write.run, {})
        finally:
            _local.act = None
            self.act.done = True
            self.act.signal.set()


class Trial:
    """One concurrent run of write x paused at `p` while y runs (paused in
    turn at `q`, two levels deep), or, with `p` None, of x and y released
    together. `outcome` stays None when a write never reached its pause
    point; `hung` says which write did not finish while the other was
    paused."""

    def __init__(self, shape, x, y, p=None, q=None):
        self.shape, self.x, self.y, self.p, self.q = shape, x, y, p, q
        self.outcome, self.hung, self.sort_met = None, [], False
        world = World(shape)
        self.name = Namer(world)
        ax, ay = Act("x", p), Act("y", q)
        self.acts = (ax, ay)
        gate = threading.Barrier(2) if p is None else None
        tx, ty = Runner(world, WRITES[x], ax, gate), Runner(world, WRITES[y], ay, gate)
        try:
            if gate is not None:
                tx.start()
                ty.start()
            elif self._interleave(tx, ty, ax, ay):
                return
        finally:
            ax.resume.set()
            ay.resume.set()
            for t in (tx, ty):
                if t.ident is not None:
                    t.join(WAIT)
        if tx.is_alive() or ty.is_alive() or ax.stuck or ay.stuck:
            self.hung.append("a write never finished")
        if not self.hung:
            self.outcome = outcome(world, {"x": ax.result, "y": ay.result}, self.acts, self.name)

    def _interleave(self, tx, ty, ax, ay):
        """Pauses x, runs y (pausing it too at `q`), resumes x, then y.
        True when the trial did not come about."""
        tx.start()
        if not ax.signal.wait(WAIT):
            self.hung.append("x never paused nor finished")
        if ax.done or self.hung:
            return True                             # x never reached p
        self.sort_met = WRITES[self.x].sort and ax.calls[-1][1] == "key"
        ty.start()
        if not ay.signal.wait(WAIT):
            self.hung.append("y waited for x")
        if self.q is not None:
            if ay.done:
                return True                         # y never reached q
            self.sort_met = self.sort_met or (WRITES[self.y].sort and ay.calls[-1][1] == "key")
        ax.resume.set()
        tx.join(WAIT)
        if tx.is_alive():
            self.hung.append("x waited for y")
        return False

    @property
    def reached(self):
        return self.outcome is not None or bool(self.hung)

    def allowed(self):
        """The outcomes a sequential order gives; and one write failing at
        once with the borrow error, having changed nothing, where it met the
        other on a node (a claim the other held, a sort in progress)."""
        seq = dict(oracle(self.shape, self.x, self.y))
        for label, write, other, other_write in (("x", self.x, "y", self.y),
                                                 ("y", self.y, "x", self.x)):
            for text_, o in alone(self.shape, write, label, other_write, other):
                seq.setdefault(freeze(o), (text_, o))
        return seq

    def failed(self):
        """Whether the trial came about and hung, or ended in an outcome no
        sequential order gives."""
        if self.hung:
            return True
        return self.outcome is not None and freeze(self.outcome) not in self.allowed()

    def account(self):
        """The trial in words: the writes, where they paused, the hook calls
        each made, and the parts of the outcome where the concurrent one
        and those of the sequential orders differ."""
        why = "; ".join(self.hung) or "no sequential order gives this outcome"
        lines = [f"[{self.shape.child} child, {self.shape.start}] x = {self.x}  |  "
                 f"y = {self.y}  ({self.where()}): {why}"]
        for act in self.acts:
            calls = ", ".join(f"{self.name(n)}.{h}({'' if h == 'key' else self.name(a)})"
                              for n, h, a, _ in act.calls)
            lines.append(f"    {act.label} calls: {calls or '(none)'}")
        if self.outcome is not None:
            outcomes = [("concurrent", self.outcome)] + list(self.allowed().values())
            lines.append("    where the outcomes differ: " + " | ".join(t for t, _ in outcomes))
            differ = sorted({k for _, o in outcomes for k in set(o) | set(self.outcome)
                             if o.get(k) != self.outcome.get(k)}, key=str)
            for key in differ:
                values = " | ".join(str(o.get(key, "-")) for _, o in outcomes)
                lines.append(f"      {key[0]} {key[1]}: {values}")
        return "\n".join(lines)

    def where(self):
        if self.p is None:
            return "released together"
        out = f"x paused {self.p[1]} its hook call {self.p[0]}"
        return out + (f", y {self.q[1]} its call {self.q[0]}" if self.q else "")
