#!/usr/bin/env python3
"""halvorn against NumPy: interleaved timings, ratios and targets.

Run it through the entry script, which builds the module first:

    ./dev bench                 # full run, a few minutes
    ./dev bench --quick         # fewer sizes and rounds, seconds
    ./dev bench --publish       # full run, then copy the table and plot to docs/
                                # and the targets summary into README.md

Absolute times on shared machines swing by a factor of two from one run to the
next, so nothing here is judged by an absolute time. Every case times halvorn
and its peers in the same process, in alternating rounds, and reports the ratio
halvorn time / peer time taken within each round (the median over rounds).

Peers, one set per case family:
- "numpy": the NumPy call that does the same work the way halvorn does it
  (allocating its result where halvorn allocates one).
- "numpy_out": the same ufunc writing into a preallocated array.
- "limit": a NumPy call that moves exactly as many bytes as the halvorn
  operation must, as a stand-in for the memory-traffic limit: an element-wise
  halvorn operation on n elements reads two 16-byte packets and writes one per
  element (48n bytes), like np.add(x, y, out=z) on float64 arrays of 2n
  elements; a constant fill writes 16n bytes, like z.fill(v) on 2n float64.

halvorn is single-threaded, so OpenBLAS is held to one thread. OpenBLAS reads
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE once when it loads; when either is set,
the harness starts itself again without them so that NumPy runs the kernel
OpenBLAS picks for this processor, and says so in its output.

Outputs (in --out, default bench-results/): bench.md (tables), bench.json
(every sample), bench.png (time per element against n).
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[1]
BLAS_OVERRIDES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
# Carries what was removed across the re-exec, so the output can name it.
UNSET_MARKER = "HALVORN_BENCH_UNSET_BLAS"


def environment_without_blas_overrides(environ):
    """Returns (a copy of environ without the OpenBLAS overrides, what was removed)."""
    removed = {key: environ[key] for key in BLAS_OVERRIDES if key in environ}
    cleaned = {key: value for key, value in environ.items() if key not in BLAS_OVERRIDES}
    if removed:
        cleaned[UNSET_MARKER] = json.dumps(removed, sort_keys=True)
    return cleaned, removed


def settle_blas_environment(argv):
    """Runs before NumPy is imported: OpenBLAS reads its environment when it loads."""
    if "--keep-blas-env" not in argv:
        cleaned, removed = environment_without_blas_overrides(os.environ)
        if removed:
            # A fresh process, not os.environ edits: nothing that may already
            # have loaded (a sitecustomize, a .pth hook) keeps the old values.
            os.execve(sys.executable, [sys.executable, os.path.abspath(sys.argv[0]), *argv], cleaned)
    # halvorn runs on one thread; a BLAS on two would not be the same work.
    os.environ["OPENBLAS_NUM_THREADS"] = "1"
    os.environ["OMP_NUM_THREADS"] = "1"


if __name__ == "__main__":
    settle_blas_environment(sys.argv[1:])

import numpy as np  # noqa: E402  (after the BLAS environment is settled)

import halvorn  # noqa: E402

try:
    import threadpoolctl  # noqa: E402
except ImportError:  # the harness still runs; the BLAS report says less
    threadpoolctl = None

try:
    # The test companion module (built with the tests, never installed) holds
    # the register-only kernel that times the exact-order peak.
    import halvorn_testing  # noqa: E402
except ImportError:  # the harness still runs; dot has no peak to hold against
    halvorn_testing = None


# ---------------------------------------------------------------------------
# Types, sizes and settings

INT_TYPES = ["int16", "int32"]
FLOAT_TYPES = ["float32", "float64"]
TYPES = INT_TYPES + FLOAT_TYPES
NUMPY_TYPE = {"int16": np.int16, "int32": np.int32, "float32": np.float32, "float64": np.float64}
FAMILIES = ["elementwise", "factory", "random", "dot", "export", "interop", "floor", "memory"]
MIB = 1 << 20


@dataclass
class Config:
    sizes: list[int]
    shape2d: tuple[int, int]
    dot_sizes: list[int]
    memory_n: int
    min_time_ns: int  # one timing (reps calls) lasts at least this long
    min_rounds: int
    max_rounds: int
    budget_ns: int  # rounds stop past this, once min_rounds are done
    families: list[str]
    quick: bool


FULL_SETTINGS = dict(
    sizes=[1, 16, 256, 4096, 65536, 1048576],
    shape2d=(1024, 1024),
    dot_sizes=[8, 32, 128, 256, 512],
    memory_n=1 << 20,
    min_time_ns=1_000_000,
    min_rounds=3,
    max_rounds=41,
    budget_ns=1_000_000_000,
)
QUICK_SETTINGS = dict(
    # Still one size on each side of every target's threshold.
    sizes=[1, 16, 65536, 1048576],
    shape2d=(64, 64),
    dot_sizes=[8, 256],
    memory_n=1 << 20,
    min_time_ns=200_000,
    min_rounds=3,
    max_rounds=5,
    budget_ns=30_000_000,
)


def product(shape):
    return math.prod(shape)


def shape_text(shape):
    return "x".join(str(extent) for extent in shape) if shape else "()"


# ---------------------------------------------------------------------------
# Timing: alternating rounds


@dataclass
class Side:
    """One contestant of a case: a statement and the names it uses."""

    name: str
    stmt: str
    names: dict


def side(name, stmt, **names):
    return Side(name, stmt, names)


def calibrate(timer, min_time_ns):
    """Calls per timing so that one timing lasts at least min_time_ns.

    The first timing is also the warm-up (first-touch page faults, caches)."""
    reps = 1
    while True:
        elapsed = timer.timeit(reps)
        if elapsed >= min_time_ns or reps >= 1 << 22:
            return reps
        wanted = math.ceil(reps * 1.2 * min_time_ns / max(elapsed, 1))
        reps = max(reps * 2, min(wanted, reps * 100))


def measure(sides, config):
    """Times every side in rounds; each round runs each side once, in an order
    that rotates from round to round, so slow drifts of the machine's load hit
    all sides alike. Returns {name: {"reps", "samples" (ns per call)}}."""
    # timeit compiles the statement into its loop: no extra Python call per
    # repetition, and the garbage collector stays off while timing.
    timers = {s.name: timeit.Timer(s.stmt, globals=dict(s.names), timer=time.perf_counter_ns) for s in sides}
    reps = {name: calibrate(timer, config.min_time_ns) for name, timer in timers.items()}
    samples = {name: [] for name in timers}
    names = list(timers)
    start = time.perf_counter_ns()
    rounds = 0
    while rounds < config.max_rounds and (
        rounds < config.min_rounds or time.perf_counter_ns() - start < config.budget_ns
    ):
        shift = rounds % len(names)
        for name in names[shift:] + names[:shift]:
            samples[name].append(timers[name].timeit(reps[name]) / reps[name])
        rounds += 1
    return {name: {"reps": reps[name], "samples": samples[name]} for name in names}


def summarise(timings):
    sides = {}
    for name, timing in timings.items():
        samples = timing["samples"]
        sides[name] = {
            "median_ns": statistics.median(samples),
            "min_ns": min(samples),
            "reps": timing["reps"],
            "rounds": len(samples),
            "samples_ns": list(samples),
        }
    ratios = {}
    own = timings["halvorn"]["samples"]
    for name, timing in timings.items():
        if name != "halvorn":
            # Paired within each round: both sides saw the same machine load.
            ratios[name] = statistics.median(h / p for h, p in zip(own, timing["samples"]))
            # Kept beside it: on a crowded machine the fastest timing of each
            # side is the one least disturbed, so this one swings less.
            sides[name]["ratio_of_minima"] = min(own) / min(timing["samples"])
    return sides, ratios


class Run:
    """Collects the cases of one run."""

    def __init__(self, config):
        self.config = config
        self.cases = []
        self.memory = []
        self.notes = []

    def case(self, family, op, dtype, shape, sides, check=None, **extra):
        timings = measure(sides, self.config)
        side_summary, ratios = summarise(timings)
        record = {
            "id": f"{family}/{op}/{dtype}/{shape_text(shape)}",
            "family": family,
            "op": op,
            "dtype": dtype,
            "shape": list(shape),
            "n": product(shape),
            "sides": side_summary,
            "ratios": ratios,
            "check": check if check is not None else "not checked",
            **extra,
        }
        self.cases.append(record)
        shown = "  ".join(f"{peer} {ratio:.2f}" for peer, ratio in ratios.items())
        flag = "" if record["check"] in ("ok", "not checked") else f"  CHECK {record['check']}"
        print(f"  {record['id']:<36} {format_time(side_summary['halvorn']['median_ns']):>10}  {shown}{flag}",
              file=sys.stderr, flush=True)
        return record


# ---------------------------------------------------------------------------
# Operands


def has(name):
    return hasattr(halvorn, name)


def fn(operation, dtype):
    return getattr(halvorn, f"quorva_{operation}_{dtype}")


def computed(dtype, shape, value):
    """A tensor holding value everywhere that comes out of an operation, like
    the tensors real programs pass around (no constant-fill record on it)."""
    return fn("add", dtype)(fn("full", dtype)(list(shape), value), fn("zeros", dtype)(list(shape)))


def varied(dtype, shape, offset=0.0):
    """Operands with varied values where the module can make them (uniform
    [offset, offset + 1) for floats), else a computed constant."""
    if dtype in FLOAT_TYPES and has(f"quorva_rand_{dtype}"):
        values = fn("rand", dtype)(list(shape))
        if offset:
            values = fn("add", dtype)(values, fn("full", dtype)(list(shape), offset))
        return values
    if dtype in INT_TYPES:
        return computed(dtype, shape, 3 + int(offset))
    return computed(dtype, shape, 1.5 + offset)


def to_numpy(tensor, dtype):
    return np.array(tensor.to_list(), dtype=NUMPY_TYPE[dtype]).reshape(tensor.shape)


def same_bits(got, expected):
    """Exact equality, including the sign of zero and NaN payloads for floats."""
    if got.shape != expected.shape or got.dtype != expected.dtype:
        return False
    if got.dtype.kind == "f":
        unsigned = np.uint32 if got.dtype.itemsize == 4 else np.uint64
        return np.array_equal(got.view(unsigned), expected.view(unsigned))
    return np.array_equal(got, expected)


def verdict(ok, what):
    return "ok" if ok else f"FAIL: {what}"


# ---------------------------------------------------------------------------
# Case families

ARITHMETIC_PEERS = {"add": np.add, "sub": np.subtract, "mul": np.multiply}


def bench_elementwise(run):
    """add/sub/mul/div on every size and one 2-D shape, against the allocating
    ufunc (fair: halvorn allocates its result), the same ufunc with out=, and
    the 48n-byte memory-traffic limit."""
    config = run.config
    shapes = [(n,) for n in config.sizes] + [tuple(config.shape2d)]
    for dtype in TYPES:
        for shape in shapes:
            n = product(shape)
            a = varied(dtype, shape)
            # Divisors stay away from zero: a zero divisor ends the process.
            b = varied(dtype, shape, offset=1.0) if dtype in FLOAT_TYPES else computed(dtype, shape, 7)
            x, y = to_numpy(a, dtype), to_numpy(b, dtype)
            z = np.empty_like(x)
            lx, ly, lz = np.full(2 * n, 1.5), np.full(2 * n, 2.5), np.zeros(2 * n)
            limit = side("limit", "f(x, y, out=z)", f=np.add, x=lx, y=ly, z=lz)
            for op in ["add", "sub", "mul", "div"]:
                if op == "div" and dtype in INT_TYPES:
                    # No module function divides integers; the method does.
                    mine = side("halvorn", "a.__divide__(b)", a=a, b=b)
                    peer = np.floor_divide  # equal to truncation: operands are positive
                    result = a.__divide__(b)
                else:
                    mine = side("halvorn", "f(a, b)", f=fn(op, dtype), a=a, b=b)
                    peer = np.divide if op == "div" else ARITHMETIC_PEERS[op]
                    result = fn(op, dtype)(a, b)
                check = verdict(same_bits(to_numpy(result, dtype), peer(x, y)), "differs from NumPy")
                del result
                run.case("elementwise", op, dtype, shape, [
                    mine,
                    side("numpy", "f(x, y)", f=peer, x=x, y=y),
                    side("numpy_out", "f(x, y, out=z)", f=peer, x=x, y=y, z=z),
                    limit,
                ], check=check, peer=peer.__name__)


def bench_factories(run):
    """full/zeros/ones against np.full/np.zeros/np.ones, and full/ones against
    the 16n-byte write limit (z.fill on 2n preallocated float64)."""
    for dtype in TYPES:
        value = 3 if dtype in INT_TYPES else 2.5
        for n in run.config.sizes:
            z = np.zeros(2 * n)
            for op in ["full", "zeros", "ones"]:
                fill = {"full": value, "zeros": 0, "ones": 1}[op]
                args = "s, v" if op == "full" else "s"
                mine = side("halvorn", f"f({args})", f=fn(op, dtype), s=[n], v=value)
                peer = {"full": np.full, "zeros": np.zeros, "ones": np.ones}[op]
                sides = [mine, side("numpy", f"f({args}, dtype=d)", f=peer, s=(n,), v=value, d=NUMPY_TYPE[dtype])]
                if op != "zeros":
                    sides.append(side("limit", "z.fill(v)", z=z, v=float(fill)))
                made = fn(op, dtype)(*([[n], value] if op == "full" else [[n]]))
                check = verdict(made.shape == [n] and all(v == fill for v in made.to_list()), f"not all {fill}")
                del made
                run.case("factory", op, dtype, (n,), sides, check=check, peer=peer.__name__)


def bench_random(run):
    """rand/randn against NumPy's default generator (PCG64)."""
    rng = np.random.default_rng()
    for op, peer in [("rand", rng.random), ("randn", rng.standard_normal)]:
        for dtype in FLOAT_TYPES:
            if not has(f"quorva_{op}_{dtype}"):
                run.notes.append(f"quorva_{op}_{dtype} is not in this build: skipped")
                continue
            for n in run.config.sizes:
                values = np.array(fn(op, dtype)([n]).to_list())
                check = verdict(check_random(op, values), "values out of range or off their distribution")
                run.case("random", op, dtype, (n,), [
                    side("halvorn", "f(s)", f=fn(op, dtype), s=[n]),
                    side("numpy", "f(n, dtype=d)", f=peer, n=n, d=NUMPY_TYPE[dtype]),
                ], check=check, peer=f"Generator.{peer.__name__}")


