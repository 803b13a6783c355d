"""The text form of the scalar specs, `format`, and the repr messages quote, kept current."""

import sys
import threading

import pytest

import vesk_core._native as native
from races import Pause, started

Bool, Enum, Int, Str = native.Bool, native.Enum, native.Int, native.Str


def factory():
    return 1


@pytest.mark.parametrize("make, text", [
    (lambda: Str(regex="a+", is_noneable=True), "Str(regex='a+', noneable=True)"),
    (lambda: Bool(strict=False), "Bool(strict=False)"), (lambda: Bool(strict=None), "Bool()"),
    (lambda: Int(is_noneable=True, default=None), "Int(default=None, noneable=True)"),
    (lambda: Enum([1, 2], default=2), "Enum(default=2, values=[1, 2])")])
def test_the_text_form_shows_the_label_and_the_items_that_differ_from_their_defaults(make, text):
    spec = make()
    assert repr(spec) == text
    assert spec.format(compact=True) == text
    assert native.format(spec, compact=True) == text


def test_str_lays_the_items_out_one_per_line():
    spec = Int(min_value=0, max_value=5)
    assert str(spec) == "Int(\n  min=0,\n  max=5\n)"
    assert spec.format() == str(spec)
    assert spec.format(root_indent=1) == "Int(\n    min=0,\n    max=5\n  )"
    assert str(Bool()) == "Bool()"


def test_format_reads_only_an_integer_list_wrap_threshold():
    spec = Enum([1, 2, 3])
    plain = spec.format()
    assert plain == "Enum(\n  values=[1, 2, 3]\n)"
    wrapped = spec.format(list_wrap_threshold=1)
    assert wrapped == "Enum(\n  values=[\n    1,\n    2,\n    3\n  ]\n)"
    for ignored in ("1", 1.0, None, object(), 10**40):
        assert spec.format(list_wrap_threshold=ignored) == plain
    assert spec.format(other=1, list_wrap_threshold=True) == wrapped


@pytest.mark.parametrize("kwargs, name", [
    ({"compact": 1}, "compact"), ({"compact": None}, "compact"), ({"verbose": 0}, "verbose"),
    ({"root_indent": "1"}, "root_indent")])
def test_format_refuses_options_of_the_wrong_type_by_name(kwargs, name):
    with pytest.raises(TypeError, match=f"^argument '{name}'"):
        Int().format(**kwargs)


def none_message(spec):
    with pytest.raises(ValueError) as e:
        spec.apply(None)
    return str(e.value)


def test_messages_quote_the_spec_as_it_is_after_each_mutation():
    spec = Int()
    assert none_message(spec).endswith("ValueSpec=Int())")
    steps = [
        (lambda: spec.set_default(3), "Int(default=3)"),
        (lambda: spec.set_strict(True), "Int(default=3, strict=True)"),
        (lambda: spec.set_default_factory(factory), f"Int(default_factory={factory!r}, strict=True)"),
        (lambda: spec.set_strict(None), f"Int(default_factory={factory!r})"),
        (lambda: spec.set_default(4), "Int(default=4)"),
        (lambda: spec.set_transform(abs), "Int(default=4)"),
        (lambda: spec.freeze(), "Int(default=4, frozen=True)"),
    ]
    for mutate, text in steps:
        mutate()
        if spec.frozen:
            with pytest.raises(ValueError) as e:
                spec.apply(5)
            assert f"ValueSpec={text}," in str(e.value)
        else:
            assert none_message(spec) == f"Value cannot be None. (Path='', ValueSpec={text})"
        assert repr(spec) == text


class LoudInt(int):
    fail = True

    def __repr__(self):
        if LoudInt.fail:
            raise LookupError("no text")
        return "L3"


def test_a_failing_item_fails_the_message_and_caches_nothing():
    spec = Int(default=LoudInt(3))
    with pytest.raises(LookupError):
        repr(spec)
    with pytest.raises(LookupError):
        spec.apply(None)
    LoudInt.fail = False
    assert none_message(spec) == "Value cannot be None. (Path='', ValueSpec=Int(default=L3))"


