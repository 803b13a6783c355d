"""Writes that meet on one child, made to interleave at chosen points:
write x runs on its own thread until one of the world's children gets its
k-th call (a topology hook, a read by name of its node state: `enable_topo`,
`_topo_parent`, `_topo_path`; a sort's key call; a key's hash; or, in a
world whose list transforms its elements, the transform's call), and waits
there, before or after that call, while write y runs to completion on
another thread (or, two levels deep, runs and pauses in turn at its own
q-th call; or, with a third write z, pauses while z runs to completion),
then x and y finish in turn. The outcome of such a trial must be one of
the outcomes the writes give run one after the other, in any order (for a
write made of several calls, every merge of its calls with the others').

The worlds: where the child starts (free, in a dict, a list or an object),
and the widened ones (FORMS): a record and its `_sym_attributes` view (the
record alone, or held by a dict), a child whose letting go raises (always,
once, or after it let go), a child whose own member pauses and refuses a
path (nested re-paths), a list written at indices that count from the end
(its elements transformed, so a write also pauses between its claims and
its child's placement), a dict written under keys of a class of their own,
whose hash calls pause as the hooks do, a list sorted by a key that
pauses while writes of one item and of several meet it, and an object's
`_sym_attributes` view made (and written through) while the object is
placed.

An outcome names every object of the world and records, per write, its
result or exception and the field updates its notifications delivered; per
container, what it stores; per symbolic node, its parent and path; per
child, how many times it was let go (`topo_setparent(None)`). Every thread
records into its own Act; the records are merged after the join.

What may differ from a sequential order, and only that:
- the order of calls, and any call other than a letting go (a write may
  set a child right after others met it);
- a `topo_setparent(None)` by which a write that failed gives a child it
  had placed back its freedom: where a sequential order fails that write
  before its placement, it may fail after it, meeting what the other write
  did meanwhile (an index past the list's new end);
- the order updates arrive in (compared as multisets);
- the path a refusal's message names (held elsewhere, a cycle);
- the mixes of `*` and `extend` that reading the source list once per
  `extend` allows: a `*` is compared as its `extend` calls;
- some writes (never all) failing at once with the borrow error, either
  text, having changed nothing, where they met another: a node it claimed
  (the claims of src/symbolic/claim.hpp), or a sort in progress. A write of
  one operation so refused called no topology hook at all: it met the other
  before its first effect.
"""

import collections
import functools
import itertools
import math
import os
import queue
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
    own = getattr(node, "__dict__", {})
    refused = own.get("refused_path")
    if hook == "topo_setpath" and refused is not None and str(argument) == refused:
        raise LookupError(f"{refused} refused by its child")
    refuses = own.get("refuses_let_go") if hook == "topo_setparent" and argument is None else None
    if refuses in ("always", "once"):
        if refuses == "once":
            own["refuses_let_go"] = None
        raise LookupError("let go refused by its child")
    try:
        out = call(argument)
    except RuntimeError:
        # Refused by another thread's momentary hold (released together):
        # it did nothing, and its caller makes it again.
        act.calls[k - 1] = (node, hook + " (refused)", argument, act.label)
        raise
    if refuses == "after":
        # A hook that fails once it has let go (the package's own change
        # hook raising, say).
        raise LookupError("let go failed after it was made")
    if act.plan == (k, "after"):
        act.pause()
    return out


def notify(self, updates):
    act = current()
    if act is not None:
        act.updates[act.label].extend(updates)


# The node-state attributes whose reads by name may pause their reader.
READS = ("enable_topo", "_topo_parent", "_topo_path")


def _paused_read(name):
    """A node-state attribute whose reads by name count as calls and may
    pause their reader, as the hooks do."""
    def read(self):
        return called(self, name, None, lambda _: getattr(super(Pausing, self), name))
    read.__name__ = name
    return property(read)


class Pausing:
    """Topology hooks, and the node-state attributes read by name
    (`enable_topo`, `_topo_parent`, `_topo_path`), that can pause their
    caller (put before the base). A node whose `refuses_let_go` is "always"
    or "once" raises from `topo_setparent(None)` without making the call
    (every time, or the first); "after", once the call is made."""

    _notify_field_updates = notify
    enable_topo = _paused_read("enable_topo")
    _topo_parent = _paused_read("_topo_parent")
    _topo_path = _paused_read("_topo_path")

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


