"""seterr, geterr and errstate: misuse raised as an exception instead of
ending the process, through every route, with nothing left behind."""

import asyncio
import concurrent.futures
import contextvars
import functools
import pickle
import threading

import numpy as np
import pytest

import halvorn
from conftest import ELEMENT_TYPES, FLOAT_TYPES, SANITIZED, assert_process_ends, run_python
from test_process_exit import (ALLOCATION, DOT_MISMATCHES, IMPOSSIBLE_SHAPES, MISMATCHED_SHAPES, SHAPE_TAKERS,
                               ZERO_DIVISOR, assert_ends, mismatch, routes)

FIT = "do not fit: it takes a vector and a matrix, a matrix and a vector, or two matrices, whose inner extents are equal"


def storage_message(shape):
    count = int(np.prod(shape, dtype=object))
    if count * 16 >= 2**64:
        return f"quorva: cannot allocate a tensor of shape {shape}: it needs more than {2**64 - 1} bytes"
    return f"quorva: cannot allocate {count * 16} bytes for a tensor of shape {shape}"


def misuse_cases():
    """(element type, calls as code on a and b, a, b, error, message) for every misuse and route."""
    for t in ELEMENT_TYPES:
        for operation in ["add", "sub", "mul", "div"]:
            for a_shape, b_shape in MISMATCHED_SHAPES.values():
                # The shape test comes first, whatever the divisors hold.
                yield (t, routes(operation, t).values(), a_shape, [0] * int(np.prod(b_shape)), b_shape, ValueError,
                       f"quorva {operation}(): shapes {a_shape} and {b_shape} do not match")
        for shape, position, index in [([2051], 0, [0]), ([2051], 1024, [1024]), ([2051], 2050, [2050]),
                                       ([3, 2], 3, [1, 1]), ([], 0, [])]:
            count = int(np.prod(shape))
            zero = -0.0 if t in FLOAT_TYPES else 0
            values = [1] * position + [zero] + [0] * (count - position - 1)
            yield (t, routes("div", t).values(), shape, values, shape, ZeroDivisionError,
                   f"quorva div(): cannot divide by zero: the divisor at index {index} is zero")
        for a_shape, b_shape in DOT_MISMATCHES.values():
            yield (t, [f"halvorn.quorva_dot_{t}(a, b)", "a @ b"], a_shape, [1] * int(np.prod(b_shape)), b_shape,
                   ValueError, f"quorva dot(): shapes {a_shape} and {b_shape} {FIT}")


@pytest.mark.parametrize("element_type, calls, a_shape, b_values, b_shape, error, message", list(misuse_cases()))
def test_misuse_raises_through_every_route_and_leaves_the_operands(element_type, calls, a_shape, b_values, b_shape,
                                                                    error, message):
    a = getattr(halvorn, f"quorva_full_{element_type}")(a_shape, 3)
    b = getattr(halvorn, f"quorva_array_{element_type}")(np.array(b_values, element_type).reshape(b_shape))
    before = a.to_list(), b.to_list()
    with halvorn.errstate(misuse="raise"):
        for call in calls:
            with pytest.raises(error) as caught:
                eval(call, {"a": a, "b": b, "halvorn": halvorn})
            assert str(caught.value) == message
        assert (a.to_list(), b.to_list()) == before
        assert (a - a).to_list() == getattr(halvorn, f"quorva_zeros_{element_type}")(a_shape).to_list()


@pytest.mark.parametrize("shape", IMPOSSIBLE_SHAPES.values(), ids=IMPOSSIBLE_SHAPES.keys())
def test_storage_that_cannot_be_had_raises(shape):
    calls = [f"{taker}({shape}{', 1' if 'full_' in taker else ''})" for taker in SHAPE_TAKERS]
    if int(np.prod(shape, dtype=object)) * 8 < 2**63:  # NumPy's own limit on a view's bytes
        calls += [f"halvorn.quorva_array_{t}(np.broadcast_to(np.{t}(1), {shape}))" for t in ELEMENT_TYPES]
    if len(shape) == 1:  # empty operands whose product is a vector of that shape
        calls += [f"halvorn.quorva_dot_{t}(halvorn.quorva_zeros_{t}([0]), halvorn.quorva_zeros_{t}([0, {shape[0]}]))"
                  for t in ELEMENT_TYPES]
    with halvorn.errstate(misuse="raise"):
        for call in calls:
            with pytest.raises(MemoryError) as caught:
                eval(call, {"halvorn": halvorn, "np": np})
            assert str(caught.value) == storage_message(shape)


