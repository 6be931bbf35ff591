"""Timing: calibration, alternating rounds, and the summary of each case."""

from __future__ import annotations

import math
import statistics
import sys
import time
import timeit
from dataclasses import dataclass


@dataclass
class Side:
    """One contestant of a case: a statement and the names it uses."""

    name: str
    stmt: str
    names: dict


def side(name, stmt, **names):
    return Side(name, stmt, names)


# Every side other than halvorn's: its column heading in the tables, and how
# the targets summary names it when a target holds halvorn to it.
PEER_HEADINGS = {"numpy": "NumPy", "numpy_out": "NumPy out=", "limit": "limit", "peak": "peak",
                 "numbers": "numbers", "binding": "binding floor", "module": "quorva_*",
                 "roofline": "roofline", "one_process": "one process", "dask": "Dask"}
PEER_TEXT = {"numpy": "NumPy", "limit": "limit (bytes moved)", "peak": "exact-order peak",
             "numbers": "making the Python numbers", "binding": "binding floor",
             "module": "the module function (quorva_rand_*, quorva_randn_*)",
             "roofline": "roofline (the slower of limit and peak)",
             "one_process": "halvorn in one process (the client), on the whole operands",
             "dask": "Dask's own operation"}


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


def product(shape):
    return math.prod(shape)


def shape_text(shape):
    return "x".join(str(extent) for extent in shape) if shape else "()"


def format_time(ns):
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.3g} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.3g} ms"
    return f"{ns / 1e9:.3g} s"


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
