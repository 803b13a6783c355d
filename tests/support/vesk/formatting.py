"""Stand-in for the package's markdown policy: the three callables that
`_install_formatting_bridge` takes.

The package quotes its outermost text in markdown; while the native `format`
calls foreign formatting code it switches quoting off through these scopes.
The stand-in keeps the quoting state of `str` and `repr`, records every call
and fails on request, so tests can check what was called, in which order,
and that the state is restored.
"""

import threading


class Scope:
    """What `str_format(markdown=...)` / `repr_format(markdown=...)` return."""

    def __init__(self, policy, which, markdown):
        self.policy, self.which, self.markdown = policy, which, markdown

    def __enter__(self):
        self.policy.record("enter", self.which)
        self.policy.fail_if("enter", self.which)
        self.saved = self.policy.markdown[self.which]
        self.policy.markdown[self.which] = self.markdown

    def __exit__(self, exc_type, exc, tb):
        self.policy.record("exit", self.which, exc_type)
        self.policy.markdown[self.which] = self.saved
        self.policy.fail_if("exit", self.which)


class MarkdownPolicy:
    def __init__(self, recording=True):
        self.lock = threading.Lock()
        self.reset(recording)

    def reset(self, recording=False):
        # Off outside the tests that watch it, so that a policy installed for
        # a whole session keeps no memory of other tests' calls.
        self.recording, self.outer_active = recording, False
        self.markdown = {"str": True, "repr": True}
        self.events = []
        self.failing = set()  # (step, which): ("make", "repr"), ("active", None), ...

    def record(self, *event):
        if self.recording:
            with self.lock:
                self.events.append(event)

    def fail_if(self, step, which):
        if (step, which) in self.failing:
            raise RuntimeError(f"cannot {step} {which}")

    # The three bridge callables.
    def str_format(self, *, markdown):
        return self._make("str", markdown)

    def repr_format(self, *, markdown):
        return self._make("repr", markdown)

    def outer_markdown_active(self):
        self.record("active?")
        self.fail_if("active", None)
        return self.outer_active

    def _make(self, which, markdown):
        self.record("make", which, markdown)
        self.fail_if("make", which)
        return Scope(self, which, markdown)

    def install(self, native):
        native._install_formatting_bridge(
            self.str_format, self.repr_format, self.outer_markdown_active
        )
