"""Hostile inputs and one-call operations over the public surface of
`vesk_core._native`, shared by the quick suite test and the long-running
driver (tools/fuzz_surface.py). The symbolic object and record layer's cases
build on these in fuzz_object_cases.py, which this module never imports.

Every operation draws its arguments first and returns a description and a
thunk, so a driver can log the input before running it (a crash leaves the
log behind) or replay one call many times to watch reference counts. Python
exceptions are an acceptable outcome of any call; what must never happen is
a crash, a hang, a leak or a container left in a corrupt state.
"""

import copy
import gc
import itertools
import pickle
import sys
import threading

from hypothesis import strategies as st

import vesk_core._native as native

KeyPath = native.KeyPath
KeyPathSet = native.KeyPathSet


class Boom(Exception):
    pass


# --- shared state for mutating and re-entrant hooks --------------------------


class Ctx(threading.local):
    def __init__(self):
        self.victims = []  # containers the current call is working on
        self.depth = 0  # re-entry depth of hooks
        self.tick = itertools.count()


CTX = Ctx()


def mutate_victims():
    """Changes the containers the current call is processing, in a way that
    varies from call to call."""
    if CTX.depth > 2:
        return
    CTX.depth += 1
    try:
        for v in list(CTX.victims):
            n = next(CTX.tick)
            try:
                _mutate(v, n)
            except Exception:
                pass
    finally:
        CTX.depth -= 1


def _mutate(v, n):
    kind = n % 5
    if isinstance(v, KeyPathSet):
        [lambda: v.add(f"m{n}.x", include_intermediate=True), v.clear,
         lambda: v.rebase(f"r{n}"), lambda: v.remove("a"),
         lambda: v._trie.__setitem__(f"z{n}", {"$": True, "q": {}})][kind]()
    elif isinstance(v, dict):
        [v.clear, lambda: v.update({f"k{n}": n, n: [n]}), lambda: v.popitem(),
         lambda: v.__setitem__(f"k{n}", Evil("mutate", {"__del__"})),
         lambda: [v.pop(k) for k in list(v)[:1]] and v.__setitem__(object(), 1)][kind]()
    elif isinstance(v, list):
        [v.clear, lambda: v.append(n), v.pop, lambda: v.__setitem__(slice(None), [n] * 3),
         lambda: v.extend(range(50))][kind]()
    elif isinstance(v, set):
        [v.clear, lambda: v.add(n), v.pop, lambda: v.update(range(40)), v.clear][kind]()


def reenter():
    """Calls back into the module on the containers being processed."""
    if CTX.depth > 2:
        return
    CTX.depth += 1
    try:
        for v in list(CTX.victims):
            n = next(CTX.tick)
            try:
                if isinstance(v, KeyPathSet):
                    [lambda: list(v), lambda: str(v), lambda: v.copy(), lambda: v.update(v),
                     lambda: v.intersection_update(v.copy())][n % 5]()
                else:
                    native.format(v, compact=bool(n % 2))
            except Exception:
                pass
    finally:
        CTX.depth -= 1


WRONG = [None, -1, 2**70, 1.5, "text", b"bytes", object(), [], (), {}, NotImplemented]