def transform(value):
    """An element transform that keeps the value; each call may pause the
    writing thread (after its claims, before its child is placed)."""
    return called(value, "transform", None, lambda _: value)


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
        FULL=native.List(native.Any(), max_size=1),
        PAUSING=native.List(native.Any(transform=transform)))


STARTS = ("free", "dict", "list", "object")
# The widened worlds: where `c` starts, whether its letting go raises
# ("always" or "once"), and whether its member `inner` pauses too (a node
# two levels down, which a re-path of `c` reaches, and which refuses the
# path `c` would give it under `bad.k` instead of `c` refusing `bad.k`).
# `transform`: l0's elements pass a transform that may pause (its spec).
Form = collections.namedtuple("Form", "holder let_go nested transform", defaults=(False,))
FORMS = {start: Form(start, None, False) for start in STARTS}
FORMS.update({
    "record": Form("record", None, False),
    "record in dict": Form("record", None, False),
    "dict, let go raises": Form("dict", "always", False),
    "dict, let go raises once": Form("dict", "once", False),
    "dict, let go fails after": Form("dict", "after", False),
    "list, let go raises": Form("list", "always", False),
    "object, let go raises": Form("object", "always", False),
    "nested": Form("free", None, True),
    "nested in dict": Form("dict", None, True),
    "list, indices": Form("list", None, False, True),
    "dict, keys of their own class": Form("dict", None, False),
    "list, sorting": Form("list", None, False),
    "object view": Form("free", None, True),
})
Shape = collections.namedtuple("Shape", "child start")
# The child's kind: its own adoption roads differ (an object is adopted by
# construction without the claimed set's walk of containers).
CHILDREN = {
    "dict": lambda inner: PDict(tag="c", sub=inner),
    "list": lambda inner: PList(["c", inner]),
    "object": lambda inner: kinds().PObject(tag="c", sub=inner),
}
# The key under which each kind of child holds `inner`.
SUB = {"dict": "sub", "list": 1, "object": "sub"}


class World:
    """The containers, children and replacements of one trial, by name.
    The child `c` (of the kind `child`) holds `inner` (so a write into
    `inner` closes a cycle) and refuses the path `bad.k` (in a nested
    world, `inner` refuses its path under it); where it starts depends on
    `start` (FORMS)."""

    ORDER = ("d0", "d2", "dbad", "l0", "l1", "lf", "o0", "o2", "rv", "c", "inner", "r1", "r2")

    def __init__(self, shape):
        child, start = shape
        form = FORMS[start]
        KP = KeyPath
        self.child = child
        self.inner = PDict(tag="inner") if form.nested else LDict(tag="inner")
        self.c = CHILDREN[child](self.inner)
        self.r1, self.r2 = PDict(tag="r1"), PDict(tag="r2")
        self.d0, self.d2 = LDict(root_path=KP("d0")), LDict(root_path=KP("d2"))
        self.dbad = LDict(root_path=KP("bad"))
        self.l0 = LList([0, 1], value_spec=kinds().PAUSING if form.transform else None,
                        root_path=KP("l0"))
        self.l1 = LList([], root_path=KP("l1"))
        self.lf = LList([0], value_spec=kinds().FULL, root_path=KP("lf"))
        self.o0, self.o2 = kinds().O(root_path=KP("o0")), kinds().O(root_path=KP("o2"))
        self.rv = kinds().R(f=self.c if form.holder == "record" else None, root_path=KP("rv"))
        if start == "record in dict":
            self.d0["r"] = self.rv
        if form.holder == "dict":
            self.d0["k"] = self.c
        elif form.holder == "list":
            self.l0[1] = self.c
        elif form.holder == "object":
            self.o0.f = self.c
        if form.nested:
            self.inner.__dict__["refused_path"] = str(KP(SUB[child], KP("k", KP("bad"))))
        else:
            self.c.__dict__["refused_path"] = "bad.k"
        self.c.__dict__["refuses_let_go"] = form.let_go
        self.names = {name: getattr(self, name) for name in self.ORDER}


