"""Peak resident memory of the element-wise operations."""

from __future__ import annotations

import json
import subprocess
import sys

from ..environment import PACKAGE
from ..family import Family
from ..kernels import check_inherited
from ..operands import MIB, TYPES

# The probe runs in a fresh interpreter per case: peak resident memory can only
# be reset process-wide, and a heap that earlier cases grew would hide a
# temporary. It imports halvorn and the run's kernel cap only, so the baseline
# stays small.
MEMORY_PROBE = r"""
import json, resource, sys
import halvorn
from {PACKAGE}.kernels import follow_inherited_cap

kernels = follow_inherited_cap()

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
print(json.dumps({"method": method, "operands": before - start, "growth": peak - before, "kernels": kernels}))
""".replace("{PACKAGE}", PACKAGE)


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
            check_inherited(measured["kernels"], f"the memory probe of {op} {dtype}")
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


def render_memory(run):
    if not run.memory:
        return []
    lines = ["", f"## {FAMILY.title}", "",
             "One fresh interpreter per case; operands come straight from quorva_full_*. growth: peak resident "
             "memory during the operation minus resident memory before it ("
             + run.memory[0]["method"] + "). The result holds 16n bytes; the bound 16n + 1 MiB allows no "
             "temporaries.", "",
             "| op | type | n | operands | growth | bound | growth / 16n | met |",
             "|---|---|---|---|---|---|---|---|"]
    for m in run.memory:
        lines.append(f"| {m['op']} | {m['dtype']} | {m['n']} | {m['operand_bytes'] / MIB:.2f} MiB | "
                     f"{m['growth_bytes'] / MIB:.2f} MiB | {m['bound_bytes'] / MIB:.2f} MiB | "
                     f"{m['growth_bytes'] / m['result_bytes']:.2f} | {'yes' if m['met'] else '**no**'} |")
    return lines


FAMILY = Family(
    name="memory",
    run=bench_memory,
    title="Peak memory of element-wise operations",
    text="",
    render=render_memory,
)
