"""Set operations on one KeyPathSet made to interleave at chosen points.

Every key of a case is a `Key` whose `__hash__` and `__eq__` are the steps
of a schedule. Each operation runs on a worker thread of its own, one
operation at a time: a schedule says which operation runs next and for how
many steps before it pauses (or to its end), and `explore` tries every
schedule with at most two preemptions, replaying each prefix and pausing
the operations that ran on at each of their steps in turn.

An outcome is checked path by path: what the operations answered about a
path (a new set one made answers whether it holds the path), and whether
the path ends a member, must be what some sequential order of the
operations gives, an order that keeps an operation that ended before
another began ahead of it. A walk over several paths (update,
intersection, difference, clear) is not atomic as a whole, so each path may
see the operations in an order of its own; a walk that raised because the
node it iterated changed size may have done its part for any path or not.
The trie must also end whole: nodes are dicts, every marker is True, and no
node below the root is empty unless a walk raised; a new set, with no empty
node at all.
"""

import contextlib
import copy
import functools
import itertools
import os
import threading

import vesk_core._native as native
from races import started

KeyPath = native.KeyPath
KeyPathSet = native.KeyPathSet

# How long a step of a schedule may take before the trial counts as hung.
# The debug interpreter is several times slower than the others.
WAIT = float(os.environ.get("VESK_TRIE_SCHEDULES_WAIT", "10"))
WALK_RACES = ("dictionary changed size during iteration",
              "dictionary keys changed during iteration")

_local = threading.local()


class Closing(Exception):
    """Unwinds an operation left paused when the workers stop."""


def _step():
    worker = getattr(_local, "worker", None)
    if worker is not None and worker.active:
        worker.step()