def check_random(op, values):
    if values.size == 0:
        return True
    if not np.all(np.isfinite(values)):
        return False
    if op == "rand" and not (values.min() >= 0.0 and values.max() < 1.0):
        return False
    if values.size >= 4096:
        # Far outside sampling noise (more than 5 standard errors) at n >= 4096.
        if op == "rand":
            return abs(values.mean() - 0.5) < 0.025
        return abs(values.mean()) < 0.08 and abs(values.std() - 1.0) < 0.06
    return True


def sequential_product(x, y):
    """The sequential definition, in the element type: for each output,
    acc = 0; acc = acc + x[r, t] * y[t, c] for t = 0, 1, ..., one rounding per
    operation. Vectorised over the outputs, never over t."""
    acc = np.zeros((x.shape[0], y.shape[1]), dtype=x.dtype)
    for t in range(x.shape[1]):
        acc = acc + x[:, t : t + 1] * y[t : t + 1, :]
    return acc


DOT_KINDS = {
    # kind: (left shape, right shape) for size s
    "vector x matrix": lambda s: ((s,), (s, s)),
    "matrix x vector": lambda s: ((s, s), (s,)),
    "matrix x matrix": lambda s: ((s, s), (s, s)),
}


def dot_bounds(kind, dtype, s):
    """The peers that say how close dot comes to its own limit.

    limit (vector and matrix products): np.dot(z, z) over 2 s^2 float64, which
    reads the 16 s^2 bytes of the matrix's packets once, as dot must.
    peak (float matrix products): the register-only kernel doing the s^3
    multiply-then-add pairs as separate operations in the widest vectors, the
    best any exactly ordered sum can do."""
    if kind != "matrix x matrix":
        z = np.full(2 * s * s, 1.5)
        return [side("limit", "f(z, z)", f=np.dot, z=z)]
    if dtype in FLOAT_TYPES and halvorn_testing is not None:
        peak = getattr(halvorn_testing, f"peak_multiply_add_{dtype}")
        return [side("peak", "f(n, 0.5, 0.5)", f=peak, n=s ** 3)]
    return []


