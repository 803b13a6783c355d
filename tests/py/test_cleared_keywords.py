"""Arguments a constructor took by keyword from a call's keyword dict stay
alive while it uses them, whatever Python code run meanwhile does to that
dict: here a member's hook (or the source's iteration) finds the dict
through the collector and clears it, which would free the spec, the root
path, the callback or an entry under the construction if they were only
borrowed. Each road runs in a fresh
interpreter, so a use of freed memory (caught on the debug build) ends that
process alone."""

import pytest

from fresh import run_fresh

PRELUDE = """
import gc
import vesk.symbolic, vesk.typing
import vesk_core._native as n
from vesk.symbolic.containers import Dict, List
from vesk_core import KeyPath
vesk.typing.install()
vesk.symbolic.install()

hooked = []

def clear_calls(*members):
    # Clears every dict that holds one of `members`, or a list holding one,
    # and names "root_path": the keyword dict of the call made with it.
    for member in members:
        for holder in [member] + [r for r in gc.get_referrers(member) if type(r) is list]:
            for r in gc.get_referrers(holder):
                if type(r) is dict and "root_path" in r:
                    r.clear()

class Evil:
    def clear_call(self, *_):
        hooked.append(self)
        clear_calls(self)
    topo_setpath = topo_setparent = clear_call

class Pairs:
    # A source whose reading clears the call's keyword dict.
    def __iter__(self):
        hooked.append(self)
        clear_calls(callback)
        return iter([("p", 1)])

def callback(*_):
    pass

def keywords(**more):
    # Made fresh, so that the call's dict holds the only reference to each.
    return {"root_path": KeyPath("r"), "onchange_callback": callback, **more}

def spec():
    return n.Dict([("a", n.Any())])

def check(made, member):
    assert hooked, "the hook never ran"
    assert made.topo_path == KeyPath("r") and made._onchange_callback is callback
    assert made._value_spec == (spec() if isinstance(made, dict) else n.List(n.Any()))
    assert member in (made.values() if isinstance(made, dict) else made)

# A value that reaches the constructor through a Python call is also held
# by that call's arguments: these make the keyword dict right at the call.
class Overriding(Dict):
    def __init__(self, member):
        super().__init__(**keywords(value_spec=spec(), a=member))

class Meta(type):
    def __call__(cls, member):
        return super().__call__(**keywords(value_spec=spec(), a=member))

class ByMeta(Dict, metaclass=Meta):
    pass
"""

ROADS = {
    "init called again": """
        made, e = Dict(), Evil()
        made.__init__(**keywords(value_spec=spec(), a=e))
        check(made, e)
    """,
    "super().__init__": """
        e = Evil()
        check(Overriding(e), e)
    """,
    "a metaclass __call__": """
        e = Evil()
        check(ByMeta(e), e)
    """,
    "first call of a new subclass": """
        e = Evil()
        check(type("Fresh", (Dict,), {})(**keywords(value_spec=spec(), a=e)), e)
    """,
    "extra keywords read after the source": """
        made = Dict()
        made.__init__(Pairs(), **keywords(x=KeyPath("x")))
        assert hooked and made._onchange_callback is callback
        assert made == {"p": 1, "x": KeyPath("x")} and made.topo_path == KeyPath("r")
    """,
    "a list's items": """
        made, e = List(), Evil()
        made.__init__(**keywords(items=[e], value_spec=n.List(n.Any())))
        check(made, e)
    """,
}


@pytest.mark.parametrize("road", ROADS)
def test_a_cleared_keyword_dict_frees_nothing_in_use(road):
    run_fresh(ROADS[road], prelude=PRELUDE)