class Evil:
    """An object whose dunders named in `bad` misbehave as `how` says:
    raise, return a wrong type, mutate the containers being processed, call
    back into the module, or run the garbage collector."""

    def __init__(self, how, bad, tag=0):
        self.how, self.bad, self.tag = how, frozenset(bad), tag

    def _act(self, name, normal):
        if name in self.bad:
            how = self.how
            if how == "raise":
                raise Boom(name)
            if how == "wrong":
                return WRONG[(self.tag + len(name)) % len(WRONG)]
            if how == "mutate":
                mutate_victims()
            elif how == "reenter":
                reenter()
            elif how == "gc":
                gc.collect()
        return normal()

    def __eq__(self, other):
        return self._act("__eq__", lambda: self is other)

    def __ne__(self, other):
        return self._act("__ne__", lambda: self is not other)

    def __lt__(self, other):
        return self._act("__lt__", lambda: NotImplemented)

    def __hash__(self):
        return self._act("__hash__", lambda: 17 + self.tag)

    def __str__(self):
        return self._act("__str__", lambda: f"evil{self.tag}")

    def __repr__(self):
        return self._act("__repr__", lambda: f"Evil{self.tag}")

    def __index__(self):
        return self._act("__index__", lambda: self.tag)

    def __int__(self):
        return self._act("__int__", lambda: self.tag)

    def __bool__(self):
        return self._act("__bool__", lambda: bool(self.tag % 2))

    def __len__(self):
        return self._act("__len__", lambda: 2)

    def __iter__(self):
        return self._act("__iter__", lambda: iter(["a", 1, self]))

    def __getitem__(self, i):
        return self._act("__getitem__", lambda: _seq_item(self, i))

    def __contains__(self, item):
        return self._act("__contains__", lambda: item == "a")

    def __deepcopy__(self, memo):
        return self._act("__deepcopy__", lambda: Evil(self.how, self.bad, self.tag))

    def __call__(self, *args, **kwargs):
        return self._act("__call__", lambda: None if self.tag % 2 else f"c{self.tag}")

    def __enter__(self):
        return self._act("__enter__", lambda: self)

    def __exit__(self, *exc):
        return self._act("__exit__", lambda: None)

    def format(self, **kwargs):
        return self._act("format", lambda: f"F{self.tag}")

    def sym_hasattr(self, key):
        return self._act("sym_hasattr", lambda: key == "a")

    def sym_getattr(self, key):
        return self._act("sym_getattr", lambda: self)

    sym_inferred = sym_getattr

    def __del__(self):
        if "__del__" in getattr(self, "bad", ()):
            try:
                self._act("__del__", lambda: None)
            except Exception:
                pass


def _seq_item(obj, i):
    if isinstance(i, int) and not isinstance(i, bool) and -3 < i < 3:
        return ["a", 1, obj][i]
    raise IndexError(i)


class Formattable(Evil):
    __vesk_formattable__ = True


class BadFormattable:
    """A class whose formattable marker itself misbehaves."""

    @property
    def __vesk_formattable__(self):
        raise Boom("marker")


class StrSub(str):
    def __hash__(self):
        mutate_victims()
        return str.__hash__(self)

    def __eq__(self, other):
        mutate_victims()
        return str.__eq__(self, other)

    def __str__(self):
        reenter()
        return "strsub"

    __repr__ = __str__


class IntSub(int):
    def __index__(self):
        mutate_victims()
        return 3

    def __repr__(self):
        raise Boom("intsub repr")

    def __hash__(self):
        mutate_victims()
        return int.__hash__(self)


class ListSub(list):
    def __iter__(self):
        mutate_victims()
        return list.__iter__(self)

    def __len__(self):
        return 10**6

    def __getitem__(self, i):
        mutate_victims()
        return list.__getitem__(self, i % max(1, list.__len__(self)))


class TupleSub(tuple):
    def __iter__(self):
        reenter()
        return iter(list(tuple.__iter__(self))[::-1])

    def __getitem__(self, i):
        raise Boom("tuple item")

    def __len__(self):
        return -1 if tuple.__len__(self) else 0


class DictSub(dict):
    def __iter__(self):
        mutate_victims()
        return dict.__iter__(self)

    def keys(self):
        raise Boom("keys")

    def items(self):
        mutate_victims()
        return dict.items(self)

    def __getitem__(self, k):
        mutate_victims()
        return dict.__getitem__(self, k)

    def __contains__(self, k):
        mutate_victims()
        return dict.__contains__(self, k)


class SetSub(set):
    def __contains__(self, k):
        mutate_victims()
        return set.__contains__(self, k)

    def __bool__(self):
        mutate_victims()
        return True

    def __iter__(self):
        raise Boom("set iter")


# --- value strategies ----------------------------------------------------------

HOWS = ["raise", "wrong", "mutate", "reenter", "gc", "ok"]
DUNDERS = ["__eq__", "__ne__", "__lt__", "__hash__", "__str__", "__repr__", "__index__",
           "__int__", "__bool__", "__len__", "__iter__", "__getitem__", "__contains__",
           "__deepcopy__", "__call__", "__enter__", "__exit__", "format", "sym_hasattr",
           "sym_getattr", "__del__"]

