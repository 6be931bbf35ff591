"""Chained expressions: every temporary's block is made and dropped in turn.

A single operation writes a result that outlives the call; a chain such as
a * b + a also drops the intermediate product at once. What that costs beyond
the operations themselves (the blocks' page faults, above all) shows here.
Each case runs in a fresh interpreter, the worst state a user's first script
sees: nothing has moved the heap's thresholds yet."""

from __future__ import annotations

import dataclasses
import json
import resource
import subprocess
import sys

from ..family import PER_ELEMENT, Family
from ..kernels import check_inherited

# The expression, and how many element-wise operations it performs.
EXPRESSIONS = {"a*b+a": 2, "(a*b+c)*d-e": 4}
STATEMENT = {"a*b+a": "a * b + a", "(a*b+c)*d-e": "(a * b + c) * d - e"}
WARM_UP = 3
COUNTED = 20


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def faults_per_evaluation(evaluate):
    """Minor page faults of one evaluation in steady state: after a few
    evaluations have settled whatever the process keeps between them."""
    for _ in range(WARM_UP):
        evaluate()
    before = minor_faults()
    for _ in range(COUNTED):
        evaluate()
    return (minor_faults() - before) / COUNTED


def measure_case(config, expression, dtype, n):
    """Runs in the fresh interpreter: times one expression at one size, counts
    its faults, checks its result against NumPy and returns the case record."""
    from ..limits import elementwise_traffic
    from ..operands import same_bits, to_numpy, varied
    from ..timing import Run, side

    shape = (n,)
    # Distinct operands: uniform draws for floats, small constants for integers.
    operands = {name: varied(dtype, shape, offset=float(k)) for k, name in enumerate("abcde")}
    if expression == "a*b+a":
        operands = {name: operands[name] for name in "ab"}
    statement = STATEMENT[expression]
    code = compile(statement, "<chained>", "eval")
    faults = faults_per_evaluation(lambda: eval(code, {}, operands))
    ops = EXPRESSIONS[expression]
    limit = elementwise_traffic(n)
    # One operation's traffic limit, as many times as the chain has operations.
    limit = side("limit", "; ".join([limit.stmt] * ops), **limit.names)
    run = Run(config)
    record = run.case("chained", expression, dtype, shape, [side("halvorn", statement, **operands), limit],
                      ops=ops, faults=faults)
    # Checked last: the lists and arrays of the check must not move the heap
    # before the timing.
    arrays = {name: to_numpy(tensor, dtype) for name, tensor in operands.items()}
    got = to_numpy(eval(code, {}, operands), dtype)
    expected = eval(code, {}, arrays)
    record["check"] = "ok" if same_bits(got, expected) else "FAIL: differs from NumPy"
    return record


def bench_chained(run):
    """Each expression, type and size in an interpreter of its own."""
    from ..operands import TYPES

    config = json.dumps(dataclasses.asdict(run.config))
    for expression in EXPRESSIONS:
        for dtype in TYPES:
            for n in run.config.chained_sizes:
                probe = subprocess.run([sys.executable, "-c", f"from {__name__} import main; main()",
                                        config, expression, dtype, str(n)],
                                       capture_output=True, text=True, timeout=600)
                if probe.returncode != 0:
                    raise RuntimeError(f"chained {expression} {dtype} {n} failed: {probe.stderr.strip()}")
                sys.stderr.write(probe.stderr)
                record = json.loads(probe.stdout)
                check_inherited(record.pop("kernels"), f"chained {expression} {dtype} {n}")
                run.cases.append(record)


def faults_cell(case):
    return f"{case['faults']:.1f}"


FAMILY = Family(
    name="chained",
    run=bench_chained,
    title="Chained expressions",
    text="Each case in a fresh interpreter. limit: the element-wise limit (np.add(x, y, out=z) on 2n float64, "
    "48n bytes) once per operation of the expression, 2 for a*b+a and 4 for (a*b+c)*d-e. faults: minor page "
    f"faults per evaluation (ru_minflt) over {COUNTED} evaluations after {WARM_UP} of warm-up; with transparent "
    "huge pages one fault may clear 2 MiB, so a fraction of a fault per evaluation can still cost microseconds.",
    first_heading="expression",
    peers=("limit",),
    columns=(PER_ELEMENT, ("faults/eval", faults_cell)),
)


def main():
    """The fresh interpreter's entry: prints the case record as JSON."""
    from ..kernels import follow_inherited_cap
    from ..settings import Config

    kernels = follow_inherited_cap()
    settings, expression, dtype, n = sys.argv[1:]
    record = measure_case(Config(**json.loads(settings)), expression, dtype, int(n))
    print(json.dumps({**record, "kernels": kernels}))