def bench_dot(run):
    """Vector x matrix, matrix x vector and matrix x matrix against np.matmul
    (OpenBLAS on one thread for floats, NumPy's own loops for integers), the
    read of the matrix (vector products) and the exact-order peak (float
    matrix products). Float results must be bit-identical to the sequential
    definition."""
    if halvorn_testing is None:
        run.notes.append("halvorn_testing is not built (./dev build builds it): no exact-order peak for dot")
    else:
        run.notes.append(f"exact-order peak: 16 multiply-then-add chains in {halvorn_testing.peak_vector_width()}")
    for dtype in TYPES:
        for s in run.config.dot_sizes:
            for kind, shapes in DOT_KINDS.items():
                left, right = shapes(s)
                if dtype in FLOAT_TYPES:
                    a, b = varied(dtype, left), varied(dtype, right)
                else:
                    a, b = computed(dtype, left, 3), computed(dtype, right, 2)
                x, y = to_numpy(a, dtype), to_numpy(b, dtype)
                got = to_numpy(fn("dot", dtype)(a, b), dtype)
                if dtype in FLOAT_TYPES:
                    x2 = x.reshape(1, -1) if x.ndim == 1 else x
                    y2 = y.reshape(-1, 1) if y.ndim == 1 else y
                    expected = sequential_product(x2, y2).reshape(np.matmul(x, y).shape)
                    exact = same_bits(got, expected)
                    check = verdict(exact, "not bit-identical to the sequential definition")
                else:
                    # Wrapping integer sums do not depend on the order.
                    exact = None
                    check = verdict(same_bits(got, np.matmul(x, y)), "differs from NumPy")
                run.case("dot", kind, dtype, (s,), [
                    side("halvorn", "f(a, b)", f=fn("dot", dtype), a=a, b=b),
                    side("numpy", "f(x, y)", f=np.matmul, x=x, y=y),
                    *dot_bounds(kind, dtype, s),
                ], check=check, exact=exact, peer="matmul", operands=[list(left), list(right)])