texts = st.one_of(
    st.text(max_size=8),
    st.sampled_from(["", "a", "a.b", "a[0]", "[1]", "$", "a.$", "a.b.c[2].d", "x[", "[",
                     "]", "a..b", "\ud800", "a\x00b", "é.ü", "[a]", "a[-1]", "a[99999999999999999999]",
                     "..", ".", "a.", "[[0]]", "a.b[", "'a'", "\udcff.x"]),
)
BIG_INTS = [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 10**30, -(10**30), 10**5000]
ints = st.one_of(
    st.integers(-5, 5),
    st.integers(0, 7).map(lambda i: BIG_INTS[i]),
)
evils = st.builds(
    lambda how, bad, tag, formattable: (Formattable if formattable else Evil)(how, bad, tag),
    st.sampled_from(HOWS), st.sets(st.sampled_from(DUNDERS), min_size=1, max_size=4),
    st.integers(0, 20), st.booleans(),
)
scalars = st.one_of(
    ints, texts, st.booleans(), st.none(), st.floats(allow_nan=True),
    st.binary(max_size=6), evils, st.builds(StrSub, texts), st.builds(IntSub, ints),
    st.just(BadFormattable()), st.just(native.missing_value_singleton),
    st.builds(native.MissingValue), st.just(Evil("ok", {"x"}).format),
    st.just(object()), st.just(...), st.just(1j),
)


def safe_dict(pairs):
    """A dict of the pairs whose keys hash and compare (hostile keys may not)."""
    d = {}
    for k, v in pairs:
        try:
            d[k] = v
        except Exception:
            pass
    return d


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.lists(st.tuples(st.one_of(texts, ints, evils), children), max_size=4).map(safe_dict),
        st.lists(children, max_size=4).map(ListSub),
        st.lists(children, max_size=4).map(TupleSub),
        st.dictionaries(texts, children, max_size=4).map(DictSub),
        st.lists(st.one_of(texts, ints), max_size=4).map(set),
        st.lists(children, max_size=4).map(lambda xs: KeyPath(xs)),
    )


values = st.recursive(scalars, _containers, max_leaves=12)


def _key_path(keys):
    try:
        return KeyPath(keys)
    except Exception:
        return KeyPath()


key_paths = st.one_of(
    st.lists(st.one_of(texts, ints, evils, st.booleans(), st.just((1, 2)), st.builds(StrSub, texts),
                       st.builds(IntSub, ints)), max_size=4).map(_key_path),
    texts.map(lambda t: _parse(t)),
)


def _parse(t):
    try:
        return KeyPath.parse(t)
    except Exception:
        return KeyPath([t])


path_likes = st.one_of(key_paths, texts, ints, evils, st.builds(StrSub, texts),
                       st.builds(IntSub, ints), st.none(), st.floats(), st.booleans())


def _self_ref(kind):
    if kind == 0:
        v = [1]
        v.append(v)
    elif kind == 1:
        v = {"a": 1}
        v["self"] = v
    elif kind == 2:
        inner = []
        v = (inner,)
        inner.append(v)
    else:
        v = ListSub([1])
        v.append({"x": v})
    return v


def _deep(kind, depth):
    v = "leaf"
    for _ in range(depth):
        v = [v] if kind == 0 else {"k": v} if kind == 1 else (v,)
    return v


rich_values = st.one_of(
    values,
    st.integers(0, 3).map(_self_ref),
    st.builds(_deep, st.integers(0, 2), st.sampled_from([50, 400, 20000])),
)


def _trie_node(children):
    return st.lists(st.tuples(st.one_of(texts, ints, evils, st.builds(StrSub, texts)),
                              st.one_of(children, st.just(True), values)), max_size=3).map(safe_dict)


raw_tries = st.recursive(st.just({"$": True}), _trie_node, max_leaves=8)


def _kps(paths, intermediate, trie, mode):
    try:
        s = KeyPathSet(paths, include_intermediate=intermediate)
    except Exception:
        s = KeyPathSet()
    if mode == 1:
        s._trie.update(trie)  # foreign shapes, foreign keys
    elif mode == 2:
        s._trie["loop"] = s._trie
    return s


key_path_sets = st.builds(
    _kps, st.lists(st.one_of(key_paths, texts, ints), max_size=5), st.booleans(), raw_tries,
    st.sampled_from([0, 0, 0, 1, 2]),
)

any_args = st.one_of(values, path_likes, key_path_sets, st.builds(SetSub, st.lists(texts, max_size=3)))

# --- formatting keywords --------------------------------------------------------

