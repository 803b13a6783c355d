"""Stand-in for the package's markdown policy: the three callables that
`_install_formatting_bridge` takes.

The package quotes its outermost text in markdown; while the native `format`
calls foreign formatting code it switches quoting off through these scopes.
This stand-in keeps the state in one object and records every call, so tests
can check what was called, in which order, and that the state is restored.
"""

import threading


class Scope:
    """What `str_format(markdown=...)` / `repr_format(markdown=...)` return."""

    def __init__(self, policy, which, markdown):
        self.policy = policy
        self.which = which
        self.markdown = markdown
        self.saved = None

    def __enter__(self):
        self.policy.record("enter", self.which)
        if self.which in self.policy.fail_enter:
            raise RuntimeError(f"cannot enter {self.which}")
        self.saved = self.policy.markdown[self.which]
        self.policy.markdown[self.which] = self.markdown
        return self

    def __exit__(self, exc_type, exc, tb):
        self.policy.record("exit", self.which, exc_type)
        self.policy.markdown[self.which] = self.saved
        if self.which in self.policy.fail_exit:
            raise RuntimeError(f"cannot exit {self.which}")
        return False


class MarkdownPolicy:
    def __init__(self, recording=True):
        self.lock = threading.Lock()
        self.reset(recording)

    def reset(self, recording=False):
        # Off outside the tests that watch it, so that a policy installed for
        # a whole session keeps no memory of other tests' calls.
        self.recording = recording
        self.outer_active = False
        self.markdown = {"str": True, "repr": True}
        self.events = []
        self.fail_enter = set()
        self.fail_exit = set()
        self.fail_factory = set()
        self.fail_active = False

    def record(self, *event):
        if not self.recording:
            return
        with self.lock:
            self.events.append(event)

    # The three bridge callables.
    def str_format(self, *, markdown):
        return self._factory("str", markdown)

    def repr_format(self, *, markdown):
        return self._factory("repr", markdown)

    def outer_markdown_active(self):
        self.record("active?")
        if self.fail_active:
            raise ValueError("policy unavailable")
        return self.outer_active

    def _factory(self, which, markdown):
        self.record("make", which, markdown)
        if which in self.fail_factory:
            raise RuntimeError(f"cannot make {which}")
        return Scope(self, which, markdown)

    def install(self, native):
        native._install_formatting_bridge(
            self.str_format, self.repr_format, self.outer_markdown_active
        )