def bench_export(run):
    """to_list against ndarray.tolist, repr against NumPy's repr (informational:
    the two texts differ in form and in where they cut off)."""
    for dtype in TYPES:
        for n in run.config.sizes:
            t = varied(dtype, (n,))
            x = to_numpy(t, dtype)
            check = verdict(t.to_list() == x.tolist(), "differs from ndarray.tolist")
            run.case("export", "to_list", dtype, (n,), [
                side("halvorn", "t.to_list()", t=t),
                side("numpy", "x.tolist()", x=x),
            ], check=check, peer="ndarray.tolist")
            text = repr(t)
            check = verdict(isinstance(text, str) and text == str(t) and len(text) > 0, "repr and str disagree")
            run.case("export", "repr", dtype, (n,), [
                side("halvorn", "repr(t)", t=t),
                side("numpy", "repr(x)", x=x),
            ], check=check, peer="repr(ndarray)")


def bench_interop(run):
    """quorva_array_* from a contiguous array against the bytes a float64
    import moves, 8n read and 16n written (np.copyto casting 2n float32 into
    2n float64, which NumPy does at memory speed; narrower types read less),
    and from nested lists against np.array(list, dtype); the zero-copy exports
    np.asarray and np.from_dlpack against the same calls on an ndarray
    (informational: both are O(1))."""
    for dtype in TYPES:
        for n in run.config.sizes:
            x = to_numpy(varied(dtype, (n,)), dtype)
            convert, values = fn("array", dtype), x.tolist()
            narrow, wide = np.ones(2 * n, dtype=np.float32), np.empty(2 * n)
            made = convert(x)
            check = verdict(same_bits(np.asarray(made), x) and same_bits(np.asarray(convert(values)), x),
                            "import differs from its source")
            run.case("interop", "import array", dtype, (n,), [
                side("halvorn", "f(x)", f=convert, x=x),
                side("limit", "copyto(z, y)", copyto=np.copyto, z=wide, y=narrow),
            ], check=check, peer="copyto")
            run.case("interop", "import list", dtype, (n,), [
                side("halvorn", "f(v)", f=convert, v=values),
                side("numpy", "f(v, dtype=d)", f=np.array, v=values, d=NUMPY_TYPE[dtype]),
            ], check=check, peer="array")
            for op, call in [("asarray", np.asarray), ("from_dlpack", np.from_dlpack)]:
                peer = memoryview(x) if op == "asarray" else x
                run.case("interop", op, dtype, (n,), [
                    side("halvorn", "f(t)", f=call, t=made),
                    side("numpy", "f(p)", f=call, p=peer),
                ], check=verdict(same_bits(call(made), x), "view differs"), peer=op)


def bench_floor(run):
    """The cost of getting into native code and back at all."""
    a, b = computed("float64", (1,), 1.5), computed("float64", (1,), 2.5)
    x, y = to_numpy(a, "float64"), to_numpy(b, "float64")
    run.case("floor", "add", "float64", (1,), [
        side("halvorn", "f(a, b)", f=halvorn.quorva_add_float64, a=a, b=b),
        side("numpy", "f(x, y)", f=np.add, x=x, y=y),
    ], peer="add")
    run.case("floor", "shape", "float64", (1,), [
        side("halvorn", "a.shape", a=a),
        side("numpy", "x.shape", x=x),
    ], peer="ndarray.shape")


# The probe runs in a fresh interpreter per case: peak resident memory can only
# be reset process-wide, and a heap that earlier cases grew would hide a
# temporary. It imports halvorn only, so the baseline stays small.
MEMORY_PROBE = r"""
import json, resource, sys
import halvorn

op, dtype, n = sys.argv[1], sys.argv[2], int(sys.argv[3])

def status():
    values = {}
    with open("/proc/self/status") as lines:
        for line in lines:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) * 1024
    return values

start = status()["VmRSS"]
# Straight from the factory, with no temporaries: the peak so far is the
# current footprint, which also keeps the ru_maxrss fallback honest.
full = getattr(halvorn, "quorva_full_" + dtype)
a = full([n], 3)
b = full([n], 7)
if op == "div" and dtype.startswith("int"):
    run = lambda: a.__divide__(b)
else:
    f = getattr(halvorn, "quorva_" + op + "_" + dtype)
    run = lambda: f(a, b)
try:
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")  # resets VmHWM to the current VmRSS
    method = "VmHWM after reset"
except OSError:
    method = "ru_maxrss"
before = status()["VmRSS"]
result = run()
if method == "ru_maxrss":
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
else:
    peak = status()["VmHWM"]
print(json.dumps({"method": method, "operands": before - start, "growth": peak - before}))
"""