FORMAT_OPTIONS = {
    "compact": st.one_of(st.booleans(), st.none(), evils),
    "verbose": st.one_of(st.booleans(), st.none(), evils),
    "root_indent": st.one_of(ints, st.none(), evils, st.floats(), texts),
    "list_wrap_threshold": st.one_of(ints, st.none(), evils, st.floats()),
    "strip_object_id": st.one_of(st.booleans(), st.none(), evils),
    "include_keys": st.one_of(st.none(), st.sets(texts, max_size=3), evils,
                              st.builds(SetSub, st.lists(texts, max_size=3)), st.lists(texts)),
    "exclude_keys": st.one_of(st.none(), st.sets(texts, max_size=3), evils,
                              st.builds(SetSub, st.lists(texts, max_size=3)), texts),
    "markdown": st.one_of(st.booleans(), st.none(), evils),
    "max_str_len": st.one_of(ints, st.none(), evils, st.floats()),
    "max_bytes_len": st.one_of(ints, st.none(), evils),
    "custom_format": st.one_of(st.none(), evils, st.just(lambda v, ri: None),
                               st.just(lambda v, ri: native.format(v) if ri == 1 else None),
                               st.just(lambda v, ri: mutate_victims()),
                               st.just(lambda v, ri: reenter() or Evil("raise", {"__str__"}))),
    "memo": st.one_of(st.none(), st.builds(set), st.builds(SetSub), evils, st.just({1, 2})),
    "extra": st.one_of(ints, evils, texts),
}

KVLIST_OPTIONS = {
    "compact": FORMAT_OPTIONS["compact"],
    "verbose": FORMAT_OPTIONS["verbose"],
    "root_indent": FORMAT_OPTIONS["root_indent"],
    "label": st.one_of(st.none(), texts, evils, st.builds(StrSub, texts)),
    "bracket_type": st.one_of(ints, st.floats(), evils, st.builds(IntSub, ints), st.none()),
    "custom_format": FORMAT_OPTIONS["custom_format"],
    "memo": FORMAT_OPTIONS["memo"],
    "extra": FORMAT_OPTIONS["extra"],
}


def draw_kwargs(data, options):
    names = data.draw(st.lists(st.sampled_from(sorted(options)), unique=True, max_size=5))
    return {n: data.draw(options[n]) for n in names}


kv_items = st.one_of(
    st.tuples(st.one_of(texts, st.none(), evils, st.builds(StrSub, texts)), values,
              st.one_of(values, st.tuples(values, values))),
    st.lists(values, max_size=4).map(tuple),
    evils, st.lists(values, max_size=4),
)

# --- safe description of inputs (never runs hostile dunders) -----------------------


def describe(v, depth=0, seen=None):
    try:
        return _describe(v, depth, seen)
    except Exception as e:
        return f"<{type(v).__name__}: {type(e).__name__}>"


def _describe(v, depth=0, seen=None):
    seen = set() if seen is None else seen
    if id(v) in seen:
        return "<cycle>"
    if depth > 6:
        return "..."
    t = type(v)
    if isinstance(v, Evil):
        return f"{t.__name__}({v.how!r}, {sorted(v.bad)}, {v.tag})"
    if t in (int, float, bool, type(None), complex, bytes) or t is str:
        r = repr(v) if not (t is int and abs(v) > 10**50) else f"<int {v.bit_length()} bits>"
        return r
    if isinstance(v, str):
        return f"{t.__name__}({str.__repr__(v)})"
    if isinstance(v, int):
        return f"{t.__name__}({int(v) if abs(v) < 10**50 else '<big>'})"
    if t is KeyPath:
        return f"KeyPath({describe(v.keys, depth + 1, seen)})"
    if t is KeyPathSet:
        seen.add(id(v))
        return f"KeyPathSet(trie={describe(v._trie, depth + 1, seen)})"
    if isinstance(v, (list, tuple, set)):
        seen.add(id(v))
        items = list(list.__iter__(v) if isinstance(v, list) else
                     tuple.__iter__(v) if isinstance(v, tuple) else set.__iter__(v))
        body = ", ".join(describe(x, depth + 1, seen) for x in items[:8])
        return f"{t.__name__}[{body}{', ...' if len(items) > 8 else ''}]"
    if isinstance(v, dict):
        seen.add(id(v))
        items = list(dict.items(v))
        body = ", ".join(f"{describe(k, depth + 1, seen)}: {describe(x, depth + 1, seen)}"
                         for k, x in items[:8])
        return f"{t.__name__}{{{body}}}"
    return f"<{t.__name__}>"


# --- operations -------------------------------------------------------------------


def _call(fn, *args, **kwargs):
    return fn(*args, **kwargs)


def op_format(data):
    value = data.draw(rich_values)
    kw = draw_kwargs(data, FORMAT_OPTIONS)
    victims = [value] if isinstance(value, (list, dict)) else []
    return victims, "format", value, kw, lambda: native.format(value, **kw)


