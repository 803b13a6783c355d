"""A field's compiled record is read without a lock or a hold of the field: a change
unpublishes it at once, and it is released only when no reader can still be using it."""

import gc
import os
import threading

import vesk_core._native as native
from fresh import run_fresh
from races import Pause, started
from vesk.typing.schema import KeySpec

Field, Int, Schema = native.Field, native.Int, native.Schema

RELEASED = []
HERE = os.path.dirname(os.path.abspath(__file__))


class Text(str):
    """A constant text whose release is seen: each read of the key makes a new one."""

    def __del__(self):
        RELEASED.append(str(self))


class Key(KeySpec):
    is_const = True

    def __init__(self, text):
        self.text = text

    @property
    def const_text(self):
        return Text(self.text)

    def match(self, key):
        return key == self.text

    def __eq__(self, other):
        return other == self.text or (isinstance(other, Key) and other.text == self.text)

    def __hash__(self):
        return hash(self.text)

    def __str__(self):
        return self.text


def test_a_record_in_use_by_another_thread_outlives_its_unpublishing():
    entered, go = threading.Event(), threading.Event()

    def wait(v):
        entered.set()
        assert go.wait(10)
        return v

    field = Field(Key("a"), Int().set_transform(wait))
    schema = Schema([field])
    field._field_meta_probe()  # published; its text is held by the record alone
    gc.collect()
    RELEASED.clear()
    out = []
    worker = threading.Thread(target=lambda: out.append(schema.apply({"a": 1})))
    worker.start()
    try:
        assert entered.wait(10)  # the worker holds the record while the transform runs
        field.set_validator(None)  # unpublished, but the worker may still read it
        assert RELEASED == []
        first = field._field_meta_probe()["token"]  # a new record is built and published
        assert RELEASED == []
    finally:
        go.set()
        worker.join(10)
    assert out == [{"a": 1}]
    field.set_validator(None)  # the next write frees what no reader can hold now
    assert RELEASED == ["a", "a"]
    assert field._field_meta_probe()["token"] != first


def test_a_record_built_from_a_field_changed_meanwhile_is_not_kept():
    # A record is built outside the field's hold; a change that lands during
    # the build leaves the builder its record but keeps it from the field.
    pause = Pause()

    class SlowKey(Key):
        @property
        def const_text(self):
            pause()
            return self.text

    old, new = Int(), Int(min_value=0)
    field = Field(SlowKey("a"), old)
    built = []
    pause.on = threading.Thread(target=lambda: built.append(field._field_meta_probe()))
    with started([pause.on], pause.go):
        assert pause.entered.wait(10)
        field._value = new  # lands at once: the build holds nothing
        pause.go.set()
    assert built[0]["value_spec"] is old  # what the builder read, before the change
    assert field._field_meta_probe()["value_spec"] is new


def test_every_change_is_read_by_the_next_apply_of_each_thread():
    # Readers never wait: each apply reads the record published last.
    field = Field("a", Int())
    schema = Schema([field])
    stop = threading.Event()
    bad = []

    def reader():
        while not stop.is_set():
            try:
                schema.apply({"a": 1})
            except ValueError as e:  # the validator set by the writer
                if "(path=a)" not in str(e):
                    bad.append(e)
            except RuntimeError as e:  # a read met the setter's exclusive hold
                if "Already mutably borrowed" not in str(e):
                    bad.append(e)
            except BaseException as e:  # noqa: BLE001 - reported by the test
                bad.append(e)
                raise

    def refuse(v):
        raise ValueError("refused")

    def change(validator):
        # A setter holds the field alone and never waits: while a reader is
        # taking its short shared hold the change is refused, and is made again.
        while True:
            try:
                return field.set_validator(validator)
            except RuntimeError as e:
                assert "Already borrowed" in str(e)

    threads = [threading.Thread(target=reader) for _ in range(4)]
    with started(threads, stop):
        for k in range(300):
            change(refuse if k % 2 else None)
        change(refuse)
        # once the change is made, every later apply on any thread sees it
        seen = []
        for _ in range(4):
            try:
                schema.apply({"a": 1})
            except ValueError:
                seen.append(True)
        stop.set()
    assert bad == [] and seen == [True] * 4


def test_a_forked_child_frees_what_the_threads_it_lost_were_reading():
    # The worker is inside an apply (reading the record) when the process
    # forks; in the child it no longer exists, so it cannot hold the record.
    run_fresh(
        """
        import os, sys, threading, warnings
        sys.path[:0] = %r
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        import vesk.typing
        import test_field_record_reads as t

        vesk.typing.install()

        entered, go = threading.Event(), threading.Event()

        def wait(v):
            entered.set()
            assert go.wait(30)
            return v

        field = t.Field(t.Key("a"), t.Int().set_transform(wait))
        schema = t.Schema([field])
        field._field_meta_probe()
        t.gc.collect()
        t.RELEASED.clear()
        worker = threading.Thread(target=lambda: schema.apply({"a": 1}))
        worker.start()
        assert entered.wait(30)
        pid = os.fork()
        if pid == 0:
            field.set_validator(None)
            field._field_meta_probe()
            field.set_validator(None)
            os._exit(0 if t.RELEASED == ["a", "a"] else 3)
        _, status = os.waitpid(pid, 0)
        go.set()
        worker.join(30)
        assert os.waitstatus_to_exitcode(status) == 0, t.RELEASED
        assert t.RELEASED == []  # the parent's worker was still reading
        """
        % [HERE, os.path.dirname(HERE), os.path.dirname(os.path.dirname(HERE))]
    )