def bench_memory(run):
    """Peak resident growth of one element-wise operation beyond its operands:
    the result's 16n bytes and nothing else (no temporaries), with 1 MiB of
    slack for the interpreter. Equivalently, with the 32n bytes of operands,
    the whole operation stays within 48n + 1 MiB."""
    n = run.config.memory_n
    for dtype in TYPES:
        for op in ["add", "sub", "mul", "div"]:
            probe = subprocess.run(
                [sys.executable, "-c", MEMORY_PROBE, op, dtype, str(n)],
                capture_output=True, text=True, timeout=120,
            )
            if probe.returncode != 0:
                raise RuntimeError(f"memory probe {op} {dtype} failed: {probe.stderr.strip()}")
            measured = json.loads(probe.stdout)
            bound = 16 * n + MIB
            record = {
                "id": f"memory/{op}/{dtype}/{n}",
                "op": op,
                "dtype": dtype,
                "n": n,
                "result_bytes": 16 * n,
                "operand_bytes": measured["operands"],
                "growth_bytes": measured["growth"],
                "bound_bytes": bound,
                "method": measured["method"],
                "met": measured["growth"] <= bound,
            }
            run.memory.append(record)
            print(f"  {record['id']:<36} growth {measured['growth'] / MIB:.2f} MiB (bound {bound / MIB:.2f})",
                  file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Targets: halvorn time / peer time must stay at or below the bound.


@dataclass
class Target:
    label: str
    peer: str
    bound: float
    applies: object  # case -> bool
    needs_exact: bool = False


def elementwise(case, ops):
    return case["family"] == "elementwise" and case["op"] in ops


TARGETS = [
    Target("add/sub/mul, n <= 16", "numpy", 0.7,
           lambda c: elementwise(c, {"add", "sub", "mul"}) and c["n"] <= 16),
    Target("add/sub/mul/div (float), n >= 65536", "limit", 1.0,
           lambda c: elementwise(c, {"add", "sub", "mul", "div"}) and c["dtype"] in FLOAT_TYPES
           and c["n"] >= 65536),
    Target("integer div, n >= 65536", "numpy", 1.0,
           lambda c: elementwise(c, {"div"}) and c["dtype"] in INT_TYPES and c["n"] >= 65536),
    Target("dot float, matrix x matrix 256 and 512, bit-identical", "numpy", 2.0,
           lambda c: c["family"] == "dot" and c["op"] == "matrix x matrix" and c["dtype"] in FLOAT_TYPES
           and c["n"] in (256, 512), needs_exact=True),
    Target("dot vector x matrix and matrix x vector, 256 and 512", "limit", 1.2,
           lambda c: c["family"] == "dot" and c["op"] != "matrix x matrix" and c["n"] in (256, 512)),
    # At least 75% of the peak: time at most 1 / 0.75 of the peak's.
    Target("dot float, matrix x matrix 256 and 512, >= 75% of the exact-order peak", "peak", 1.33,
           lambda c: c["family"] == "dot" and c["op"] == "matrix x matrix" and c["dtype"] in FLOAT_TYPES
           and c["n"] in (256, 512) and "peak" in c["sides"]),
    Target("dot int, matrix x matrix 256", "numpy", 0.1,
           lambda c: c["family"] == "dot" and c["op"] == "matrix x matrix" and c["dtype"] in INT_TYPES
           and c["n"] == 256),
    Target("full/ones, n >= 65536", "limit", 0.75,
           lambda c: c["family"] == "factory" and c["op"] in ("full", "ones") and c["n"] >= 65536),
    Target("zeros, n >= 65536", "numpy", 1.5,
           lambda c: c["family"] == "factory" and c["op"] == "zeros" and c["n"] >= 65536),
    Target("rand, n >= 65536", "numpy", 1.0,
           lambda c: c["family"] == "random" and c["op"] == "rand" and c["n"] >= 65536),
    Target("randn, n >= 65536", "numpy", 0.8,
           lambda c: c["family"] == "random" and c["op"] == "randn" and c["n"] >= 65536),
    Target("to_list, n = 1048576", "numpy", 1.0,
           lambda c: c["family"] == "export" and c["op"] == "to_list" and c["n"] == 1048576),
    Target("quorva_array_* from an array, n = 1048576", "limit", 1.3,
           lambda c: c["family"] == "interop" and c["op"] == "import array" and c["n"] == 1048576),
    Target("quorva_array_* from lists, n = 1048576", "numpy", 1.0,
           lambda c: c["family"] == "interop" and c["op"] == "import list" and c["n"] == 1048576),
]
MEMORY_TARGET = "element-wise peak memory: growth <= 16n + 1 MiB (total <= 48n + 1 MiB)"


def apply_targets(cases):
    for case in cases:
        case["targets"] = []
        for target in TARGETS:
            if target.applies(case):
                ratio = case["ratios"][target.peer]
                met = ratio <= target.bound and (not target.needs_exact or case.get("exact") is True)
                case["targets"].append({"target": target.label, "peer": target.peer, "bound": target.bound,
                                        "ratio": ratio, "met": met,
                                        "ratio_of_minima": case["sides"][target.peer]["ratio_of_minima"]})


PEER_TEXT = {"numpy": "NumPy", "limit": "limit (bytes moved)", "peak": "exact-order peak"}


def target_summary(run):
    rows = []
    for target in TARGETS:
        hits = [(case, t) for case in run.cases for t in case["targets"] if t["target"] == target.label]
        row = {"target": target.label, "peer": PEER_TEXT[target.peer], "bound": target.bound, "cases": len(hits),
               "met": sum(t["met"] for _, t in hits)}
        if hits:
            worst_case, worst = max(hits, key=lambda hit: hit[1]["ratio"])
            row.update(worst_ratio=worst["ratio"], worst_case=worst_case["id"],
                       worst_ratio_of_minima=max(t["ratio_of_minima"] for _, t in hits))
        rows.append(row)
    if run.memory:
        worst = max(run.memory, key=lambda m: m["growth_bytes"] / m["result_bytes"])
        rows.append({"target": MEMORY_TARGET, "peer": "growth / (16n + 1 MiB)", "bound": 1.0,
                     "cases": len(run.memory),
                     "met": sum(m["met"] for m in run.memory),
                     "worst_ratio": worst["growth_bytes"] / worst["bound_bytes"], "worst_case": worst["id"]})
    return rows


# ---------------------------------------------------------------------------
# What ran where


def blas_report():
    report = {}
    if threadpoolctl is not None:
        report["threadpoolctl"] = threadpoolctl.threadpool_info()
    try:
        config = np.show_config(mode="dicts")
        report["numpy_build"] = config.get("Build Dependencies", {})
    except Exception as error:  # older NumPy: no dicts mode
        report["numpy_build"] = {"error": repr(error)}
    return report


def blas_line(report):
    pools = [p for p in report.get("threadpoolctl", []) if p.get("user_api") == "blas"]
    if pools:
        return "; ".join(
            f"{p.get('internal_api')} {p.get('version')} (kernel {p.get('architecture')}, "
            f"{p.get('threading_layer')}, {p.get('num_threads')} thread{'s' if p.get('num_threads') != 1 else ''})"
            for p in pools)
    blas = report.get("numpy_build", {}).get("blas", {})
    return f"{blas.get('name', 'unknown')} {blas.get('version', '')} (threadpoolctl not available)"


def revision():
    # Inside the dev root the repository's metadata may be out of reach; the
    # entry script passes the revision in.
    if os.environ.get("HALVORN_REVISION"):
        return os.environ["HALVORN_REVISION"]
    try:
        out = subprocess.run(["git", "-C", str(CHECKOUT), "describe", "--always", "--dirty"],
                             capture_output=True, text=True, timeout=10)
        if out.returncode == 0:
            return out.stdout.strip()
    except OSError:
        pass
    return "unknown"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def environment_report():
    unset = json.loads(os.environ.get(UNSET_MARKER, "{}"))
    kept = {key: os.environ[key] for key in BLAS_OVERRIDES if key in os.environ}
    return {"unset": unset, "kept": kept, "OPENBLAS_NUM_THREADS": os.environ.get("OPENBLAS_NUM_THREADS")}


# ---------------------------------------------------------------------------
# Output


def format_time(ns):
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.3g} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3g} s"