def op_format_positional(data):
    value = data.draw(values)
    args = data.draw(st.lists(st.one_of(ints, st.booleans(), st.none(), evils), max_size=11))
    return [], "format*", value, args, lambda: native.format(value, *args)


def op_kvlist(data):
    items = data.draw(st.one_of(st.lists(kv_items, max_size=4), st.lists(kv_items, max_size=3).map(tuple),
                                evils, st.lists(kv_items, max_size=3).map(ListSub)))
    kw = draw_kwargs(data, KVLIST_OPTIONS)
    victims = [items] if isinstance(items, list) else []
    return victims, "kvlist_str", items, kw, lambda: native.kvlist_str(items, **kw)


def op_key_path_make(data):
    which = data.draw(st.integers(0, 6))
    a = data.draw(st.one_of(any_args, st.lists(any_args, max_size=4),
                            st.lists(any_args, max_size=4).map(ListSub)))
    b = data.draw(st.one_of(st.none(), key_paths, any_args))
    fns = [lambda: KeyPath(a, b), lambda: KeyPath(a), lambda: KeyPath.parse(a, b),
           lambda: KeyPath.from_value(a), lambda: KeyPath.__vk_accept__(a),
           lambda: KeyPath.from_json(a, extra=b), lambda: KeyPath(key_or_key_list=a, parent=b)]
    victims = [a] if isinstance(a, (list, dict)) else []
    return victims, f"KeyPath-make#{which}", a, b, fns[which]


def op_key_path_use(data):
    p = data.draw(key_paths)
    which = data.draw(st.integers(0, 24))
    x = data.draw(st.one_of(any_args, key_paths, rich_values))
    y = data.draw(st.one_of(st.booleans(), any_args))
    fns = [
        lambda: p.query(x), lambda: p.query(x, use_inferred=y), lambda: p.get(x, y),
        lambda: p.exists(x), lambda: p + x, lambda: p - x, lambda: p == x, lambda: p < x,
        lambda: p >= x, lambda: hash(p), lambda: p.is_relative_to(x), lambda: p.path_str(x),
        lambda: copy.deepcopy(p, {} if y is True else x), lambda: pickle.loads(pickle.dumps(p)),
        lambda: KeyPath.from_json(p.to_json(extra=x)), lambda: (p.keys, p.key),
        lambda: (p.parent, p.depth, p.is_root, len(p), bool(p)), lambda: p.format(x, k=y),
        lambda: native.format(p, markdown=y), lambda: x + p, lambda: x - p,
        lambda: sorted([p, x, KeyPath("a")]), lambda: p.get(x, default_value=y, use_inferred=x),
        lambda: str(p) + repr(p), lambda: KeyPathSet([p, x]),
    ]
    victims = [x] if isinstance(x, (list, dict, KeyPathSet)) else []
    return victims, f"KeyPath-use#{which}", p, (x, y), fns[which]


def op_key_path_set(data):
    s = data.draw(key_path_sets)
    which = data.draw(st.integers(0, 30))
    x = data.draw(st.one_of(path_likes, any_args))
    o = data.draw(st.one_of(key_path_sets, st.just(s), any_args))
    f = data.draw(st.one_of(st.booleans(), any_args))
    fns = [
        lambda: s.add(x), lambda: s.add(x, include_intermediate=f), lambda: s.remove(x),
        lambda: s.has_prefix(x), lambda: s.rebase(x), lambda: s.clear(), lambda: s.copy(),
        lambda: copy.deepcopy(s), lambda: s.update(o), lambda: s.union(o, copy=f),
        lambda: s.difference_update(o), lambda: s.difference(o), lambda: s.intersection_update(o),
        lambda: s.intersection(o), lambda: s.subtree(x), lambda: s.format(x, compact=f),
        lambda: KeyPathSet.from_value(x, include_intermediate=f), lambda: x in s, lambda: list(s),
        lambda: bool(s), lambda: s == o, lambda: s != o, lambda: s + o, lambda: o + s,
        lambda: str(s) + repr(s), lambda: native.format(s, compact=f, custom_format=x),
        lambda: KeyPathSet(x, include_intermediate=f), lambda: KeyPath.from_value(x) + s,
        lambda: s.subtree(x).add(o), lambda: s < o, lambda: hash(s),
    ]
    victims = [s] + ([o] if isinstance(o, (KeyPathSet, list, dict)) and o is not s else [])
    return victims, f"KeyPathSet#{which}", s, (x, o, f), fns[which]