@pytest.mark.parametrize("value", ["Raise", "", "exit ", b"raise", 1, type("Text", (str,), {})("raise")])
def test_settings_take_only_the_two_strings_and_come_back(value):
    assert halvorn.geterr() == {"misuse": "exit"} and halvorn.geterr() is not halvorn.geterr()
    for call in [lambda: halvorn.seterr(misuse=value), lambda: halvorn.errstate(misuse=value)]:
        with pytest.raises(ValueError, match="misuse must be 'exit' or 'raise', not "):
            call()
    for call in [lambda: halvorn.seterr("raise"), lambda: halvorn.seterr(over="raise"), halvorn.errstate]:
        with pytest.raises(TypeError):
            call()
    assert halvorn.seterr() == halvorn.seterr(misuse=None) == {"misuse": "exit"}
    try:
        assert [halvorn.seterr(misuse="raise"), halvorn.seterr(misuse="raise")] == [{"misuse": "exit"},
                                                                                    {"misuse": "raise"}]
        with pytest.raises(KeyError), halvorn.errstate(misuse="exit"):
            with halvorn.errstate(misuse="raise"):
                assert halvorn.geterr() == {"misuse": "raise"}
            assert halvorn.geterr() == {"misuse": "exit"}
            raise KeyError
        assert halvorn.geterr() == {"misuse": "raise"}
    finally:
        halvorn.seterr(misuse="exit")


def test_errstate_decorates_each_call_afresh_and_nests():
    state = halvorn.errstate(misuse="raise")

    @state
    def depth(levels):
        """Counts down."""
        return [halvorn.geterr()["misuse"], *(depth(levels - 1) if levels else [])]

    assert (depth.__name__, depth.__doc__, depth(2), halvorn.geterr()) == (
        "depth", "Counts down.", ["raise"] * 3, {"misuse": "exit"})
    with state, halvorn.errstate(misuse="exit"), state:
        assert halvorn.geterr() == {"misuse": "raise"}
    assert halvorn.geterr() == {"misuse": "exit"}


def body_and_caller(kind, state):
    """What a decorated body of each kind sees at each of its two steps, and
    what its caller sees between them."""
    misuse = lambda: halvorn.geterr()["misuse"]  # noqa: E731
    if kind == "generator":
        def items():
            yield misuse()
            yield misuse()
        return zip(*[(item, misuse()) for item in state(items)()])
    if kind == "coroutine":
        async def body():
            first = misuse()
            await asyncio.sleep(0)
            return [first, misuse()]
        coroutine = state(body)()
        coroutine.send(None)
        between = misuse()
        with pytest.raises(StopIteration) as done:
            coroutine.send(None)
        return done.value.value, [between]

    async def items():
        for _ in range(2):
            await asyncio.sleep(0)
            yield misuse()

    async def drive():
        return [(item, misuse()) async for item in state(items)()]
    return zip(*asyncio.run(drive()))


@pytest.mark.parametrize("kind", ["generator", "coroutine", "async generator"])
def test_errstate_holds_while_a_body_runs_and_never_between_its_steps(kind):
    body, caller = body_and_caller(kind, halvorn.errstate(misuse="raise"))
    assert (list(body), list(caller)[:1], halvorn.geterr()) == (["raise"] * 2, ["exit"], {"misuse": "exit"})

    # A block entered across a yield stays the body's own under the decorator.
    @halvorn.errstate(misuse="exit")
    def paused():
        with halvorn.errstate(misuse="raise"):
            yield halvorn.geterr()["misuse"]
            yield halvorn.geterr()["misuse"]
    assert [(item, halvorn.geterr()["misuse"]) for item in paused()] == [("raise", "exit")] * 2


