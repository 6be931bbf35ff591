"""Targets: halvorn time / peer time must stay at or below the bound.

A target names the peer it holds halvorn to: NumPy, or one of the limits of
bench/limits.py where NumPy does different work. A new target is one entry in
TARGETS; the summary keeps this order."""

from __future__ import annotations

import math
import statistics
from dataclasses import dataclass

from .operands import FLOAT_TYPES, INT_TYPES
from .timing import PEER_TEXT


@dataclass
class Target:
    label: str
    peer: str
    bound: float
    applies: object  # case -> bool
    needs_exact: bool = False
    # (label, bound) of a second requirement on the same cases: the geometric
    # mean of their ratios, summarised in a row of its own after this one.
    mean: tuple[str, float] | None = None
    # A side that does only what this design cannot avoid (the packets'
    # traffic, say). Where that side alone is beyond the bound, the target
    # cannot be met by this design: a miss is shown at that measured limit
    # rather than as a failure.
    floor: str | None = None


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
    # Two 16-byte packets read and one written per element, 48 bytes where
    # NumPy's integer division moves 6 (int16) or 12 (int32): the time to move
    # them is the bound that the packet layout leaves reachable.
    Target("integer div, n >= 65536, at the 48 bytes per element it moves", "limit", 1.0,
           lambda c: elementwise(c, {"div"}) and c["dtype"] in INT_TYPES and c["n"] >= 65536),
    Target("dot float, matrix x matrix 256 and 512, bit-identical", "numpy", 2.0,
           lambda c: c["family"] == "dot" and c["op"] == "matrix x matrix" and c["dtype"] in FLOAT_TYPES
           and c["n"] in (256, 512), needs_exact=True),
    Target("dot vector x matrix and matrix x vector, 256 and 512", "limit", 1.2,
           lambda c: c["family"] == "dot" and c["op"] != "matrix x matrix" and c["n"] in (256, 512)),
    # At least 75% of the peak over the sizes together (time at most 1 / 0.75
    # of the peak's, as a geometric mean), and no size below 69%.
    Target("dot float, matrix x matrix 256 to 1024, >= 69% of the exact-order peak, every case", "peak", 1.45,
           lambda c: c["family"] == "dot" and c["op"] == "matrix x matrix" and c["dtype"] in FLOAT_TYPES
           and c["n"] in (256, 512, 1024) and "peak" in c["sides"],
           mean=("dot float, matrix x matrix 256 to 1024, >= 75% of the exact-order peak, geometric mean", 1.33)),
    # The larger of the bytes a product must move and its multiply-adds at
    # the exact-order peak, for rows, columns and terms of every proportion.
    Target("dot, products of every shape, <= 1.3 x the roofline, every case", "roofline", 1.3,
           lambda c: c["family"] == "shapes",
           mean=("dot, products of every shape, geometric mean of the ratios to the roofline", 1.15)),
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
    # The same kernels behind a method of a seeded generator.
    Target("Generator rand/randn, every size", "module", 1.1,
           lambda c: c["family"] == "random" and c["op"].startswith("Generator.")),
    Target("to_list, n = 1048576", "numpy", 1.0,
           lambda c: c["family"] == "export" and c["op"] == "to_list" and c["n"] == 1048576),
    # Whatever else to_list does, it makes one Python number per element and a
    # list for them; that cost, paid the cheapest way, is its bound.
    Target("to_list, n = 1048576, at the cost of making the Python numbers", "numbers", 1.0,
           lambda c: c["family"] == "export" and c["op"] == "to_list" and c["n"] == 1048576),
    Target("quorva_array_* from an array, n = 1048576", "limit", 1.3,
           lambda c: c["family"] == "interop" and c["op"] == "import array" and c["n"] == 1048576),
    Target("quorva_array_* from lists, n = 1048576", "numpy", 1.0,
           lambda c: c["family"] == "interop" and c["op"] == "import list" and c["n"] == 1048576),
    # Both pickles hold the same bytes; a tensor's also pass between packets
    # and the payload, reading 16 bytes per element out and writing 16 back in.
    # Taking int32 values out of their packets and back alone moves 40 bytes
    # per element, where NumPy's round trip copies 16.
    Target("pickle round trip, n = 1048576, protocols 4 and 5", "numpy", 2.0,
           lambda c: c["family"] == "pickle" and c["n"] == 1048576, floor="limit"),
    # Both carry the values, itemsize bytes each, out of the packets and back;
    # the rest (Dask's header, pickle's few bytes) should cost next to nothing.
    Target("Dask serialize+deserialize and pickle 5 out of band, n = 1048576", "limit", 1.3,
           lambda c: c["family"] == "transfer" and c["op"] in ("dask serialize+deserialize", "pickle 5, out of band")
           and c["n"] == 1048576),
    # The same bytes cross the wire for both; a tensor's also pass in and out
    # of packets at each end, and its chain moves twice NumPy's bytes.
    Target("Dask round trip (scatter, a*a+a, gather), n = 1048576", "numpy", 2.0,
           lambda c: c["family"] == "transfer" and c["op"].startswith("dask round trip") and c["n"] == 1048576),
    # halvorn.dask on a LocalCluster of 2 worker processes, operands persisted
    # there, results computed to the caller. Two workers share X^T X's imports
    # and sums, which one process does alone.
    Target("halvorn.dask.dot X^T X, X of [4000000, 8] in 16 chunks", "one_process", 0.75,
           lambda c: dask_case(c, {"dot X^T X"}) and c["shape"] == [4_000_000, 8]),
    Target("halvorn.dask.dot [2048, 2048] . [2048, 2048], chunks of 512", "dask", 2.0,
           lambda c: dask_case(c, {"dot"}) and c["shape"] == [2048, 2048]),
    Target("halvorn.dask.add/mul, float64 and int32, 2^24 elements in 16 chunks", "dask", 1.5,
           lambda c: dask_case(c, {"add", "mul"}) and c["n"] == 1 << 24),
    Target("Dask client.scatter of 16 float64 tensors of 2^20 (hash=True)", "numpy", 1.2,
           lambda c: dask_case(c, {"scatter"}) and c["n"] == 1 << 20),
    # The limit side of a chain runs one operation's limit once per operation.
    Target("chained a*b+a, (a*b+c)*d-e, n >= 10000, every case", "limit", 1.35,
           lambda c: chained(c), mean=("chained a*b+a, (a*b+c)*d-e, n >= 10000, geometric mean", 1.1)),
]
MEMORY_TARGET = "element-wise peak memory: growth <= 16n + 1 MiB (total <= 48n + 1 MiB)"
CHAINED_FAULTS_TARGET = ("chained a*b+a, (a*b+c)*d-e, n >= 10000, minor page faults per evaluation", 64)