class Key:
    """A trie key whose hash and equality are steps of the running schedule."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        _step()
        return hash(self.name)

    def __eq__(self, other):
        _step()
        return type(other) is Key and other.name == self.name

    def __repr__(self):
        return self.name

    def __deepcopy__(self, memo):
        return self


def path(text):
    """A path of new `Key` objects: every operation names its own keys, so a
    lookup meets an equal key rather than the same one, and compares. A name
    written 'b is the plain str "b": it hashes as Key("b") and equals it
    not, so a lookup of either in a node that holds both compares them."""
    return KeyPath([name[1:] if name.startswith("'") else Key(name)
                    for name in text.split(".")]) if text else KeyPath()


def text_of(key_path):
    return ".".join(key.name if isinstance(key, Key) else "'" + key
                    for key in key_path.keys)


class Worker:
    """A thread that runs one operation per trial, pausing at a step when
    its budget of steps runs out, until the controller resumes it."""

    def __init__(self):
        self.resume = threading.Semaphore(0)
        self.parked = threading.Semaphore(0)
        self.task = None
        self.closing = False
        self.active = False
        self.thread = threading.Thread(target=self._loop)

    def _loop(self):
        _local.worker = self
        while True:
            self.resume.acquire()
            if self.closing:
                return
            self.active = True
            self.outcome = outcome(self.task)
            self.active = False
            self.task = None
            self.parked.release()

    def step(self):
        if self.budget == 0:
            self.parked.release()
            self.resume.acquire()
            if self.closing:
                raise Closing
        if self.budget is not None:
            self.budget -= 1
        self.steps += 1

    def run(self, budget):
        """Runs on for `budget` steps (None: to the end); True once it ended."""
        self.budget, self.steps = budget, 0
        self.resume.release()
        if not self.parked.acquire(timeout=WAIT):
            raise TimeoutError("an operation neither paused nor ended")
        return self.task is None

    def close(self):
        self.closing = True
        self.resume.release()
        self.resume.release()


@contextlib.contextmanager
def pool(size=3):
    """Workers for a whole sweep, started through `started`."""
    workers = [Worker() for _ in range(size)]
    with started([w.thread for w in workers]):
        try:
            yield workers
        finally:
            for w in workers:
                w.close()


# --- operations ---------------------------------------------------------------

# Each operation: (name, argument) with the argument a path text, a tuple of
# path texts (the other set), a `Shared` (the set itself, or a set sharing
# its nodes), or None. `SINGLE` ones answer for one path.
SINGLE = {"add", "remove", "in"}
WALKS = {"update", "union_in_place", "intersection_update", "difference_update"}


class Shared:
    """The other set of a walk, read from the set it changes: the set itself
    (no prefix), or `subtree(prefix)` of it taken as the operation begins
    (an empty set where there is none), so that path p of it is `prefix.p`
    of the set."""

    def __init__(self, prefix=""):
        self.prefix = prefix

    def of(self, s, to_path):
        if not self.prefix:
            return s
        sub = s.subtree(to_path(self.prefix))
        return KeyPathSet() if sub is None else sub

    def source(self, p):
        """The path of the set that path `p` of this other set is."""
        return f"{self.prefix}.{p}" if self.prefix else p

    def image(self, q):
        """The path of this other set that path `q` of the set is, or None."""
        if not self.prefix:
            return q
        head = self.prefix + "."
        return q[len(head):] if q.startswith(head) else None

    def __repr__(self):
        return f"s.subtree({self.prefix})" if self.prefix else "s"


SELF = Shared()

# Operations that read the set into a new one and answer with it: for each
# path, whether the new set holds it, given whether the set did and the
# other set's paths. `update_into` is the update of a new set holding the
# other paths by the set.
COPIES = {
    "copy": (lambda s, other: s.copy(), lambda member, p, arg: member),
    "deepcopy": (lambda s, other: copy.deepcopy(s), lambda member, p, arg: member),
    "union": (lambda s, other: s.union(other, copy=True),
              lambda member, p, arg: member or p in arg),
    "+": (lambda s, other: s + other, lambda member, p, arg: member or p in arg),
    "difference": (lambda s, other: s.difference(other),
                   lambda member, p, arg: member and p not in arg),
    "intersection": (lambda s, other: s.intersection(other),
                     lambda member, p, arg: member and p in arg),
    "update_into": (lambda s, other: other.update(s) or other,
                    lambda member, p, arg: member or p in arg),
    # The copy a path's `+` puts under the path, read back from there.
    "under": (lambda s, other: (KeyPath("p") + s).subtree("p"), lambda member, p, arg: member),
}


def bind(op, s, to_path=path):
    """The call that makes `op` on `s`, its arguments built beforehand."""
    name, arg = op
    if name == "clear":
        return s.clear
    if name == "in":
        p = to_path(arg)
        return lambda: p in s
    if name in COPIES:
        given = None if arg is None else KeyPathSet([to_path(t) for t in arg])
        return functools.partial(COPIES[name][0], s, given)
    if isinstance(arg, Shared):
        if name == "union_in_place":
            return lambda: s.union(arg.of(s, to_path), copy=False)
        return lambda: getattr(s, name)(arg.of(s, to_path))
    given = to_path(arg) if name in SINGLE else KeyPathSet([to_path(t) for t in arg])
    if name == "union_in_place":
        return lambda: s.union(given, copy=False)
    return functools.partial(getattr(s, name), given)


def outcome(call):
    try:
        return ("returned", call())
    except Closing:
        return ("abandoned",)
    except Exception as e:
        return ("raised", type(e).__name__, str(e))


def faults_of(ops, outcomes):
    """The outcomes no order accounts for (an operation that raised, but for
    a walk that met a node changing size; a new set that is not whole), and
    the walks that did raise so."""
    faults, raised = [], set()
    for i, (op, o) in enumerate(zip(ops, outcomes)):
        if o[0] == "raised" and (op[0] in WALKS or op[0] in COPIES) and o[2] in WALK_RACES:
            raised.add(i)
        elif o[0] != "returned":
            faults.append(f"{label(op)} raised {o[1:]}")
        elif op[0] in COPIES:
            faults += [f"{label(op)} gave a set where {f}" for f in whole(o[1]._trie)]
    return faults, raised


def answer(op, got, p, to_path=None):
    """What `op`, which gave `got`, answered about path `p`: None where it
    answered nothing about it."""
    name, arg = op
    if got[0] != "returned":
        return None
    if name in COPIES:
        return (to_path or path)(p) in got[1]
    return got[1] if name in SINGLE and arg == p else None


def label(op):
    name, arg = op
    if arg is None:
        return f"{name}()"
    if isinstance(arg, tuple):
        return f"{name}({{{', '.join(arg)}}})"
    return f"{arg} in s" if name == "in" else f"{name}({arg})"


def effect(op, p, member, source=None):
    """What `op` does to path `p` when it runs with `p` a member or not: its
    answer (None where it answers for no path) and whether `p` is a member
    after it. `source`: whether the other set, where it is `Shared`, holds
    `p` (its path `arg.source(p)` of the set a member); the set itself holds
    it when `p` is a member."""
    name, arg = op
    if isinstance(arg, Shared):
        arg = {p} if (member if source is None else source) else ()
    if name in COPIES:
        return COPIES[name][1](member, p, arg or ()), member
    if name in SINGLE:
        if arg != p:
            return None, member
        if name == "add":
            return not member, True
        if name == "remove":
            return member, False
        return member, member
    if name == "clear":
        return None, False
    if name in ("update", "union_in_place"):
        return None, member or p in arg
    if name == "intersection_update":
        return None, member and p in arg
    return None, member and p not in arg           # difference_update


# --- trials -------------------------------------------------------------------

class Case:
    """Operations on a set that starts with `initial` (path texts).

    A walk whose other set is a subtree of the set reads path `prefix.p` of
    the set for path p: it reads it at some moment of its run, as a walk
    reads each node, so the read may fall anywhere in that path's own
    order; only where the other set is the set itself are the read and the
    store of a path one step of that path's order."""

    def __init__(self, initial, ops):
        self.initial = tuple(initial)
        self.ops = tuple(ops)
        paths = {*self.initial, *(p for op in ops for p in paths_of(op))}
        shared = [op[1] for op in ops if isinstance(op[1], Shared)]
        while True:
            grown = paths | {q for arg in shared for q in map(arg.image, paths) if q}
            if grown == paths:
                break
            paths = grown
        self.paths = sorted(paths)
        self._allowed = {}

    def __str__(self):
        ops = " | ".join(label(op) for op in self.ops)
        return f"{{{', '.join(self.initial)}}}: {ops}"

    def allowed(self, before, raised):
        """Per path, the (answers, member) pairs the sequential orders give.
        `before`: pairs (i, j), op i ended before op j began; `raised`: the
        walks that raised, each done for a path or not."""
        key = (before, raised)
        if key not in self._allowed:
            n = len(self.ops)
            orders = [o for o in itertools.permutations(range(n))
                      if all(o.index(i) < o.index(j) for i, j in before)]
            result, read = {}, {}
            # A path is read by a subtree walk for a shorter one: the longer
            # ones go first.
            for p in sorted(self.paths, key=lambda q: -q.count(".")):
                outcomes, read[p] = set(), [set() for _ in range(n)]
                for order in orders:
                    for skipped in subsets(raised):
                        for got in self._runs(p, order, skipped, raised, read):
                            outcomes.add(got[0])
                            for i, was in got[1].items():
                                read[p][i].add(was)
                result[p] = outcomes
            self._allowed[key] = result
        return self._allowed[key]

    def _runs(self, p, order, skipped, raised, read):
        """Each ((answers, member), {op: member before it}) that path `p`
        may take through `order`, but for the `skipped` operations, with
        each subtree walk reading its source as `read` says it may."""
        runs = [(p in self.initial, (), {})]
        for i in order:
            op, nxt = self.ops[i], []
            sources = [None]
            if isinstance(op[1], Shared) and op[1].prefix:
                q = op[1].source(p)
                sources = sorted(read[q][i]) if q in read else [False]
            for member, answers, was in runs:
                was = {**was, i: member}
                if i in skipped:
                    nxt.append((member, answers, was))
                    continue
                for source in sources:
                    answer, after = effect(op, p, member, source)
                    # An operation that raised answered nothing.
                    got = answers + ((i, answer),) if answer is not None and i not in raised \
                        else answers
                    nxt.append((after, got, was))
            runs = nxt
        return [((tuple(sorted(answers)), member), was) for member, answers, was in runs]