def test_one_errstate_is_entered_from_many_threads_at_once():
    shared = halvorn.errstate(misuse="raise")

    def enter_and_leave(_):
        for _ in range(20000):
            with shared:
                pass
        return halvorn.geterr()["misuse"]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert list(pool.map(enter_and_leave, range(4))) == ["exit"] * 4
    with pytest.raises(RuntimeError, match="^this errstate was not entered in the current context$"):
        shared.__exit__(None, None, None)


async def in_a_task(function, *args):
    return function(*args)


def in_a_thread(*call):
    with concurrent.futures.ThreadPoolExecutor(1) as pool:  # as under -X thread_inherit_context=1
        return pool.submit(contextvars.copy_context().run, *call).result()


@pytest.mark.parametrize("elsewhere", [lambda *call: asyncio.run(in_a_task(*call)), in_a_thread,
                                       lambda *call: contextvars.copy_context().run(*call)],
                         ids=["asyncio task", "thread", "copied context"])
def test_a_context_and_a_decorated_body_each_leave_only_the_errstate_entries_they_made(elsewhere):
    shared, misuse = halvorn.errstate(misuse="exit"), lambda: halvorn.geterr()["misuse"]

    def not_entered_here():
        with pytest.raises(RuntimeError, match="^this errstate was not entered in the current context$"):
            shared.__exit__(None, None, None)
        return misuse()

    @halvorn.errstate(misuse="exit")
    def body():  # resumed elsewhere, where it leaves its block
        with shared:
            yield contextvars.copy_context().run(not_entered_here)

    with halvorn.errstate(misuse="raise"):
        items = body()
        with shared:
            seen = [next(items), elsewhere(not_entered_here)]
        assert [*seen, not_entered_here(), *elsewhere(list, items), misuse()] == ["exit", "exit", "raise", "raise"]


def test_threads_start_from_exit_and_tasks_keep_their_own():
    seen = []

    async def task(setting):
        before = halvorn.seterr(misuse=setting)["misuse"]
        await asyncio.sleep(0)
        return before, halvorn.geterr()["misuse"]

    async def both():
        return await asyncio.gather(task("exit"), task("raise"))

    with halvorn.errstate(misuse="raise"):
        thread = threading.Thread(target=lambda: seen.append(halvorn.geterr()["misuse"]))
        thread.start()
        thread.join()
        seen += [*asyncio.run(both()), halvorn.geterr()["misuse"]]
    assert seen == ["exit", ("raise", "exit"), ("raise", "raise"), "raise"]


@pytest.mark.parametrize("leave", ["with halvorn.errstate(misuse='raise'):\n    attempt()",
                                   "halvorn.seterr(misuse='raise')\nattempt()\nhalvorn.seterr(misuse='exit')"])
@pytest.mark.parametrize("call, message", [("a + b", mismatch("add")), ("a.__divide__(a - a)", ZERO_DIVISOR),
                                           ("a @ a", mismatch("dot")), ("halvorn.TensorInt32([2**62])", ALLOCATION)])
def test_leaving_raise_mode_brings_back_the_exit(leave, call, message):
    # Caught in a function of its own, whose frame is gone before the process
    # ends: LeakSanitizer cannot see a frame that only the interpreter's
    # mapped stack still points at.
    attempt = f"def attempt():\n    try:\n        {call}\n    except (ValueError, ZeroDivisionError, MemoryError):\n        pass"
    assert_ends("a = halvorn.quorva_ones_int32([2, 3])\nb = halvorn.quorva_ones_int32([3, 2])\n" + attempt + "\n" + leave,
                call, message)


@pytest.mark.skipif(SANITIZED, reason="an address-space limit leaves AddressSanitizer no room for its shadow")
def test_a_mistake_while_the_interpreter_shuts_down_ends_the_process_in_raise_mode():
    # No exception can be taken there: a __del__ of the final collection.
    assert_process_ends("""
import halvorn
halvorn.seterr(misuse="raise")
class Late:
    def __del__(self):
        self.a + self.b
late = Late()
late.a, late.b = halvorn.quorva_ones_float64([2]), halvorn.quorva_ones_float64([3])
""", mismatch("add"))