class Write:
    """One write kind: the calls it makes as one write (`run`), and, where
    its sequential orders are finer than those calls, the steps the oracle
    merges with the other write (`steps`). Each call takes the world and
    the write's scratch dict; the write's result is the scratch's "result"
    when a call set it, else what its last call returned. `whole`: its one
    call is one operation, refused (if at all) before its first effect."""

    def __init__(self, starts, run, steps=None, whole=True):
        self.starts, self.run, self.steps = starts, run, steps or run
        self.whole = whole and len(run) == 1


WRITES = {}


def kind(name, starts, *run, steps=None, whole=True):
    WRITES[name] = Write(starts, run, steps, whole)


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
        if name in cls.__dict__ and cls is not Pausing:
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
    slice's size and an insertion after it; a slice past the list's end adds
    each at the end the list has then, as an append does."""
    count = max(stop - start, given)

    def prepare(w, st):
        lst = getattr(w, name)
        values = items(w)
        begin, end, _ = slice(start, stop).indices(len(lst))
        size = max(end - begin, 0)
        st["at end"] = size == 0 and begin >= len(lst)
        st["plan"] = [(k < size, begin + k,
                       formalized_for(lst, begin + k, values[k] if k < len(values) else MISSING))
                      for k in range(max(size, len(values)))]

    def write(k):
        def step(w, st):
            plan = st["plan"]
            if k < len(plan):
                replacing, index, formal = plan[k]
                lst = getattr(w, name)
                if st["at end"]:
                    index = len(lst)
                core_write(st, lst, index, formal if replacing else Insertion(formal),
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
kind("l0.delete_and_notify(1)", L, lambda w, st: w.l0.delete_and_notify(1))
kind("l0.pop(1)", L, lambda w, st: w.l0.pop(1))
kind("l0.pop()", L, lambda w, st: w.l0.pop())
kind("l0.remove(c)", L, lambda w, st: w.l0.remove(w.c))
kind("l0.clear()", L, lambda w, st: w.l0.clear())
kind("l0.sort(key)", L, lambda w, st: w.l0.sort(key=sort_key))
kind("l0.reverse()", L, lambda w, st: w.l0.reverse())
kind("l0.insert(0,r1)", L, lambda w, st: w.l0.insert(0, w.r1))
kind("l0.append(r1)", L, lambda w, st: w.l0.append(w.r1))
kind("l0.copy()", L, lambda w, st: w.l0.copy())
kind("l1.extend(l0)", L, lambda w, st: w.l1.extend(w.l0),
     steps=extend_steps("l1", lambda w: w.l0, 2))


def _times_once(w, st):
    st["result"] = w.l0 * 1


kind("l0*2", L, lambda w, st: w.l0 * 2,
     steps=(_times_once, lambda w, st: st["result"].extend(w.l0)), whole=False)
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



# ------------------------------------------------------- the widened worlds

def view_of(w):
    """The record's `_sym_attributes` (its first use materialises it)."""
    return w.rv._sym_attributes


def into_c(w, value):
    """`value` written where `c` holds `inner`."""
    if w.child == "object":
        w.c.sub = value
    else:
        w.c[SUB[w.child]] = value


def also(start, *names):
    """The existing writes `names` are written in the world `start` too."""
    for name in names:
        WRITES[name].starts = tuple(WRITES[name].starts) + (start,)


# A record's view: its first use, and writes through it.
RV = ("record", "free")
kind("rv.view", ("record",), lambda w, st: view_of(w))
kind("rv[f]=c", RV, lambda w, st: view_of(w).__setitem__("f", w.c))
kind("rv[f]=r1", ("record",), lambda w, st: view_of(w).__setitem__("f", w.r1))
kind("move rv>d2", ("record",), lambda w, st: view_of(w).__setitem__("f", None),
     lambda w, st: w.d2.__setitem__("m", w.c))
also("record", "d2[m]=c", "l1.append(c)", "o2.f=c", "Dict(k=c)", "R(f=c)")
# The view's first use while the dict holding the record is placed or
# re-pathed (its walk re-paths the record and the record's members).
RD = ("record in dict",)
kind("d2[m]=d0", RD, lambda w, st: w.d2.__setitem__("m", w.d0))
also("record in dict", "rv.view", "rv[f]=r1", "d0.setpath(z)")

