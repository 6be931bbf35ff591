"""Every path that ends the process: shape mismatches in each operation, zero
divisors, dot operands that do not fit, and storage that cannot be had.

Each case runs in a fresh interpreter. The message must be exactly the bytes
on the process's standard error, the status exactly 1, and nothing may run
after the call: no finally block, no atexit handler. Python's sys.stderr is
replaced by a stand-in that reports any write on stdout, which shows that the
message goes to the native stream and never through Python's.
"""

import os
import subprocess
import sys
import time

import pytest

from conftest import ELEMENT_TYPES, FLOAT_TYPES, TENSOR_CLASSES, assert_process_ends, run_python

ALLOCATION = b"Failed to allocate memory!\n"


def mismatch(operation):
    return f"quorva {operation}() : Shape doesn't match!\n".encode()


ZERO_DIVISOR = b"quorva div() : cannot divide by zero!\n"

PROLOGUE = """
import atexit, os, sys
import halvorn
import halvorn_testing as testing

class Tattletale:
    def write(self, text):
        os.write(1, b"through sys.stderr: " + text.encode())
        return len(text)

    def flush(self):
        pass

atexit.register(lambda: os.write(1, b"atexit handler ran"))
"""


def assert_ends(setup, call, message):
    code = "\n".join(
        [
            PROLOGUE,
            setup,
            "sys.stderr = Tattletale()",
            "try:",
            f"    {call}",
            "finally:",
            "    os.write(1, b'code after the call ran')",
        ]
    )
    result = run_python(code)
    assert result.stderr == message
    assert result.returncode == 1
    assert result.stdout == b""


def test_the_stand_in_would_show_a_write_through_sys_stderr():
    # The harness itself: a message written through Python's sys.stderr, or
    # any code that runs afterwards, is seen.
    result = run_python(PROLOGUE + "\nsys.stderr = Tattletale()\nprint('x', file=sys.stderr)\n")
    assert result.stdout.startswith(b"through sys.stderr: x")
    assert result.stdout.endswith(b"atexit handler ran")
    assert result.returncode == 0


# ---------------------------------------------------------------------------
# Element-wise shape mismatches

MISMATCHED_SHAPES = {
    "same-count-other-shape": ([2, 3], [3, 2]),
    "other-count": ([2, 3], [2, 4]),
    "other-rank-same-count": ([6], [2, 3]),
    "no-dimensions-against-one": ([], [1]),
    "both-empty-other-shape": ([0, 3], [3, 0]),
}


def routes(operation, element_type):
    """Every way Python reaches the operation, as code on tensors a and b."""
    method = "__divide__" if operation == "div" else f"__{operation}__"
    found = {"method": f"a.{method}(b)"}
    if operation != "div" or element_type in FLOAT_TYPES:
        found["operator"] = "a {} b".format({"add": "+", "sub": "-", "mul": "*", "div": "/"}[operation])
    if operation != "div" or element_type in FLOAT_TYPES:
        found["function"] = f"halvorn.quorva_{operation}_{element_type}(a, b)"
    return found


def make(element_type, shape, fill):
    return f"halvorn.quorva_full_{element_type}({shape}, {fill})"


@pytest.mark.parametrize("shapes", MISMATCHED_SHAPES.values(), ids=MISMATCHED_SHAPES.keys())
@pytest.mark.parametrize("operation", ["add", "sub", "mul", "div"])
def test_shape_mismatch_ends_the_process(element_type, operation, shapes):
    a_shape, b_shape = shapes
    calls = list(routes(operation, element_type).values())
    # Every route for one pair of shapes; one route is enough for the others.
    if shapes != MISMATCHED_SHAPES["same-count-other-shape"]:
        calls = calls[-1:]
    for call in calls:
        assert_ends(
            f"a = {make(element_type, a_shape, 3)}\nb = {make(element_type, b_shape, 2)}",
            call,
            mismatch(operation),
        )


def test_division_checks_shapes_before_divisors(element_type):
    assert_ends(
        f"a = {make(element_type, [2], 1)}\nb = halvorn.quorva_zeros_{element_type}([3])",
        "a.__divide__(b)",
        mismatch("div"),
    )


# ---------------------------------------------------------------------------
# Zero divisors


DIVISOR_COUNT = 2051  # two full blocks of 1024 divisors and a tail of 3


