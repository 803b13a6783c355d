import pytest

import vesk_core._native as native
from fresh import run_fresh
from vesk.formatting import MarkdownPolicy

POLICY = MarkdownPolicy(recording=False)

fmt = native.format


@pytest.fixture
def policy():
    # Installed once per process; inactive between tests.
    POLICY.install(native)
    POLICY.reset(recording=True)
    yield POLICY
    POLICY.reset()


class Formattable:
    __vesk_formattable__ = True

    def __init__(self, policy, fail=False):
        self.policy, self.fail = policy, fail

    def format(self, **kwargs):
        self.policy.record("format", dict(self.policy.markdown))
        if self.fail:
            raise LookupError("inner failure")
        return "F"


class Other:
    def __init__(self, policy):
        self.policy = policy

    def __str__(self):
        self.policy.record("str", dict(self.policy.markdown))
        return "O"


ON = {"str": True, "repr": True}
OFF = {"str": False, "repr": False}
ENTER = [("active?",), ("make", "str", False), ("enter", "str"), ("make", "repr", False),
         ("enter", "repr")]
EXIT = [("exit", "repr", None), ("exit", "str", None)]


@pytest.mark.parametrize("make, call, text", [(Formattable, "format", "F"), (Other, "str", "O")])
def test_foreign_code_runs_with_markdown_suppressed(policy, make, call, text):
    policy.outer_active = True
    assert fmt(make(policy), markdown=True) == f"`{text}`"
    assert policy.events == ENTER + [(call, OFF)] + EXIT
    assert policy.markdown == ON


def test_only_foreign_code_consults_the_bridge(policy):
    fmt([1, "s", b"b", None, 2.5, (True,), {"k": [1]}])
    assert policy.events == []
    # Inactive outer markdown: asked each time, nothing entered.
    assert fmt([Formattable(policy), Other(policy)]) == "[F, O]"
    assert policy.events == [("active?",), ("format", ON), ("active?",), ("str", ON)]


def test_scopes_are_exited_when_the_foreign_code_or_an_exit_fails(policy):
    policy.outer_active = True
    policy.failing = {("exit", "str"), ("exit", "repr")}  # exit errors are ignored
    assert fmt(Other(policy)) == "O"
    assert policy.events[-2:] == EXIT
    with pytest.raises(LookupError):
        fmt(Formattable(policy, fail=True))
    assert policy.events[-2:] == EXIT and policy.markdown == ON


@pytest.mark.parametrize(
    "failing, exited",
    [
        (("active", None), []),
        (("enter", "str"), []),
        # The str scope is left, with the failure, before the failure propagates.
        (("make", "repr"), ["str"]),
        (("enter", "repr"), ["str"]),
    ],
)
def test_a_failure_while_entering_propagates_and_leaves_what_was_entered(policy, failing, exited):
    policy.outer_active = True
    policy.failing.add(failing)
    with pytest.raises(RuntimeError, match=f"cannot {failing[0]}"):
        fmt(Formattable(policy))
    exits = [e for e in policy.events if e[0] == "exit"]
    assert [e[1] for e in exits] == exited and all(e[2] is RuntimeError for e in exits)
    assert not any(e[0] == "format" for e in policy.events)
    assert policy.markdown == ON


def test_not_installed_and_first_install_wins():
    run_fresh(
        """
        import vesk_core._native as native
        from vesk.formatting import MarkdownPolicy

        class F:
            __vesk_formattable__ = True
            def format(self, **kw):
                return "F"

        # Without a bridge nothing is consulted.
        assert native.format([F(), object()], strip_object_id=True) == "[F, object(...)]"

        first, second = MarkdownPolicy(), MarkdownPolicy()
        first.outer_active = second.outer_active = True
        assert native._install_formatting_bridge(
            first.str_format, first.repr_format, first.outer_markdown_active) is None
        second.install(native)
        assert native.format(F()) == "F"
        assert first.events[0] == ("active?",) and len(first.events) == 7
        assert second.events == []

        # A module executed again keeps native callers on the first module's
        # functions, which keep that module alive.
        import gc, importlib, sys, weakref
        first_module = weakref.ref(native)
        del sys.modules["vesk_core._native"], native
        again = importlib.import_module("vesk_core._native")
        gc.collect()
        assert first_module() is not None and first_module() is not again
        assert again.kvlist_str([("k", [F()], None)], label="L") == "L(k=[F])"
        """
    )