def test_unpickling_what_the_heap_refuses():
    # 4 MiB of int16 values call for 32 MiB of packets, past the limit. The
    # source stays alive: a block of its size released before the limit would
    # be kept for reuse, and the unpickled tensor would get it.
    prologue = """
import halvorn, pickle, resource
source = halvorn.quorva_ones_int16([1 << 21])
data = pickle.dumps(source, 5)
with open('/proc/self/statm') as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (24 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
"""
    raised = run_python(prologue + "with halvorn.errstate(misuse='raise'):\n    pickle.loads(data)")
    assert raised.stderr.endswith(b"MemoryError: " + storage_message([2**21]).encode() + b"\n")
    exited = run_python(prologue + "pickle.loads(data)")
    assert (exited.returncode, exited.stderr) == (1, ALLOCATION)


@pytest.mark.parametrize("scope", ["context", "process"])
def test_a_pool_worker_raises_when_its_initializer_says_so(scope):
    a, b = halvorn.quorva_ones_float64([2, 3]), halvorn.quorva_ones_float64([3, 2])
    raising = functools.partial(halvorn.seterr, misuse="raise", scope=scope)
    with concurrent.futures.ProcessPoolExecutor(1, initializer=raising) as pool:
        with pytest.raises(ValueError, match=r"shapes \[2, 3\] and \[3, 2\] do not match"):
            pool.submit(halvorn.quorva_add_float64, a, b).result()
        assert pool.submit(halvorn.quorva_add_float64, a, a).result().to_list() == [2.0] * 6


PROCESS_DEFAULT = """
import concurrent.futures, contextvars, multiprocessing, sys, halvorn
a, b = halvorn.quorva_ones_int32([2]), halvorn.quorva_ones_int32([3])
def seen():
    try:
        a + b
    except ValueError:
        return "raised in " + halvorn.geterr()["misuse"]
def in_thread():  # a new thread, with no context setting of its own
    with concurrent.futures.ThreadPoolExecutor(1) as pool: return pool.submit(seen).result()
def in_child(way):
    with multiprocessing.get_context(way).Pool(1) as pool: return pool.apply(halvorn.geterr)
print(halvorn.seterr(misuse="raise", scope="process"), seen(), in_thread(), contextvars.Context().run(seen))
print(in_child("fork"), in_child("spawn"))
with halvorn.errstate(misuse="exit"):
    print(halvorn.geterr(), in_thread())
print(sorted({name.split(".")[0] for name in sys.modules} & {"dask", "distributed", "ray", "numpy"}))
for scope in ["thread", "Process", None]:
    try:
        halvorn.seterr(misuse="raise", scope=scope)
    except ValueError as error:
        print(error)
"""


def test_the_process_default_reaches_every_context_without_a_setting_of_its_own():
    done = run_python(PROCESS_DEFAULT)
    assert (done.returncode, done.stderr) == (0, b"")
    raised = "raised in raise"
    assert done.stdout.decode().splitlines() == [
        f"{{'misuse': 'exit'}} {raised} {raised} {raised}",
        "{'misuse': 'raise'} {'misuse': 'exit'}",  # a forked child keeps it, a spawned one starts afresh
        f"{{'misuse': 'exit'}} {raised}",
        "[]",  # no engine, and not even NumPy, comes in with halvorn
        *(f"scope must be 'context' or 'process', not {scope!r}" for scope in ["thread", "Process", None]),
    ]


def test_an_errstate_pickles_as_a_fresh_one_of_its_setting():
    # What it decorates pickles too: the Dask recipes in test_workers.py send one by value.
    state = halvorn.errstate(misuse="raise")
    with state, pickle.loads(pickle.dumps(state)):  # a fresh one, not the active one
        assert halvorn.geterr() == {"misuse": "raise"}