def target_cells(case):
    if not case.get("targets"):
        return "", ""
    text = "; ".join(f"≤ {t['bound']} × {PEER_HEADINGS[t['peer']]}" for t in case["targets"])
    met = "; ".join("yes" if t["met"] else "**no**" for t in case["targets"])
    return text, met


PEER_HEADINGS = {"numpy": "NumPy", "numpy_out": "NumPy out=", "limit": "limit", "peak": "peak"}


def family_table(cases, first_heading, peers, extra_columns=()):
    head = [first_heading, "type", "size", "halvorn"]
    for peer in peers:
        head += [PEER_HEADINGS[peer], f"× {PEER_HEADINGS[peer]}"]
    head += [heading for heading, _ in extra_columns] + ["target", "met", "check"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for case in cases:
        row = [case["op"], case["dtype"], shape_text(case["shape"]), format_time(case["sides"]["halvorn"]["median_ns"])]
        for peer in peers:
            if peer in case["sides"]:
                row += [format_time(case["sides"][peer]["median_ns"]), f"{case['ratios'][peer]:.2f}"]
            else:
                row += ["", ""]
        row += [cell(case) for _, cell in extra_columns]
        row += list(target_cells(case))
        row.append(case["check"] if case["check"] != "not checked" else "")
        lines.append("| " + " | ".join(row) + " |")
    return lines


def summary_rows(summary):
    rows = []
    for row in summary:
        worst = f"{row['worst_ratio']:.2f}" if "worst_ratio" in row else ""
        minima = f"{row['worst_ratio_of_minima']:.2f}" if "worst_ratio_of_minima" in row else ""
        met = f"{row['met']}/{row['cases']}" if row["cases"] else "no cases"
        rows.append(f"| {row['target']} | {row['peer']} | ≤ {row['bound']} | {met} | {worst} | "
                    f"{row.get('worst_case', '')} | {minima} |")
    return rows


def render_markdown(meta, run, summary):
    cases = run.cases
    out = [
        "# halvorn benchmark",
        "",
        f"Command: `{meta['command']}`  ",
        f"Date: {meta['date']}, revision {meta['revision']}  ",
        f"Machine: {meta['cpu']}, {meta['cores']} cores; load average {meta['load_before']} at the start, "
        f"{meta['load_after']} at the end  ",
        f"Python {meta['python']}, NumPy {meta['numpy']}, BLAS: {meta['blas_line']}  ",
    ]
    env = meta["environment"]
    if env["unset"]:
        out.append("Unset for this run, so that OpenBLAS picks its own kernel for this processor: "
                   + ", ".join(f"{k}={v}" for k, v in env["unset"].items()) + "  ")
    if env["kept"]:
        out.append("Kept as found (--keep-blas-env): " + ", ".join(f"{k}={v}" for k, v in env["kept"].items()) + "  ")
    out += [
        f"Wall time {meta['seconds']:.0f} s{' (--quick)' if meta['quick'] else ''}.",
        "",
        "Each case times halvorn and its peers in alternating rounds in one process (the order rotates each "
        "round); a timing repeats the call until it lasts at least "
        f"{meta['settings']['min_time_ns'] / 1e6:g} ms. Times are medians per call; a ratio is the median over "
        "rounds of halvorn's time divided by the peer's time in the same round, so below 1 means halvorn is faster. "
        "The ratio of minima (fastest halvorn timing over fastest peer timing) is shown beside it in the targets "
        "table: on a crowded machine it swings less, since the fastest timing is the least disturbed one.",
        "",
        "## Targets",
        "",
        "| target | peer | bound | met | worst ratio | worst case | worst ratio of minima |",
        "|---|---|---|---|---|---|---|",
    ]
    out += summary_rows(summary)
    failed = [c["id"] for c in cases if c["check"].startswith("FAIL")]
    if failed:
        out += ["", "**Wrong results** (see the check column): " + ", ".join(failed)]
    for note in run.notes:
        out += ["", f"Note: {note}"]

    def section(title, text, rows):
        return ["", f"## {title}", "", text, "", *rows] if rows else []

    per_element = ("ns/elem", lambda c: f"{c['sides']['halvorn']['median_ns'] / max(c['n'], 1):.3g}")
    family = lambda name: [c for c in cases if c["family"] == name]  # noqa: E731
    out += ["", "![time per element against n](bench.png)"]
    out += section(
        "Element-wise arithmetic",
        "NumPy: the ufunc allocating its result, as halvorn does (np.add, np.subtract, np.multiply, np.divide; "
        "np.floor_divide for integer division, which halvorn reaches through `__divide__`). NumPy out=: the same "
        "ufunc into a preallocated array. limit: np.add(x, y, out=z) on float64 arrays of 2n elements, the 48n "
        "bytes a halvorn operation moves.",
        family_table(family("elementwise"), "op", ["numpy", "numpy_out", "limit"], [per_element]))
    out += section(
        "Constant factories",
        "NumPy: np.full / np.zeros / np.ones (np.zeros takes fresh zero pages from the system and touches "
        "none). limit: z.fill(v) on 2n preallocated float64, the 16n bytes a fill writes.",
        family_table(family("factory"), "op", ["numpy", "limit"], [per_element]))
    out += section(
        "Random factories",
        "NumPy: `np.random.default_rng()` (PCG64), `random` and `standard_normal` with the matching dtype.",
        family_table(family("random"), "op", ["numpy"], [per_element]))
    exact = ("exact", lambda c: {True: "yes", False: "**no**", None: ""}[c.get("exact")])
    of_peak = ("of peak", lambda c: f"{100 / c['ratios']['peak']:.0f}%" if "peak" in c["ratios"] else "")
    out += section(
        "Dot product",
        "NumPy: np.matmul with the matching dtype (OpenBLAS, one thread, for floats; NumPy's own loops for "
        "integers). Size s: vector [s] x matrix [s, s], matrix [s, s] x vector [s], matrix [s, s] x matrix "
        "[s, s]. limit (vector products): np.dot(z, z) over 2 s^2 float64, the 16 s^2 bytes of matrix packets "
        "dot reads. peak (float matrix products): 16 independent multiply-then-add chains in registers, in the "
        "widest vectors, doing the same s^3 pairs as separate operations; of peak is its time over dot's. "
        "exact: float results bit-identical to the sequential definition (one rounding per multiply "
        "and per add, summed in index order).",
        family_table(family("dot"), "product", ["numpy", "limit", "peak"], [of_peak, exact]))
    out += section(
        "List export and text",
        "NumPy: ndarray.tolist() and repr(ndarray) of the same values (repr is informational: the texts "
        "differ in form and in where they cut off).",
        family_table(family("export"), "op", ["numpy"]))
    out += section(
        "NumPy in and out",
        "import array: quorva_array_* from a contiguous ndarray of the type; limit: np.copyto casting 2n "
        "float32 into 2n float64, the 8n bytes read and 16n written of a float64 import. import list: from x.tolist(), against np.array(list, "
        "dtype). asarray, from_dlpack: the zero-copy views, against the same call on the ndarray (asarray "
        "through a memoryview, so both go through the buffer protocol).",
        family_table(family("interop"), "op", ["numpy", "limit"], [per_element]))
    out += section(
        "Call floor",
        "The cheapest calls: quorva_add_float64 on one element against np.add on a one-element array, and the "
        "`shape` getter against ndarray.shape.",
        family_table(family("floor"), "call", ["numpy"]))
    if run.memory:
        out += ["", "## Peak memory of element-wise operations", "",
                "One fresh interpreter per case; operands come straight from quorva_full_*. growth: peak resident "
                "memory during the operation minus resident memory before it ("
                + run.memory[0]["method"] + "). The result holds 16n bytes; the bound 16n + 1 MiB allows no "
                "temporaries.", "",
                "| op | type | n | operands | growth | bound | growth / 16n | met |",
                "|---|---|---|---|---|---|---|---|"]
        for m in run.memory:
            out.append(f"| {m['op']} | {m['dtype']} | {m['n']} | {m['operand_bytes'] / MIB:.2f} MiB | "
                       f"{m['growth_bytes'] / MIB:.2f} MiB | {m['bound_bytes'] / MIB:.2f} MiB | "
                       f"{m['growth_bytes'] / m['result_bytes']:.2f} | {'yes' if m['met'] else '**no**'} |")
    return "\n".join(out) + "\n"


def render_plot(run, path):
    """Time per element against n, log-log: add float64 (with the 48n-byte
    limit) and full float64 (with the 16n-byte write limit)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        run.notes.append("matplotlib is not installed: no plot")
        return False
    panels = [("elementwise", "add", "add float64: halvorn vs np.add", ["numpy", "numpy_out", "limit"]),
              ("factory", "full", "full float64: halvorn vs np.full", ["numpy", "limit"])]
    labels = {"halvorn": "halvorn", "numpy": "NumPy (allocating)", "numpy_out": "NumPy out=",
              "limit": "memory-traffic limit"}
    figure, axes = plt.subplots(1, len(panels), figsize=(11, 4.2))
    for axis, (family, op, title, peers) in zip(axes, panels):
        cases = sorted((c for c in run.cases if c["family"] == family and c["op"] == op
                        and c["dtype"] == "float64" and len(c["shape"]) == 1), key=lambda c: c["n"])
        for name in ["halvorn", *peers]:
            points = [(c["n"], c["sides"][name]["median_ns"] / c["n"]) for c in cases if name in c["sides"]]
            if points:
                label = labels[name]
                if family == "factory" and name == "numpy":
                    label = "NumPy np.full"
                if family == "factory" and name == "limit":
                    label = "write limit (z.fill, 16n bytes)"
                axis.plot(*zip(*points), marker="o", label=label, linestyle="--" if name == "limit" else "-")
        axis.set_xscale("log", base=2)
        sizes = [c["n"] for c in cases]
        axis.set_xticks(sizes, [size_label(n) for n in sizes])
        axis.minorticks_off()
        axis.set_yscale("log")
        axis.set_xlabel("n (elements)")
        axis.set_ylabel("ns per element (median)")
        axis.set_title(title)
        axis.grid(True, which="both", alpha=0.3)
        if cases:  # a run limited to other families leaves this panel empty
            axis.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def size_label(n):
    for unit, scale in (("Mi", 1 << 20), ("Ki", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale}{unit}"
    return str(n)


README_BEGIN = "<!-- bench:begin -->"
README_END = "<!-- bench:end -->"


def publish(meta, summary, out_dir):
    """Copies the table and plot to docs/ and the targets summary into README.md."""
    docs = CHECKOUT / "docs"
    docs.mkdir(exist_ok=True)
    shutil.copyfile(out_dir / "bench.md", docs / "bench.md")
    if (out_dir / "bench.png").exists():
        shutil.copyfile(out_dir / "bench.png", docs / "bench.png")
    lines = [README_BEGIN,
             f"Made by `{meta['command']}` on {meta['date']} (revision {meta['revision']}, {meta['cpu']}, "
             f"load average {meta['load_before']} at the start, {meta['load_after']} at the end); NumPy {meta['numpy']}, BLAS {meta['blas_line']}. "
             "Ratios are halvorn time / peer time measured in the same rounds; below 1 means halvorn is faster. "
             "Every case: [docs/bench.md](docs/bench.md).",
             "",
             "| target | peer | bound | met | worst ratio | worst case | worst ratio of minima |",
             "|---|---|---|---|---|---|---|"]
    lines += summary_rows(summary)
    lines += ["", "![time per element against n](docs/bench.png)", README_END]
    readme = CHECKOUT / "README.md"
    text = readme.read_text()
    if README_BEGIN in text and README_END in text:
        head, rest = text.split(README_BEGIN, 1)
        tail = rest.split(README_END, 1)[1]
        text = head + "\n".join(lines) + tail
    else:
        text = text.rstrip("\n") + "\n\n## Benchmarks\n\n" + "\n".join(lines) + "\n"
    readme.write_text(text)


# ---------------------------------------------------------------------------


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="./dev bench", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and rounds: seconds, not minutes")
    parser.add_argument("--out", type=Path, default=CHECKOUT / "bench-results", help="output directory")
    parser.add_argument("--only", help="comma-separated families: " + ",".join(FAMILIES))
    parser.add_argument("--sizes", help="comma-separated element counts")
    parser.add_argument("--shape2d", help="the 2-D element-wise shape, e.g. 1024x1024")
    parser.add_argument("--dot-sizes", help="comma-separated matrix sizes for dot")
    parser.add_argument("--memory-n", type=int, help="element count of the peak-memory cases")
    parser.add_argument("--publish", action="store_true", help="copy the results to docs/ and README.md")
    parser.add_argument("--keep-blas-env", action="store_true",
                        help="leave OPENBLAS_CORETYPE/OPENBLAS_L2_SIZE as found instead of unsetting them")
    return parser.parse_args(argv)


def make_config(args):
    settings = dict(QUICK_SETTINGS if args.quick else FULL_SETTINGS)
    if args.sizes:
        settings["sizes"] = [int(v) for v in args.sizes.split(",")]
    if args.shape2d:
        settings["shape2d"] = tuple(int(v) for v in args.shape2d.split("x"))
    if args.dot_sizes:
        settings["dot_sizes"] = [int(v) for v in args.dot_sizes.split(",")]
    if args.memory_n:
        settings["memory_n"] = args.memory_n
    families = args.only.split(",") if args.only else FAMILIES
    unknown = set(families) - set(FAMILIES)
    if unknown:
        raise SystemExit(f"unknown families: {', '.join(sorted(unknown))}")
    return Config(families=families, quick=args.quick, **settings)


def main(argv):
    args = parse_arguments(argv)
    config = make_config(args)
    if threadpoolctl is not None:
        # Belt and braces next to OPENBLAS_NUM_THREADS: it also holds when
        # the environment variable was read too late.
        threadpoolctl.threadpool_limits(limits=1, user_api="blas")
    blas = blas_report()
    started = time.time()
    load_before = " ".join(f"{v:.2f}" for v in os.getloadavg())
    run = Run(config)
    benches = {"elementwise": bench_elementwise, "factory": bench_factories, "random": bench_random,
               "dot": bench_dot, "export": bench_export, "interop": bench_interop, "floor": bench_floor,
               "memory": bench_memory}
    for name in config.families:
        print(f"{name}:", file=sys.stderr, flush=True)
        benches[name](run)
    apply_targets(run.cases)
    summary = target_summary(run)
    meta = {
        "command": " ".join(["./dev bench", *argv]).strip(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "revision": revision(),
        "cpu": cpu_model(),
        "cores": os.cpu_count(),
        "load_before": load_before,
        "load_after": " ".join(f"{v:.2f}" for v in os.getloadavg()),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "blas_line": blas_line(blas),
        "blas": blas,
        "environment": environment_report(),
        "settings": {k: v for k, v in vars(config).items()},
        "quick": config.quick,
        "seconds": time.time() - started,
    }
    out_dir = args.out
    out_dir.mkdir(parents=True, exist_ok=True)
    plotted = render_plot(run, out_dir / "bench.png") if run.cases else False
    meta["plot"] = "bench.png" if plotted else None
    (out_dir / "bench.md").write_text(render_markdown(meta, run, summary))
    (out_dir / "bench.json").write_text(json.dumps(
        {"meta": meta, "targets": summary, "cases": run.cases, "memory": run.memory, "notes": run.notes},
        indent=1, default=str) + "\n")
    if args.publish:
        publish(meta, summary, out_dir)
    print(f"\nBLAS: {meta['blas_line']}")
    for row in summary:
        worst = f"worst {row['worst_ratio']:.2f} ({row['worst_case']})" if "worst_ratio" in row else ""
        print(f"  {row['met']}/{row['cases']} met  {row['target']} (≤ {row['bound']}, {row['peer']})  {worst}")
    print(f"Wrote {out_dir / 'bench.md'}, bench.json{', bench.png' if plotted else ''}"
          f"{' and published to docs/ and README.md' if args.publish else ''}")
    failed = [c["id"] for c in run.cases if c["check"].startswith("FAIL")]
    if failed:
        print("Wrong results: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
