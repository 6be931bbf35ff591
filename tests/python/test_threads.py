"""Several Python threads calling every factory and operation at once.

Calls into the module hold the interpreter lock, but the interpreter switches
threads between them and the random generators are per thread; the threads
share operand tensors and hand results around. Over a fixed number of rounds
per thread, all started together, every result must be right, and afterwards
every result must be gone and every shared operand's reference count back
where it was.
"""

import json
import sys
import threading
import weakref

import halvorn
import pytest

from conftest import ELEMENT_TYPES, FLOAT_TYPES, SANITIZED, TENSOR_CLASSES, run_python

THREADS = 6
ROUNDS = 40 if SANITIZED else 150


def module(kind, element_type):
    return getattr(halvorn, f"quorva_{kind}_{element_type}")


def workload(element_type, shared, start, seen, errors):
    """Every factory and operation of one element type, checked, ROUNDS times."""
    one = 1 if element_type.startswith("int") else 1.0
    rounds = 0
    try:
        start.wait()
        while rounds < ROUNDS:
            shape = [rounds % 4 + 1, 3]
            a = module("full", element_type)(shape, 6)
            b = module("ones", element_type)(shape)
            z = module("zeros", element_type)(shape)
            c = TENSOR_CLASSES[element_type](shape)
            total = module("add", element_type)(a, b) - z
            product = (total * b).__divide__(b + c)
            assert product.to_list() == [7 * one] * (shape[0] * 3)
            assert module("sub", element_type)(a, b).to_list() == [5 * one] * (shape[0] * 3)
            assert module("mul", element_type)(a, a).to_list() == [36 * one] * (shape[0] * 3)
            if element_type in FLOAT_TYPES:
                quotient = module("div", element_type)(a, b + b)
                assert quotient.to_list() == [3.0] * (shape[0] * 3)
                drawn = module("rand", element_type)(shape).to_list()
                assert all(0.0 <= v < 1.0 for v in drawn)
                normal = module("randn", element_type)([rounds % 5])
                assert len(normal.to_list()) == rounds % 5
            # The shared operands, read by every thread at once.
            matrix, vector = shared[element_type]
            assert module("dot", element_type)(matrix, vector).to_list() == [3 * 2 * one] * 4
            assert module("dot", element_type)(vector, module("ones", element_type)([3, 2])).to_list() == [
                3 * one
            ] * 2
            assert repr(total).startswith(f"tensor([{shape[0]}, 3]\n")
            assert total.shape == shape
            seen.append(weakref.ref(product))
            rounds += 1
    except BaseException as error:  # noqa: BLE001 - reported by the test
        errors.append(f"{element_type}: {type(error).__name__}: {error}")
    return rounds


def test_every_operation_from_many_threads_at_once():
    shared = {t: (module("full", t)([4, 3], 2), module("ones", t)([3])) for t in ELEMENT_TYPES}
    counts_before = {t: [sys.getrefcount(x) for x in pair] for t, pair in shared.items()}
    seen, errors, rounds = [], [], []
    start = threading.Barrier(THREADS)
    switch = sys.getswitchinterval()
    # Switch threads as often as the interpreter allows.
    sys.setswitchinterval(1e-6)
    try:
        threads = [
            threading.Thread(
                target=lambda t=t: rounds.append(workload(t, shared, start, seen, errors))
            )
            for t in (ELEMENT_TYPES * 2)[:THREADS]
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
        assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    finally:
        sys.setswitchinterval(switch)
    assert errors == []
    assert rounds == [ROUNDS] * THREADS
    # Nothing keeps a result alive, and the shared operands hold no extra references.
    assert all(ref() is None for ref in seen)
    assert {t: [sys.getrefcount(x) for x in pair] for t, pair in shared.items()} == counts_before


STRESS = """
import ctypes, gc, json, threading
import halvorn

libc = ctypes.CDLL(None)
TYPES = ["int16", "int32", "float32", "float64"]

def resident_bytes():
    gc.collect()
    libc.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096

def work(element_type, rounds):
    m = lambda kind: getattr(halvorn, f"quorva_{kind}_{element_type}")
    for i in range(rounds):
        a = m("full")([i % 7, 5], 2)
        b = m("ones")([i % 7, 5])
        ((a + b) * b - a).__divide__(b).to_list()
        m("dot")(m("ones")([3, 5]), m("full")([5], 3)).to_list()
        repr(a)
        if element_type.startswith("float"):
            m("rand")([i % 9]); m("randn")([i % 9])

def run(rounds):
    # Fresh threads every time: each brings its own random generators, which
    # must go with it.
    threads = [threading.Thread(target=work, args=(TYPES[i % 4], rounds)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

for _ in range(3):
    run(50)
before = resident_bytes()
for _ in range(60):
    run(50)
after = resident_bytes()
print(json.dumps([before, after]))
"""


@pytest.mark.not_under_sanitizers(
    "ASan keeps freed blocks in quarantine, so the resident size grows by design; "
    "LeakSanitizer checks for leaks in that run"
)
def test_threads_that_come_and_go_leave_memory_flat():
    result = run_python(STRESS, timeout=300)
    assert result.returncode == 0, result.stderr
    before, after = json.loads(result.stdout)
    # 360 threads came and went, 18000 rounds of operations ran. Each float
    # thread makes two random devices (about 5 KB each) and two engines (2.5 KB
    # each), so generators left behind by ended threads would add some 2.7 MB;
    # the allocator's own per-thread arenas wander by a few hundred KB.
    assert after - before < 1 << 20, f"resident size grew by {after - before} bytes"
