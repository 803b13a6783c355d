"""The child of a fork holds only what its forking thread held: the holds of the
threads it lost are released there, so the child applies and changes the specs
and schemas those threads were using, while the forking thread's own holds
still count until it lets them go."""

from fresh import run_fresh

PRELUDE = """
import os, signal, sys, threading, traceback, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
import vesk.typing
import vesk_core._native as native
vesk.typing.install()
Dict, Field, Int, List, Schema, Str = (native.Dict, native.Field, native.Int, native.List,
                                       native.Schema, native.Str)


def child(body):
    # In the child: run `body`, then leave at once with its verdict; a child that
    # hangs is ended by the alarm, and counted as failed by its parent.
    signal.alarm(30)
    try:
        body()
    except BaseException:
        traceback.print_exc()
        os._exit(3)
    os._exit(0)


def verdict(pid):
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)
"""


def test_fifty_children_of_a_busy_process_apply_and_change_the_shared_specs():
    run_fresh(PRELUDE + """
element = Int(min_value=0)
field = Field("a", element)
schema = Schema([field, Field("b", Str())])
spec = List(Dict(schema))
data = [{"a": i, "b": "x"} for i in range(50)]
stop = threading.Event()
errors = []


def apply():
    # Each thread its own data: the specs and the schema are what is shared. (A
    # list that threads lock in turn may have its lock handed by the interpreter
    # to a waiter that sleeps through the fork, which no module can take back.)
    mine, want = [dict(d) for d in data], [dict(d) for d in data]
    while not stop.is_set():
        try:
            assert spec.apply(mine, inplace=False) == want
        except RuntimeError as e:  # met the mutator's hold
            if "borrowed" not in str(e) and "Cannot mutate" not in str(e):
                errors.append(e)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)
            return


def mutate():
    k = 0
    while not stop.is_set():
        k += 1
        try:
            element.set_default(k % 7)
            element.set_transform(None)
            schema._recompute_caches()
        except RuntimeError:  # met an apply's hold
            pass


def check_child():
    # From the forking thread and from a new one: apply, change, apply again.
    def work():
        assert spec.apply(data, inplace=False) == data
        element.set_default(99)
        element.set_transform(lambda v: v)
        schema._recompute_caches()
        assert spec.apply(data, inplace=False) == data
        element.set_transform(None)

    work()
    out = []
    t = threading.Thread(target=lambda: out.append(work()))
    t.start()
    t.join()
    assert out == [None]


failed = []


def forker():
    for _ in range(50):
        pid = os.fork()
        if pid == 0:
            child(check_child)
        code = verdict(pid)
        if code:
            failed.append(code)


threads = [threading.Thread(target=apply) for _ in range(8)] + [threading.Thread(target=mutate)]
for t in threads:
    t.start()
try:
    f = threading.Thread(target=forker)
    f.start()
    f.join()
finally:
    stop.set()
    for t in threads:
        t.join()
assert not errors, errors
assert not failed, failed
""")


def test_the_forking_threads_own_holds_still_count_in_the_child():
    # A transform forks while its spec's apply holds the spec: in the child the
    # apply still holds it, so a change is refused until the apply returns.
    run_fresh(PRELUDE + """
spec = Int()
state = {"child": False}


def fork_inside(v):
    pid = os.fork()
    if pid:
        state["pid"] = pid
        return v
    state["child"] = True
    signal.alarm(30)
    try:
        spec.set_default(1)
    except RuntimeError as e:
        if "Cannot mutate" not in str(e):
            os._exit(3)
    else:
        os._exit(4)  # a change during the spec's own apply was taken
    return v


spec.set_transform(fork_inside)
out = spec.apply(5)
if state["child"]:
    def after_apply():
        # the apply returned and let its hold go: the change is taken now
        assert out == 5
        spec.set_transform(None)
        assert spec.set_default(2) is spec and spec.apply(3) == 3
    child(after_apply)
assert out == 5 and verdict(state["pid"]) == 0
""")