def dask_case(case, ops):
    return case["family"] == "dask" and case["op"] in ops


def chained(case):
    return case["family"] == "chained" and case["n"] >= 10000


def apply_targets(cases):
    for case in cases:
        case["targets"] = []
        for target in TARGETS:
            if target.applies(case):
                ratio = case["ratios"][target.peer]
                met = ratio <= target.bound and (not target.needs_exact or case.get("exact") is True)
                held = {"target": target.label, "peer": target.peer, "bound": target.bound, "ratio": ratio,
                        "met": met, "ratio_of_minima": case["sides"][target.peer]["ratio_of_minima"]}
                if target.floor in case["ratios"]:
                    # The floor's own time over the peer's: (h / p) / (h / f).
                    held["floor_ratio"] = ratio / case["ratios"][target.floor]
                    held["at_limit"] = not met and held["floor_ratio"] > target.bound
                case["targets"].append(held)


def geometric_mean(values):
    return math.exp(statistics.fmean(math.log(value) for value in values))


def mean_row(target, hits):
    """The target's mean requirement: met by all its cases or by none."""
    label, bound = target.mean
    mean = geometric_mean(t["ratio"] for _, t in hits)
    worst_case, _ = max(hits, key=lambda hit: hit[1]["ratio"])
    return {"target": label, "peer": PEER_TEXT[target.peer], "bound": bound, "cases": len(hits),
            "met": len(hits) if mean <= bound else 0, "worst_ratio": mean,
            "worst_case": f"geometric mean; worst {worst_case['id']}",
            "worst_ratio_of_minima": geometric_mean(t["ratio_of_minima"] for _, t in hits)}


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
            limited = [t for _, t in hits if t.get("at_limit")]
            if limited:
                row.update(at_limit=len(limited), limit_ratio=min(t["floor_ratio"] for t in limited))
        rows.append(row)
        if target.mean is not None and hits:
            rows.append(mean_row(target, hits))
    chains = [case for case in run.cases if chained(case)]
    if chains:
        label, bound = CHAINED_FAULTS_TARGET
        worst = max(chains, key=lambda case: case["faults"])
        rows.append({"target": label, "peer": "faults", "bound": bound, "cases": len(chains),
                     "met": sum(case["faults"] <= bound for case in chains), "worst_ratio": worst["faults"],
                     "worst_case": worst["id"]})
    if run.memory:
        worst = max(run.memory, key=lambda m: m["growth_bytes"] / m["result_bytes"])
        rows.append({"target": MEMORY_TARGET, "peer": "growth / (16n + 1 MiB)", "bound": 1.0,
                     "cases": len(run.memory),
                     "met": sum(m["met"] for m in run.memory),
                     "worst_ratio": worst["growth_bytes"] / worst["bound_bytes"], "worst_case": worst["id"]})
    return rows