# A child whose letting go raises: the writes on it where it is held, and
# every placement of it.
also("dict, let go raises", *[n for n, wr in WRITES.items() if "dict" in wr.starts])
also("dict, let go raises once", *[n for n, wr in WRITES.items() if "dict" in wr.starts])
also("dict, let go fails after", *[n for n, wr in WRITES.items() if "dict" in wr.starts])
also("list, let go raises", "l0[1]=r1", "l0.nocheck(1,r1)", "l0[1:2]=[r1]", "del l0[1]",
     "l0.delete_and_notify(1)",
     "l0.pop(1)", "move l0>d2", "l0[1]=r2;d2[m]=c", "d2[m]=c", "l1.append(c)", "o2.f=c",
     "Dict(k=c)", "R(f=c)")
also("object, let go raises", "o0.f=r1", "o0.f=MISSING", "o0.nocheck(f,r1)", "move o0>d2",
     "o0.f=r2;o2.g=c", "d2[m]=c", "l1.append(c)", "o2.f=c", "R(f=c)")

# Nested re-paths: `c` free, or in d0, while writes place or replace the
# nodes above and below it.
N = ("nested",)
ND = ("nested in dict",)
kind("c.sub=r1", N + ND, lambda w, st: into_c(w, w.r1))
kind("d2[m]=r1", N, lambda w, st: w.d2.__setitem__("m", w.r1))
kind("r1[x]=c", N, lambda w, st: w.r1.__setitem__("x", w.c))
kind("inner[x]=r1", ND, lambda w, st: w.inner.__setitem__("x", w.r1))
also("nested", "inner[x]=c", "dbad[k]=c", "d2[m]=c", "l1.append(c)", "o2.f=c", "Dict(k=c)",
     "R(f=c)")
also("nested in dict", "d0.setpath(z)", "d0[k]=r1", "del d0[k]", "move d0>d2", "d2[m]=c",
     "dbad[k]=c")

# List indices that count from the end or move under other writes.
LI = ("list, indices",)
kind("l0[-1]=r1", LI, lambda w, st: w.l0.__setitem__(-1, w.r1))
kind("l0.insert(0,r2)", LI, lambda w, st: w.l0.insert(0, w.r2))
kind("del l0[0]", LI, lambda w, st: w.l0.__delitem__(0))
kind("l0.pop(0)", LI, lambda w, st: w.l0.pop(0))
kind("l0[0:2]=[r1]", LI, lambda w, st: w.l0.__setitem__(slice(0, 2), [w.r1]),
     steps=slice_steps("l0", 0, 2, lambda w: [w.r1], 1))
kind("l0[-1]=c", LI, lambda w, st: w.l0.__setitem__(-1, w.c))
kind("l0[-2]=r1", LI, lambda w, st: w.l0.__setitem__(-2, w.r1))
# At or past the end: an insertion and slices that each add one item there.
kind("l0.insert(2,r2)", LI, lambda w, st: w.l0.insert(2, w.r2))
kind("l0[5:7]=[r1]", LI, lambda w, st: w.l0.__setitem__(slice(5, 7), [w.r1]),
     steps=slice_steps("l0", 5, 7, lambda w: [w.r1], 1))
kind("l0[5:7]=[r2]", LI, lambda w, st: w.l0.__setitem__(slice(5, 7), [w.r2]),
     steps=slice_steps("l0", 5, 7, lambda w: [w.r2], 1))
also("list, indices", "l0[1]=r1", "del l0[1]", "l0.pop()", "l0[1:2]=[r1]", "l0.setpath(z)",
     "l0.reverse()", "l0.remove(c)", "l0.append(r1)", "l0.nocheck(1,r1)")

# A sort whose key pauses while the list's writes of several items (a
# slice, `extend`) and of one, and removals, meet it.
LS = ("list, sorting",)
kind("l0[0:2]=[r1,r2]", LS, lambda w, st: w.l0.__setitem__(slice(0, 2), [w.r1, w.r2]),
     steps=slice_steps("l0", 0, 2, lambda w: [w.r1, w.r2], 2))
kind("l0.extend([r1,r2])", LS, lambda w, st: w.l0.extend([w.r1, w.r2]),
     steps=extend_steps("l0", lambda w: [w.r1, w.r2], 2))
also("list, sorting", "l0.sort(key)", "l0[1]=r1", "l0[1:2]=[r1]", "l0.append(r1)",
     "l0.insert(0,r2)", "l0[-1]=r1", "l0.pop()", "del l0[1]")


# An object's `_sym_attributes` view, made on each read, and a write through
# it, while the object is placed (its members re-pathed, `inner` pausing).
OV = ("object view",)