def op_missing(data):
    which = data.draw(st.integers(0, 8))
    x = data.draw(any_args)
    m = native.MissingValue()
    fns = [lambda: native.MissingValue(x), lambda: m.format(x, k=x), lambda: m.to_json(k=x),
           lambda: native.MissingValue.from_json(x, k=x), lambda: copy.deepcopy(m, x),
           lambda: pickle.loads(pickle.dumps(m)), lambda: (m == x, m != x, hash(m)),
           lambda: m < x, lambda: native.format([m, x])]
    return [], f"MissingValue#{which}", m, x, fns[which]


def op_flags(data):
    which = data.draw(st.integers(0, 3))
    fid = data.draw(st.one_of(st.integers(-2, 260), ints, evils, st.builds(IntSub, ints),
                              st.booleans(), st.none()))
    val = data.draw(st.one_of(st.booleans(), st.none(), evils, ints))
    fns = [lambda: native._flag_scope_get(fid, val), lambda: native._flag_scope_set(fid, val),
           lambda: native._flag_scope_has(fid), lambda: native._flag_scope_del(flag_id=fid)]
    return [], f"flags#{which}", fid, val, fns[which]


OPS = [op_format, op_format, op_format_positional, op_kvlist, op_key_path_make,
       op_key_path_use, op_key_path_use, op_key_path_set, op_key_path_set, op_key_path_set,
       op_missing, op_flags]


def draw_call(data, ops=OPS):
    """Draws one operation of `ops` (fuzz_object_cases.SURFACE_OPS adds the
    object layer's); returns (description, thunk)."""
    op = data.draw(st.sampled_from(ops))
    victims, name, a, b, fn = op(data)
    extra = data.draw(st.lists(st.one_of(st.lists(values, max_size=3),
                                         st.dictionaries(texts, values, max_size=3)), max_size=1))
    victims = victims + extra

    def thunk():
        CTX.victims = victims
        try:
            return fn()
        except (Exception, RecursionError):
            return None
        finally:
            CTX.victims = []

    return f"{name}: {describe(a)} | {describe(b)} | victims={describe(victims)}", thunk


# --- threads ---------------------------------------------------------------------


def hammer(seed, rounds=200):
    """Several threads mutating and reading one shared KeyPathSet and one shared
    dict that is being formatted."""
    s = KeyPathSet(["a.b", "c"])
    d = {i: [i] for i in range(20)}
    lst = list(range(30))
    barrier = threading.Barrier(5)

    def writer(tag):
        barrier.wait()
        for i in range(rounds):
            try:
                s.add(f"{tag}.{i % 5}.x", include_intermediate=bool(i % 2))
                s.remove(f"{tag}.{(i + 2) % 5}.x")
                if i % 17 == 0:
                    s.rebase(f"r{tag}")
                if i % 23 == 0:
                    s.clear()
                d[(tag, i % 7)] = i
                d.pop((tag, (i + 3) % 7), None)
                lst.append(i)
                del lst[: len(lst) // 2]
            except RuntimeError:
                pass

    def reader():
        barrier.wait()
        for i in range(rounds):
            try:
                list(s), s.copy(), s.intersection(s), str(s), "a.b" in s, s.subtree("a")
                s.union(s, copy=True), s == s.copy()
                native.format(d, compact=bool(i % 2))
                native.format(lst)
                native.kvlist_str([("a", d, None), ("b", lst, None)], label="L")
            except RuntimeError:
                pass

    threads = [threading.Thread(target=writer, args=(t,)) for t in "xy"]
    threads += [threading.Thread(target=reader) for _ in range(3)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    for p in s:  # every member a well-formed path
        assert isinstance(p, KeyPath)


# --- a hostile formatting bridge (once per process: fresh interpreters only) ------


class BridgeMode:
    how = "ok"
    bad = frozenset()


def install_hostile_bridge():
    def scope(markdown=None):
        return Evil(BridgeMode.how, BridgeMode.bad & {"__enter__", "__exit__"})

    def active():
        if "active" in BridgeMode.bad:
            mutate_victims()
            reenter()
        return Evil(BridgeMode.how, BridgeMode.bad & {"__bool__"}, tag=1)

    native._install_formatting_bridge(scope, scope, active)


def draw_bridge_mode(data):
    BridgeMode.how = data.draw(st.sampled_from(HOWS))
    BridgeMode.bad = frozenset(data.draw(st.sets(st.sampled_from(
        ["__enter__", "__exit__", "__bool__", "active"]), max_size=3)))
