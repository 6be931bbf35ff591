"""seterr, geterr and errstate: misuse raised as an exception instead of
ending the process, through every route, with nothing left behind."""

import asyncio
import concurrent.futures
import functools
import pickle
import threading

import numpy as np
import pytest

import halvorn
from conftest import ELEMENT_TYPES, FLOAT_TYPES, SANITIZED, run_python
from test_process_exit import (ALLOCATION, DOT_MISMATCHES, IMPOSSIBLE_SHAPES, MISMATCHED_SHAPES, SHAPE_TAKERS,
                               ZERO_DIVISOR, assert_ends, mismatch, routes)


@pytest.fixture
def raising():
    with halvorn.errstate(misuse="raise"):
        yield


def assert_raises_cleanly(calls, error, message, operands=()):
    before = [t.to_list() for t in operands]
    for call in calls:
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value) == message
    assert [t.to_list() for t in operands] == before


def operands(element_type, a_shape, b_shape, b_values=None):
    a = getattr(halvorn, f"quorva_full_{element_type}")(a_shape, 3)
    b = getattr(halvorn, f"quorva_full_{element_type}")(b_shape, 2)
    if b_values is not None:
        b = getattr(halvorn, f"quorva_array_{element_type}")(np.array(b_values, element_type).reshape(b_shape))
    return a, b


def evaluations(code_by_route, a, b):
    return [functools.partial(eval, code, {"a": a, "b": b, "halvorn": halvorn}) for code in code_by_route]


@pytest.mark.usefixtures("raising")
@pytest.mark.parametrize("shapes", MISMATCHED_SHAPES.values(), ids=MISMATCHED_SHAPES.keys())
@pytest.mark.parametrize("operation", ["add", "sub", "mul", "div"])
def test_shape_mismatch_raises(element_type, operation, shapes):
    a, b = operands(element_type, *shapes)
    message = f"quorva {operation}(): shapes {shapes[0]} and {shapes[1]} do not match"
    # The shape test comes first, whatever the divisors hold.
    zero_b = getattr(halvorn, f"quorva_zeros_{element_type}")(shapes[1])
    calls = evaluations(routes(operation, element_type).values(), a, b) + evaluations(["a.__divide__(b)"], a, zero_b)
    assert_raises_cleanly(calls[: -1 if operation != "div" else None], ValueError, message, [a, b])
    assert (a + a).to_list() == getattr(halvorn, f"quorva_full_{element_type}")(shapes[0], 6).to_list()


@pytest.mark.usefixtures("raising")
@pytest.mark.parametrize("shape, position, index", [([2051], 0, [0]), ([2051], 1024, [1024]), ([2051], 2050, [2050]),
                                                    ([3, 2], 3, [1, 1]), ([], 0, [])])
def test_zero_divisor_raises_naming_the_first(element_type, shape, position, index):
    count = int(np.prod(shape))
    # Every divisor from the first zero on is zero; a float's first is -0.0.
    values = [1] * position + [-0.0 if element_type in FLOAT_TYPES else 0] + [0] * (count - position - 1)
    a, b = operands(element_type, shape, shape, values)
    message = f"quorva div(): cannot divide by zero: the divisor at index {index} is zero"
    assert_raises_cleanly(evaluations(routes("div", element_type).values(), a, b), ZeroDivisionError, message, [a, b])


@pytest.mark.usefixtures("raising")
@pytest.mark.parametrize("shapes", DOT_MISMATCHES.values(), ids=DOT_MISMATCHES.keys())
def test_dot_mismatch_raises(element_type, shapes):
    a, b = operands(element_type, *shapes)
    message = (f"quorva dot(): shapes {shapes[0]} and {shapes[1]} do not fit: it takes a vector and a matrix, "
               "a matrix and a vector, or two matrices, whose inner extents are equal")
    calls = evaluations([f"halvorn.quorva_dot_{element_type}(a, b)", "a @ b"], a, b)
    assert_raises_cleanly(calls, ValueError, message, [a, b])


def storage_message(shape):
    count = int(np.prod(shape, dtype=object))
    if count * 16 >= 2**64:
        return f"quorva: cannot allocate a tensor of shape {shape}: it needs more than {2**64 - 1} bytes"
    return f"quorva: cannot allocate {count * 16} bytes for a tensor of shape {shape}"


@pytest.mark.usefixtures("raising")
@pytest.mark.parametrize("shape", IMPOSSIBLE_SHAPES.values(), ids=IMPOSSIBLE_SHAPES.keys())
def test_storage_that_cannot_be_had_raises(shape):
    takers = [f"{taker}({shape}{', 1' if 'full_' in taker else ''})" for taker in SHAPE_TAKERS]
    if int(np.prod(shape, dtype=object)) * 8 < 2**63:  # NumPy's own limit on a view's bytes
        takers += [f"halvorn.quorva_array_{t}(np.broadcast_to(np.{t}(1), {shape}))" for t in ELEMENT_TYPES]
    if len(shape) == 1:  # empty operands whose product is a vector of that shape
        takers += [f"halvorn.quorva_dot_{t}(halvorn.quorva_zeros_{t}([0]), halvorn.quorva_zeros_{t}([0, {shape[0]}]))"
                   for t in ELEMENT_TYPES]
    calls = [functools.partial(eval, code, {"halvorn": halvorn, "np": np}) for code in takers]
    assert_raises_cleanly(calls, MemoryError, storage_message(shape))