def object_view(w, st):
    st["result"] = None     # each read makes a new view: its making is the write
    return w.c._sym_attributes


kind("c.view", OV, object_view)
kind("c.view[tag]=r1", OV, lambda w, st: object_view(w, st).__setitem__("tag", w.r1))
also("object view", "d2[m]=c", "o2.f=c", "c.sub=r1")


class OwnKey(str):
    """A str key of a class of its own: each of its hash calls, wherever the
    dict or a claim makes one, counts as a call and may pause its caller."""

    def __hash__(self):
        return called(self, "__hash__", None, lambda _: str.__hash__(self))


# Keys of a class of their own meeting equal exact keys: a new key, and
# the key that holds `c`.
KO = ("dict, keys of their own class",)
kind("d0[K(n)]=r1", KO, lambda w, st: w.d0.__setitem__(OwnKey("n"), w.r1))
kind("d0[n]=r2", KO, lambda w, st: w.d0.__setitem__("n", w.r2))
kind("d0[K(k)]=r1", KO, lambda w, st: w.d0.__setitem__(OwnKey("k"), w.r1))
also("dict, keys of their own class", "d0[k]=r1", "del d0[k]")


def writes_of(shape):
    return [name for name, wr in WRITES.items() if shape.start in wr.starts]


SHAPES = [Shape(child, start) for child in CHILDREN for start in STARTS]
# The widened worlds, with the children whose roads differ there.
WIDE_SHAPES = [Shape(child, start) for start in FORMS if start not in STARTS
               for child in (CHILDREN if start in ("record", "nested", "nested in dict")
                             else ("object",) if start == "object view" else ("dict",))]


# ---------------------------------------------------------------- outcomes

# The path a refusal names: a child held elsewhere, or a cycle.
_REFUSAL_PATH = re.compile(r"(for|at path) '[^']*'( is already held| would create a cycle)")


# The borrow refusal, whichever of its two texts: a write that met another.
REFUSAL = ("RuntimeError", "the borrow refusal")


def text(e):
    """An exception as compared: its class and message, with the path a
    refusal names left out (it is the path the refused write would have
    given, which a write in progress may have changed meanwhile)."""
    if isinstance(e, RuntimeError) and str(e) in BORROW_ERRORS:
        return REFUSAL
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
        # Once materialised, the view holds the fields (its cells go stale).
        view = native._slot_node_get(v, 6)
        if view is not None:
            return sorted(dict.items(view))
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


def refused_hooks(act, write):
    """The topology hooks a write of one operation that ended in the borrow
    refusal called: none, since it is refused before its first effect (a
    write of several may be refused at a later one)."""
    if act.result != ("raised",) + REFUSAL or not write.whole:
        return ()
    return tuple(f"{hook}" for _, hook, _, _ in act.calls
                 if hook in ("topo_setpath", "topo_setparent"))


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

def merges(counts):
    """Every order of the writes' steps that keeps each one's own order:
    `counts` maps each label to its number of steps."""
    labels = list(counts)

    def rest(left, done):
        if not any(left.values()):
            yield []
            return
        for label in labels:
            if left[label]:
                left[label] -= 1
                step = (label, done[label])
                done[label] += 1
                for tail in rest(left, done):
                    yield [step] + tail
                done[label] -= 1
                left[label] += 1

    yield from rest(dict(counts), dict.fromkeys(labels, 0))


def sequential(shape, order, writes, refused=()):
    """Runs the writes' steps in `order` on a fresh world on this thread;
    a write stops at its first failing step; each label of `refused` names
    a write that ends in the borrow refusal instead. (world, outcome)."""
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
        for label in refused:
            results[label] = ("raised",) + REFUSAL
    finally:
        _local.act = None
    return world, outcome(world, results, [act])


def order_text(order, writes):
    """"x then y", or for writes of several steps "x1 y1 x2"."""
    if all(len(w.steps) == 1 for w in writes.values()):
        return " then ".join(label for label, _ in order)
    return " ".join(f"{label}{i + 1}" for label, i in order)


