import pytest

import vesk_core._native as native
from fresh import run_fresh
from vesk.formatting import MarkdownPolicy

POLICY = MarkdownPolicy(recording=False)

fmt = native.format


@pytest.fixture(scope="session")
def installed_policy():
    # Installed once for the session; inactive unless a test switches it on,
    # so other tests observe the same texts as without a bridge.
    POLICY.reset()
    POLICY.install(native)
    return POLICY


@pytest.fixture
def policy(installed_policy):
    installed_policy.reset(recording=True)
    yield installed_policy
    installed_policy.reset()


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


OFF = {"str": False, "repr": False}
ENTER = [("active?",), ("make", "str", False), ("enter", "str"), ("make", "repr", False),
         ("enter", "repr")]
EXIT = [("exit", "repr", None), ("exit", "str", None)]


@pytest.mark.parametrize("make, call, text", [(Formattable, "format", "F"), (Other, "str", "O")])
def test_foreign_code_runs_with_markdown_suppressed(policy, make, call, text):
    policy.outer_active = True
    assert fmt(make(policy), markdown=True) == f"`{text}`"
    assert policy.events == ENTER + [(call, OFF)] + EXIT
    assert policy.markdown == {"str": True, "repr": True}


def test_inactive_outer_markdown_enters_nothing(policy):
    assert fmt([Formattable(policy), Other(policy)]) == "[F, O]"
    assert policy.events == [
        ("active?",),
        ("format", {"str": True, "repr": True}),
        ("active?",),
        ("str", {"str": True, "repr": True}),
    ]


def test_plain_values_never_consult_the_bridge(policy):
    policy.outer_active = True
    fmt([1, "s", b"b", None, 2.5, (True,), {"k": [1]}])
    assert policy.events == []


def test_scopes_are_exited_when_the_foreign_code_fails(policy):
    policy.outer_active = True
    with pytest.raises(LookupError):
        fmt(Formattable(policy, fail=True))
    assert policy.events[-2:] == EXIT
    assert policy.markdown == {"str": True, "repr": True}


@pytest.mark.parametrize("fail", ["factory", "enter"])
def test_failing_second_scope_leaves_the_first(policy, fail):
    policy.outer_active = True
    getattr(policy, f"fail_{fail}").add("repr")
    with pytest.raises(RuntimeError, match="repr"):
        fmt(Formattable(policy))
    # The str scope is exited with the failure, before it propagates.
    last = policy.events[-1]
    assert last[:2] == ("exit", "str") and last[2] is RuntimeError
    assert not any(e[0] == "format" for e in policy.events)
    assert policy.markdown == {"str": True, "repr": True}


@pytest.mark.parametrize(
    "setup, error",
    [
        (lambda p: p.fail_enter.add("str"), RuntimeError),
        (lambda p: p.fail_factory.add("str"), RuntimeError),
        (lambda p: setattr(p, "fail_active", True), ValueError),
    ],
)
def test_failures_before_any_scope_is_entered_propagate(policy, setup, error):
    policy.outer_active = True
    setup(policy)
    with pytest.raises(error):
        fmt(Other(policy))
    assert not any(e[0] in ("exit", "str") for e in policy.events)


def test_exit_errors_are_ignored(policy):
    policy.outer_active = True
    policy.fail_exit.update({"str", "repr"})
    assert fmt(Other(policy)) == "O"
    assert policy.events[-2:] == EXIT
    with pytest.raises(LookupError):
        fmt(Formattable(policy, fail=True))


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


def test_formatting_names_are_bound_in_order():
    names = native.__all__
    i = names.index("format")
    assert names[i : i + 3] == ["format", "kvlist_str", "_install_formatting_bridge"]
    assert names.index("_flag_scope_get") > i
    if "missing_value_singleton" in names:
        assert names[i - 1] == "missing_value_singleton"