def test_settings_change_only_when_asked_and_come_back():
    assert halvorn.geterr() == {"misuse": "exit"}
    assert halvorn.geterr() is not halvorn.geterr()
    assert halvorn.seterr() == {"misuse": "exit"} == halvorn.seterr(misuse=None)
    try:
        assert halvorn.seterr(misuse="raise") == {"misuse": "exit"}
        assert halvorn.seterr(misuse="raise") == {"misuse": "raise"}
        with pytest.raises(KeyError), halvorn.errstate(misuse="exit"):
            assert halvorn.geterr() == {"misuse": "exit"}
            with halvorn.errstate(misuse="raise"):
                assert halvorn.geterr() == {"misuse": "raise"}
            raise KeyError
        assert halvorn.geterr() == {"misuse": "raise"}
    finally:
        halvorn.seterr(misuse="exit")


@pytest.mark.parametrize("value", ["Raise", "", "exit ", b"raise", 1, type("Text", (str,), {})("raise")])
def test_only_the_two_strings_are_settings(value):
    for call in [lambda: halvorn.seterr(misuse=value), lambda: halvorn.errstate(misuse=value)]:
        with pytest.raises(ValueError, match="misuse must be 'exit' or 'raise', not "):
            call()
    for call in [lambda: halvorn.seterr("raise"), lambda: halvorn.seterr(over="raise"), halvorn.errstate,
                 lambda: halvorn.errstate("raise")]:
        with pytest.raises(TypeError):
            call()
    assert halvorn.geterr() == {"misuse": "exit"}


def test_errstate_decorates_each_call_afresh_and_enters_once():
    state = halvorn.errstate(misuse="raise")

    @state
    def depth(levels):
        """Counts down."""
        inner = depth(levels - 1) if levels else []
        return [halvorn.geterr()["misuse"], *inner]

    assert (depth.__name__, depth.__doc__, depth(2), halvorn.geterr()) == (
        "depth", "Counts down.", ["raise"] * 3, {"misuse": "exit"})
    with state, pytest.raises(TypeError, match="already active"), state:
        pass


def test_threads_start_from_exit_and_tasks_keep_their_own():
    seen = []
    with halvorn.errstate(misuse="raise"):
        thread = threading.Thread(target=lambda: seen.append(halvorn.geterr()["misuse"]))
        thread.start()
        thread.join()

        async def task(setting):
            before = halvorn.geterr()["misuse"]
            halvorn.seterr(misuse=setting)
            await asyncio.sleep(0)
            return before, halvorn.geterr()["misuse"]

        async def both():
            return await asyncio.gather(task("exit"), task("raise"))

        seen += asyncio.run(both())
        seen.append(halvorn.geterr()["misuse"])
    assert seen == ["exit", ("raise", "exit"), ("raise", "raise"), "raise"]


@pytest.mark.parametrize("leave", ["with halvorn.errstate(misuse='raise'):\n    {}",
                                   "halvorn.seterr(misuse='raise')\n{}\nhalvorn.seterr(misuse='exit')"])
@pytest.mark.parametrize("call, message", [("a + b", mismatch("add")), ("a.__divide__(a - a)", ZERO_DIVISOR),
                                           ("a @ a", mismatch("dot")), ("halvorn.quorva_ones_int32([2**62])",
                                                                        ALLOCATION)])
def test_leaving_raise_mode_brings_back_the_exit(leave, call, message):
    caught = f"try:\n    {call}\nexcept (ValueError, ZeroDivisionError, MemoryError):\n    pass"
    setup = ("a = halvorn.quorva_ones_int32([2, 3])\nb = halvorn.quorva_ones_int32([3, 2])\n" +
             leave.format(caught.replace("\n", "\n    ") if leave.startswith("with") else caught))
    assert_ends(setup, call, message)


@pytest.mark.skipif(SANITIZED, reason="an address-space limit leaves AddressSanitizer no room for its shadow")
def test_unpickling_what_the_heap_refuses():
    # 4 MiB of int16 values call for 32 MiB of packets, past the limit.
    prologue = f"""
import halvorn, pickle, resource
data = pickle.dumps(halvorn.quorva_ones_int16([1 << 21]), 5)
_, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (24 << 20), hard))
"""
    raised = run_python(prologue + "with halvorn.errstate(misuse='raise'):\n    pickle.loads(data)")
    assert raised.stderr.endswith(b"MemoryError: quorva: cannot allocate 33554432 bytes for a tensor of shape [2097152]\n")
    exited = run_python(prologue + "pickle.loads(data)")
    assert (exited.returncode, exited.stderr) == (1, ALLOCATION)


def test_a_pool_worker_raises_when_its_initializer_says_so():
    a, b = halvorn.quorva_ones_float64([2, 3]), halvorn.quorva_ones_float64([3, 2])
    setting = functools.partial(halvorn.seterr, misuse="raise")
    with concurrent.futures.ProcessPoolExecutor(1, initializer=setting) as pool:
        with pytest.raises(ValueError, match=r"shapes \[2, 3\] and \[3, 2\] do not match"):
            pool.submit(halvorn.quorva_add_float64, a, b).result()
        assert pool.submit(halvorn.quorva_add_float64, a, a).result().to_list() == [2.0] * 6