@functools.cache
def allowed_outcomes(shape, names):
    """The outcomes of the writes `names` (labelled x, y, z in turn) run
    one after the other on fresh worlds, in every merge of their steps; and
    those where some of them (never all) fail at once with the borrow
    refusal, having changed nothing: a write made of steps is refused at
    one of them, the steps before it made, in every merge with the others'
    (the refused step changes nothing wherever it comes).
    {frozen outcome: (order, outcome)}."""
    labels = "xyz"[:len(names)]
    writes = {label: WRITES[n] for label, n in zip(labels, names)}
    found = {}
    for refused in itertools.chain.from_iterable(
            itertools.combinations(labels, k) for k in range(len(labels))):
        # Each refused write made some of its steps first: every count.
        for made in itertools.product(*(range(len(writes[r].steps)) for r in refused)):
            counts = {label: len(writes[label].steps) for label in labels}
            counts.update(zip(refused, made))
            for order in merges(counts):
                _, o = sequential(shape, order, writes, refused)
                why = order_text(order, writes) or "nothing"
                if refused:
                    why += f" ({', '.join(refused)} refused)"
                found.setdefault(freeze(o), (why, o))
    return found


@functools.cache
def pause_points(shape, x, reads=True):
    """Before and after each hook call, and (with `reads`) each read of a
    node-state attribute, write x makes alone."""
    world, act = World(shape), Act("x")
    _local.act = act
    try:
        run_calls(world, WRITES[x].run, {})
    finally:
        _local.act = None
    return [(k, when) for k, (_, hook, _, _) in enumerate(act.calls, 1)
            if reads or hook not in READS for when in ("before", "after")]


def order_count(names):
    """How many merges of the writes' steps there are."""
    return math.factorial(sum(len(WRITES[n].steps) for n in names)) // math.prod(
        math.factorial(len(WRITES[n].steps)) for n in names)


# ------------------------------------------------------------------ trials

class Workers:
    """Threads kept for the trials of one sweep (starting a thread costs
    about as much as a trial): each runs one write at a time. Used by the
    sweep that opens it (`with Workers():`, which ends the threads); a
    thread whose write never ended is left, as a thread of its own would
    be."""

    current = None

    def __init__(self):
        self.idle, self.made = [], []

    def __enter__(self):
        Workers.current = self
        return self

    def __exit__(self, *exc):
        Workers.current = None
        for worker in self.made:
            worker.jobs.put(None)
        for worker in self.made:
            worker.join(WAIT)

    def take(self):
        if self.idle:
            return self.idle.pop()
        worker = threading.Thread(target=self._serve, daemon=True, name="pairs-worker")
        worker.jobs = queue.SimpleQueue()
        worker.start()
        self.made.append(worker)
        return worker

    @staticmethod
    def _serve():
        jobs = threading.current_thread().jobs
        for job in iter(jobs.get, None):
            job()


class Runner:
    """One write of a trial on a thread of its own, or on one of the sweep's
    workers."""

    def __init__(self, world, write, act, gate=None):
        self.world, self.write, self.act, self.gate = world, write, act, gate
        self.ended = threading.Event()
        self.worker = self.thread = None

    def start(self):
        workers = Workers.current
        if workers is None:
            self.thread = threading.Thread(target=self.run, daemon=True,
                                           name=f"pairs-{self.act.label}")
            self.thread.start()
        else:
            self.worker = workers.take()
            self.worker.jobs.put(self.run)

    @property
    def started(self):
        return self.thread is not None or self.worker is not None

    def join(self, timeout):
        self.ended.wait(timeout)
        if self.thread is not None and self.ended.is_set():
            self.thread.join()

    def is_alive(self):
        return self.started and not self.ended.is_set()

    def give_back(self):
        """Its worker is free again once its write ended."""
        if self.worker is not None and self.ended.is_set() and Workers.current is not None:
            Workers.current.idle.append(self.worker)

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
            self.ended.set()


# How much of a trial its account shows: calls per write, characters per value.
SHOWN_CALLS = 40
SHOWN_TEXT = 120


def short(value):
    text_ = str(value)
    return text_ if len(text_) <= SHOWN_TEXT else text_[:SHOWN_TEXT] + "..."