def paths_of(op):
    name, arg = op
    if arg is None or isinstance(arg, Shared):
        return ()
    return arg if isinstance(arg, tuple) else (arg,)


def subsets(items):
    items = sorted(items)
    return [set(c) for r in range(len(items) + 1) for c in itertools.combinations(items, r)]


class Trial:
    """One schedule of a case, run: `segments` lists (op, steps taken,
    budget, ended) in order; `outcomes` what each operation gave."""

    def __init__(self, case, schedule):
        self.case, self.schedule = case, schedule
        self.segments = []

    def run(self, workers):
        case = self.case
        s = KeyPathSet([path(p) for p in case.initial])
        n = len(case.ops)
        workers = workers[:n]
        for w, op in zip(workers, case.ops):
            w.task = bind(op, s)
        begun, ended = {}, {}
        plan = list(self.schedule)
        while len(ended) < n:
            if plan:
                i, budget = plan.pop(0)
                if i in ended:
                    continue
            else:
                i, budget = min(set(range(n)) - set(ended)), None
            begun.setdefault(i, len(self.segments))
            done = workers[i].run(budget)
            self.segments.append((i, workers[i].steps, budget, done))
            if done:
                ended[i] = len(self.segments) - 1
        self.outcomes = [w.outcome for w in workers]
        self.before = frozenset((i, j) for i in range(n) for j in range(n)
                                if i != j and ended[i] < begun[j])
        self._check(s)
        return self

    def _check(self, s):
        case = self.case
        self.faults, raised = faults_of(case.ops, self.outcomes)
        # A walk that raised keeps what it did (a node it emptied, too).
        self.faults += whole(s._trie, emptied=any(case.ops[i][0] in WALKS for i in raised))
        members = {text_of(p) for p in s}
        allowed = case.allowed(self.before, frozenset(raised))
        for p in case.paths:
            answers = ((i, answer(op, o, p)) for i, (op, o) in enumerate(zip(case.ops,
                                                                            self.outcomes)))
            seen = (tuple((i, a) for i, a in answers if a is not None), p in members)
            if seen not in allowed[p]:
                self.faults.append(f"{p}: answers {describe(case, seen[0])}, "
                                   f"{'a member' if seen[1] else 'not a member'} at the end")
        self.members = members

    def account(self):
        steps = ", ".join(f"{label(self.case.ops[i])} {k} step{'s' * (k != 1)}"
                          + ("" if b is None else ", paused")
                          for i, k, b, _ in self.segments)
        outcomes = "; ".join(f"{label(op)} -> {o[1] if o[0] == 'returned' else o[1:]}"
                             for op, o in zip(self.case.ops, self.outcomes))
        return (f"{self.case}\n  ran: {steps}\n  gave: {outcomes}; ends {sorted(self.members)}"
                f"\n  " + "\n  ".join(self.faults))