@pytest.mark.parametrize("position", [0, 1023, 1024, DIVISOR_COUNT - 1])
def test_zero_divisor_ends_the_process(element_type, position):
    zero = "0" if element_type.startswith("int") else "0.0"
    setup = (
        f"a = halvorn.quorva_ones_{element_type}([{DIVISOR_COUNT}])\n"
        f"values = [1] * {DIVISOR_COUNT}\n"
        f"values[{position}] = {zero}\n"
        f"b = testing.build_{element_type}([{DIVISOR_COUNT}], values)"
    )
    for call in routes("div", element_type).values():
        assert_ends(setup, call, ZERO_DIVISOR)


@pytest.mark.parametrize("element_type", FLOAT_TYPES)
def test_negative_zero_divisor_ends_the_process(element_type):
    setup = (
        f"a = halvorn.quorva_ones_{element_type}([3, 2])\n"
        f"b = testing.build_{element_type}([3, 2], [1.0, float('nan'), float('inf'), -0.0, 2.0, 0.5])"
    )
    assert_ends(setup, "a.__divide__(b)", ZERO_DIVISOR)


def test_zero_divisor_without_dimensions(element_type):
    setup = f"a = halvorn.quorva_ones_{element_type}([])\nb = halvorn.quorva_zeros_{element_type}([])"
    assert_ends(setup, "a.__divide__(b)", ZERO_DIVISOR)


# ---------------------------------------------------------------------------
# Dot operands that do not fit

DOT_MISMATCHES = {
    "two-vectors": ([3], [3]),
    "no-dimensions-first": ([], [3, 2]),
    "no-dimensions-second": ([3, 2], []),
    "no-dimensions-both": ([], []),
    "rank-3-first": ([2, 2, 2], [2, 2]),
    "rank-3-second": ([2, 2], [2, 2, 2]),
    "vector-matrix-fewer-rows": ([3], [2, 4]),
    "vector-matrix-more-rows": ([3], [4, 4]),
    "matrix-vector-shorter": ([2, 3], [2]),
    "matrix-vector-longer": ([2, 3], [5]),
    "matrix-matrix-fewer-rows": ([2, 3], [2, 2]),
    "matrix-matrix-more-rows": ([2, 2], [3, 2]),
    "zero-length-against-one": ([0], [1, 4]),
    "zero-columns-against-one-row": ([2, 0], [1, 3]),
    "empty-result-still-checked": ([0, 3], [2, 4]),
}


@pytest.mark.parametrize("shapes", DOT_MISMATCHES.values(), ids=DOT_MISMATCHES.keys())
def test_dot_mismatch_ends_the_process(element_type, shapes):
    a_shape, b_shape = shapes
    assert_ends(
        f"a = {make(element_type, a_shape, 1)}\nb = {make(element_type, b_shape, 1)}",
        f"halvorn.quorva_dot_{element_type}(a, b)",
        mismatch("dot"),
    )


# ---------------------------------------------------------------------------
# Storage that cannot be had

SHAPE_TAKERS = [
    *(f"halvorn.quorva_{kind}_{t}" for kind in ["zeros", "ones"] for t in ELEMENT_TYPES),
    *(f"halvorn.quorva_full_{t}" for t in ELEMENT_TYPES),
    *(f"halvorn.quorva_{kind}_{t}" for kind in ["rand", "randn"] for t in FLOAT_TYPES),
    *(f"halvorn.{cls.__name__}" for cls in TENSOR_CLASSES.values()),
    *(f"halvorn.Generator(7).{kind}_{t}" for kind in ["rand", "randn"] for t in FLOAT_TYPES),
]

IMPOSSIBLE_SHAPES = {
    # The element count overflows 64 bits, early or on the last extent.
    "count-overflows": [2**32, 2**32],
    "count-overflows-late": [3, 5, 2**64 - 1],
    # The count fits; 16 bytes a packet do not.
    "bytes-overflow": [2**60],
    # Representable, but no heap has 2^63 or 2^44 bytes.
    "heap-refuses-2**63": [2**59],
    "heap-refuses-2**44": [2**40],
}


@pytest.mark.parametrize("call", SHAPE_TAKERS)
def test_every_shape_taker_ends_on_an_impossible_shape(call):
    argument = "[2**64 - 1, 2]"
    if "full_" in call:
        argument += ", 1"
    assert_ends("", f"{call}({argument})", ALLOCATION)


@pytest.mark.parametrize("shape", IMPOSSIBLE_SHAPES.values(), ids=IMPOSSIBLE_SHAPES.keys())
def test_impossible_shapes_end_the_process(element_type, shape):
    assert_ends("", f"halvorn.quorva_zeros_{element_type}({shape})", ALLOCATION)