class Trial:
    """One concurrent run of write x paused at `p` while y runs (paused in
    turn at `q`, two levels deep, and then, with `z`, while a third write z
    runs to its end), or, with `p` None, of the writes released together.
    Then x resumes and ends, then y. `outcome` stays None when a write never
    reached its pause point; `hung` says which write did not finish while
    another was paused."""

    def __init__(self, shape, x, y, p=None, q=None, z=None):
        self.shape, self.x, self.y, self.z, self.p, self.q = shape, x, y, z, p, q
        self.names = (x, y) if z is None else (x, y, z)
        self.outcome, self.hung = None, []
        world = World(shape)
        self.name = Namer(world)
        plans = (p, q, None)[:len(self.names)]
        self.acts = tuple(Act(label, plan) for label, plan in zip("xyz", plans))
        gate = threading.Barrier(len(self.names)) if p is None else None
        runners = [Runner(world, WRITES[n], act, gate) for n, act in zip(self.names, self.acts)]
        try:
            if gate is not None:
                for t in runners:
                    t.start()
            elif self._interleave(runners):
                return
        finally:
            for act in self.acts:
                act.resume.set()
            for t in runners:
                if t.started:
                    t.join(WAIT)
                    t.give_back()
        if any(t.is_alive() for t in runners) or any(a.stuck for a in self.acts):
            self.hung.append("a write never finished")
        if not self.hung:
            self.outcome = outcome(world, {a.label: a.result for a in self.acts}, self.acts,
                                   self.name)
            for act, n in zip(self.acts, self.names):
                made = refused_hooks(act, WRITES[n])
                if made:
                    self.outcome[("hooks of a refused write", act.label)] = made

    def _interleave(self, runners):
        """Starts each write in turn, each pausing at its plan's point (the
        last runs to its end) while the next runs; then resumes the paused
        ones in order. True when the trial did not come about."""
        for t, act in zip(runners, self.acts):
            t.start()
            if not act.signal.wait(WAIT):
                self.hung.append(f"{act.label} waited for another write"
                                 if act.plan is None else f"{act.label} never paused nor finished")
            if self.hung or (act.plan is not None and act.done):
                return True                        # a write never reached its pause point
        for t, act in zip(runners, self.acts):
            if act.plan is None:
                continue
            act.resume.set()
            t.join(WAIT)
            if t.is_alive():
                self.hung.append(f"{act.label} waited for another write")
                return False
        return False

    @property
    def reached(self):
        return self.outcome is not None or bool(self.hung)

    def allowed(self):
        """The outcomes a sequential order gives; and some writes failing at
        once with the borrow error, having changed nothing, where they met
        another on a node (a claim it held, a sort in progress)."""
        return allowed_outcomes(self.shape, self.names)

    def failed(self):
        """Whether the trial came about and hung, or ended in an outcome no
        sequential order gives."""
        if self.hung:
            return True
        return self.outcome is not None and freeze(self.outcome) not in self.allowed()

    def account(self):
        """The trial in words: the writes, where they paused, the calls each
        made, and the parts of the outcome where the concurrent one and
        those of the sequential orders differ."""
        why = "; ".join(self.hung) or "no sequential order gives this outcome"
        writes = "  |  ".join(f"{a.label} = {n}" for a, n in zip(self.acts, self.names))
        lines = [f"[{self.shape.child} child, {self.shape.start}] {writes}  ({self.where()}): "
                 f"{why}"]
        for act in self.acts:
            calls = ", ".join(
                f"{self.name(n)}.{h}({'' if a is None or h == 'key' else self.name(a)})"
                for n, h, a, _ in act.calls[:SHOWN_CALLS])
            more = len(act.calls) - SHOWN_CALLS
            lines.append(f"    {act.label} calls: {calls or '(none)'}"
                         + (f", ... ({more} more)" if more > 0 else ""))
        if self.outcome is not None:
            outcomes = [("concurrent", self.outcome)] + list(self.allowed().values())
            lines.append("    where the outcomes differ: " + " | ".join(t for t, _ in outcomes))
            differ = sorted({k for _, o in outcomes for k in set(o) | set(self.outcome)
                             if o.get(k) != self.outcome.get(k)}, key=str)
            for key in differ:
                values = " | ".join(short(o.get(key, "-")) for _, o in outcomes)
                lines.append(f"      {key[0]} {key[1]}: {values}")
        return "\n".join(lines)

    def where(self):
        if self.p is None:
            return "released together"
        out = f"x paused {self.p[1]} its call {self.p[0]}"
        if self.q:
            out += f", y {self.q[1]} its call {self.q[0]}"
        return out + (", z ran" if self.z else "")