def describe(case, answers):
    return ", ".join(f"{label(case.ops[i])} {a}" for i, a in answers) or "nothing"


def whole(node, emptied=False, top=True):
    """What is wrong with the shape of the trie at `node`; `emptied`: empty
    nodes may be left."""
    faults = []
    if not isinstance(node, dict):
        return [f"a node is a {type(node).__name__}"]
    if not node and not top and not emptied:
        faults.append("an empty node is left in the trie")
    for key, value in node.items():
        if key == "$":
            if value is not True:
                faults.append(f"a marker holds {value!r}")
        else:
            faults += whole(value, emptied, top=False)
    return faults


def explore(case, workers, preemptions=2, pick=None):
    """Runs every schedule of `case` with at most `preemptions` switches away
    from an operation that could go on; `pick(schedule)` may leave some out
    (their extensions too). Yields each trial, run."""
    todo, seen = [()], set()
    while todo:
        schedule = todo.pop()
        if schedule in seen:
            continue
        seen.add(schedule)
        trial = Trial(case, schedule).run(workers)
        yield trial
        if sum(b is not None for _, b in schedule) >= preemptions:
            continue
        ended = set()
        for at, (i, steps, budget, done) in enumerate(trial.segments):
            resumed = any(seg[0] == i for seg in trial.segments[:at])
            if budget is None and at >= len(schedule) - 1:
                base = tuple((seg[0], seg[2]) for seg in trial.segments[:at])
                others = [j for j in range(len(case.ops)) if j != i and j not in ended]
                for k in range(1 if resumed else 0, steps):
                    for j in others:
                        nxt = base + ((i, k), (j, None))
                        if pick is None or pick(nxt):
                            todo.append(nxt)
            if done:
                ended.add(i)