def test_the_cached_text_is_never_stale_or_torn_under_concurrent_mutation():
    spec = Int(min_value=0)
    texts = {f"Value cannot be None. (Path='', ValueSpec=Int(default={d}, min=0))" for d in (1, 2)}
    texts.add("Value cannot be None. (Path='', ValueSpec=Int(min=0))")
    readers, rounds = 6, 300
    start, stop = threading.Barrier(readers + 1), threading.Event()
    # Each thread keeps its own logs; the writer alone knows what it set last.
    seen, failures = [[] for _ in range(readers)], [[] for _ in range(readers + 1)]
    last_set = []

    def read(i):
        start.wait()
        for _ in range(rounds):
            try:
                spec.apply(None)
            except ValueError as e:
                seen[i].append(str(e))
            except RuntimeError as e:
                # A read while a mutation holds the spec fails at once.
                if str(e) != "Already mutably borrowed":
                    failures[i].append(repr(e))

    def mutate():
        start.wait()
        n = 0
        # No hold waits, so readers that never let go can refuse every change
        # while they run: the writer goes on until one has landed, so the end
        # state is one the race made, whatever the machine's load.
        while not (stop.is_set() and last_set):
            n += 1
            try:
                spec.set_default(1 + n % 2)
            except RuntimeError as e:
                if not str(e).startswith("Cannot mutate this object while another operation"):
                    failures[readers].append(repr(e))
                    return
            except ValueError as e:
                failures[readers].append(repr(e))
                return
            else:
                last_set[:] = [1 + n % 2]

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=read, args=(i,)) for i in range(readers)]
        writer = threading.Thread(target=mutate)
        with started(threads + [writer], start, stop):
            for t in threads:
                t.join()
            stop.set()
    finally:
        sys.setswitchinterval(old)

    assert failures == [[]] * (readers + 1)
    assert all(s in texts for log in seen for s in log)
    # Whatever the interleaving, the text quoted now is that of the last change.
    assert spec.default == last_set[0]
    assert none_message(spec) == (
        f"Value cannot be None. (Path='', ValueSpec=Int(default={last_set[0]}, min=0))"
    )


REFUSED = "Cannot mutate this object while another operation holds it"


def test_a_mutation_meeting_a_message_being_formatted_is_refused_and_the_text_stays_true():
    pause = Pause()

    class Paused(int):
        def __repr__(self):
            pause()
            return "P3"

    spec = Int(default=Paused(3))
    quoted = []
    pause.on = threading.Thread(target=lambda: quoted.append(none_message(spec)))
    with started([pause.on], pause.go):
        assert pause.entered.wait(10)
        # The reader formats, and caches, under its hold: no change lands meanwhile.
        with pytest.raises(RuntimeError, match=REFUSED):
            spec.set_default(4)
        pause.go.set()
    assert quoted == ["Value cannot be None. (Path='', ValueSpec=Int(default=P3))"]
    assert type(spec.default) is Paused
    assert none_message(spec) == quoted[0]
    spec.set_default(4)
    assert none_message(spec) == "Value cannot be None. (Path='', ValueSpec=Int(default=4))"


def test_a_text_cached_while_a_change_is_computed_is_dropped_when_the_change_lands():
    pause = Pause()

    def transform(value):  # the new default, applied before it is stored
        pause()
        return value

    spec = Int(min_value=0).set_transform(transform)
    results = []
    pause.on = threading.Thread(target=lambda: results.append(spec.set_default(1)))
    with started([pause.on], pause.go):
        assert pause.entered.wait(10)
        assert none_message(spec) == "Value cannot be None. (Path='', ValueSpec=Int(min=0))"
        pause.go.set()
    assert results == [spec] and spec.default == 1
    assert none_message(spec) == "Value cannot be None. (Path='', ValueSpec=Int(default=1, min=0))"