@pytest.mark.parametrize(
    "shapes",
    [([2**40, 0], [0, 1]), ([2**33, 0], [0, 2**33]), ([0], [0, 2**62])],
    ids=["heap-refuses", "count-overflows", "bytes-overflow"],
)
def test_dot_result_that_cannot_be_stored_ends_the_process(element_type, shapes):
    # Both operands are empty and cost nothing; the result they call for is
    # all zeros and cannot be stored.
    a_shape, b_shape = shapes
    assert_ends(
        f"a = halvorn.quorva_zeros_{element_type}({a_shape})\nb = halvorn.quorva_zeros_{element_type}({b_shape})",
        f"halvorn.quorva_dot_{element_type}(a, b)",
        ALLOCATION,
    )


@pytest.mark.parametrize(
    "call, message",
    [
        ("halvorn.quorva_add_float64(halvorn.quorva_ones_float64([2]), halvorn.quorva_ones_float64([3]))",
         mismatch("add")),
        ("halvorn.quorva_zeros_int16([1]).__divide__(halvorn.quorva_zeros_int16([1]))", ZERO_DIVISOR),
        ("halvorn.quorva_dot_int32(halvorn.quorva_ones_int32([2]), halvorn.quorva_ones_int32([3]))", mismatch("dot")),
        ("halvorn.quorva_zeros_float32([2**64 - 1, 2])", ALLOCATION),
    ],
    ids=["mismatch", "zero-divisor", "dot", "allocation"],
)
def test_buffered_output_is_written_before_the_process_ends(call, message):
    # Both streams buffered, as they are on pipes: stdout by blocks, stderr by
    # lines (so a line without its newline still waits).
    code = f"import sys, halvorn\nprint('printed before')\nsys.stderr.write('partial line')\n{call}\nprint('after')"
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, env=environment, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (1, b"printed before\n", b"partial line" + message)


THREADS = "import threading, time, halvorn\nMISFIT = halvorn.quorva_ones_float64([2]), halvorn.quorva_ones_float64([3])\n"
# A flush that lets the interpreter lock go for long on any other thread.
SLOW_FLUSH = """import sys
class SlowFlush:
    def write(self, text): return sys.__stdout__.write(text)
    def flush(self):
        if threading.current_thread() is not threading.main_thread(): time.sleep(0.5)
        sys.__stdout__.flush()
sys.stdout = SlowFlush()
"""
DAEMON = "done = threading.Event()\ndef fail(): print('progress', end=''); done.set(); MISFIT[0] + MISFIT[1]\n" \
         "threading.Thread(target=fail, daemon=True).start(); done.wait()"
RACES = {
    # OpenBLAS's destructor joins its workers; run on the failing thread, which
    # holds the interpreter lock that the main thread waits for, it hung.
    "busy-in-openblas": "def fail():\n    time.sleep(0.2)\n    MISFIT[0] + MISFIT[1]\nthreading.Thread(target=fail).start()\n"
                        "import numpy\nx = numpy.ones((200, 200))\nwhile True:\n    x @ x",
    "blocked-on-a-lock": "threading.Timer(0.2, lambda: MISFIT[0] + MISFIT[1]).start()\n"
                         "lock = threading.Lock()\nlock.acquire()\nlock.acquire()",
    # The interpreter shuts down while the failing daemon thread flushes: it
    # took the lock away from that thread, which aborted (status 134) or ended
    # with status 0, and lost the message either way.
    "daemon-at-shutdown": DAEMON,
    "daemon-flushing-slowly": SLOW_FLUSH + DAEMON,
    "two-threads-at-once": "barrier = threading.Barrier(2)\ndef fail(): barrier.wait(); MISFIT[0] + MISFIT[1]\n"
                           "print('progress', end='')\nfor _ in range(2): threading.Thread(target=fail).start()",
    **{f"in-del-at-shutdown-{mode}": f"halvorn.seterr(misuse='{mode}')\nclass Saver:\n"
       "    def __del__(self): print('progress', end=''); MISFIT[0] + MISFIT[1]\nsaver = Saver()"
       for mode in ["exit", "raise"]},
}


@pytest.mark.parametrize("code", RACES.values(), ids=RACES.keys())
def test_a_thread_ends_the_process_whatever_the_others_do(code):
    # Several runs, as each case is a race; stdout is a pipe read late and
    # block-buffered, so what was printed waits in Python's buffer.
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    printed = b"progress" if "print(" in code else b""
    for _ in range(5):
        child = subprocess.Popen([sys.executable, "-c", THREADS + code], env=environment, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        time.sleep(0.3)
        stdout, stderr = child.communicate(timeout=60)
        assert (child.returncode, stderr, stdout) == (1, mismatch("add"), printed)
