"""Arguments, the run of the chosen families, and the files it writes."""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from . import __doc__ as PACKAGE_DOC
from . import kernels
from .cases import FAMILIES
from .environment import CHECKOUT, PACKAGE, environment_report
from .machine import blas_line, blas_report, cpu_model, hold_blas_to_one_thread, load_average, revision
from .plot import render_plot
from .report import kernels_text, publish, render_markdown
from .settings import FULL_SETTINGS, QUICK_SETTINGS, Config
from .targets import apply_targets, target_summary
from .timing import Run


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="./dev bench", description=PACKAGE_DOC.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and rounds: seconds, not minutes")
    parser.add_argument("--out", type=Path, default=CHECKOUT / "bench-results",
                        help="output directory (a full --publish: a directory per set in it)")
    parser.add_argument("--only", help="comma-separated families: " + ",".join(FAMILIES))
    parser.add_argument("--sizes", help="comma-separated element counts")
    parser.add_argument("--shape2d", help="the 2-D element-wise shape, e.g. 1024x1024")
    parser.add_argument("--dot-sizes", help="comma-separated matrix sizes for dot")
    parser.add_argument("--chained-sizes", help="comma-separated element counts of the chained expressions")
    parser.add_argument("--memory-n", type=int, help="element count of the peak-memory cases")
    parser.add_argument("--cap", choices=kernels.SETS, metavar="SET",
                        help="cap halvorn's kernels at this instruction set (" + ", ".join(kernels.SETS)
                        + "), as the tests are capped; refused before any timing if this CPU does not run it")
    parser.add_argument("--publish", action="store_true",
                        help="publish to docs/ one table per instruction set this CPU runs, each from a full "
                        "run of its own on a quiet machine, and the targets summary of every published set: "
                        "on an AVX-512 machine three runs, so three times as long as one full run. With --cap "
                        "SET, that set's run alone, replacing only its part of the published files")
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
    if args.chained_sizes:
        settings["chained_sizes"] = [int(v) for v in args.chained_sizes.split(",")]
    if args.memory_n:
        settings["memory_n"] = args.memory_n
    families = args.only.split(",") if args.only else list(FAMILIES)
    unknown = set(families) - set(FAMILIES)
    if unknown:
        raise SystemExit(f"unknown families: {', '.join(sorted(unknown))}")
    return Config(families=families, quick=args.quick, **settings)


# Published figures come from a quiet machine only: above this one-minute
# load average another process shares the cores, and the ratios show it.
QUIET_LOAD = 0.3
# The run itself holds the one-minute average near 1; once it stops, that
# decays below QUIET_LOAD in about 75 s, unless something else keeps it up.
# A run waits this long for it at its start as at its end.
SETTLE_SECONDS = 180


def too_busy_to_publish(when, settle_seconds=0):
    """None on a quiet machine, else why it is not; waits up to settle_seconds
    for the load average to fall."""
    deadline = time.monotonic() + settle_seconds
    while (load := os.getloadavg()[0]) >= QUIET_LOAD and time.monotonic() < deadline:
        time.sleep(5)
    if load < QUIET_LOAD:
        return None
    return (f"--publish needs a quiet machine: the load average was {load:.2f} {when}, "
            f"at least {QUIET_LOAD}")


def settle_kernels(wanted):
    """Caps the kernels at wanted (None: the widest this CPU runs, as a user's
    program gets) and returns what the run measures, for its reports; stops
    here, before any timing, if this CPU cannot run wanted."""
    runs = kernels.usable_sets()
    if wanted is not None:
        if runs is None:
            raise SystemExit(f"--cap {wanted} needs the test companion halvorn_testing, which ./dev build "
                             "builds with the tests; it does not import here. Nothing was timed")
        if wanted not in runs or kernels.cap(wanted) != wanted:
            raise SystemExit(f"--cap {wanted}: this CPU ({cpu_model()}) runs {', '.join(runs)} kernels, "
                             f"not {wanted}. Nothing was timed")
    return {"set": kernels.chosen(), "cap": wanted, "cpu_runs": list(runs) if runs is not None else None}


def publish_every_set(argv, args):
    """One capped run per set this CPU runs, each in a process of its own, as
    --publish --cap SET runs it alone: each checks its own quiet, writes its
    results to a directory of its own under --out and publishes its part.
    Stops at the first set that is not published."""
    runs = kernels.usable_sets()
    if runs is None:
        raise SystemExit("--publish measures each instruction set in turn, capping the kernels through the "
                         "test companion halvorn_testing, which ./dev build builds with the tests; it does not "
                         "import here")
    if busy := too_busy_to_publish("at the start", SETTLE_SECONDS):
        raise SystemExit(busy)
    for index, name in enumerate(runs):
        print(f"--publish: {name} kernels, run {index + 1} of {len(runs)}", file=sys.stderr, flush=True)
        done = subprocess.run([sys.executable, "-m", PACKAGE, *argv, "--cap", name, "--out", str(args.out / name)])
        if done.returncode != 0:
            print(f"--publish stopped at {name}, whose run ended with status {done.returncode} (its output above "
                  "says why). Each set from it on can be published alone: "
                  + "; ".join(f"./dev bench --publish --cap {rest}" for rest in runs[index:]), file=sys.stderr)
            return done.returncode
    print(f"Published {', '.join(runs)}: docs/bench-SET.md for each, the summary in docs/benchmarks.md")
    return 0


def main(argv):
    args = parse_arguments(argv)
    config = make_config(args)
    if args.publish and args.cap is None:
        return publish_every_set(argv, args)
    measured = settle_kernels(args.cap)
    # A set's run under a full --publish starts just as the one before it
    # settled: starting up alone lifted the load over the line and stopped it.
    if args.publish and (busy := too_busy_to_publish("at the start", SETTLE_SECONDS)):
        raise SystemExit(busy)
    print(f"halvorn kernels: {kernels_text({'kernels': measured})}", file=sys.stderr, flush=True)
    hold_blas_to_one_thread()
    blas = blas_report()
    started = time.time()
    load_before = load_average()
    run = Run(config)
    for name in config.families:
        print(f"{name}:", file=sys.stderr, flush=True)
        FAMILIES[name].run(run)
    apply_targets(run.cases)
    summary = target_summary(run)
    meta = {
        "command": " ".join(["./dev bench", *argv]).strip(),
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "revision": revision(),
        "cpu": cpu_model(),
        "kernels": measured,
        "cores": os.cpu_count(),
        "load_before": load_before,
        "load_after": load_average(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "blas_line": blas_line(blas),
        "blas": blas,
        "environment": environment_report(),
        "settings": {k: v for k, v in vars(config).items()},
        "quick": config.quick,
        "seconds": time.time() - started,
    }
    busy = None
    if args.publish:
        print(f"Waiting up to {SETTLE_SECONDS} s for the load average to settle below {QUIET_LOAD}",
              file=sys.stderr, flush=True)
        busy = too_busy_to_publish("at the end", SETTLE_SECONDS)
        # The run's own load is still in the average as it ends; what the
        # machine does besides shows once that has decayed.
        meta["load_settled"] = load_average()
    out_dir = args.out
    out_dir.mkdir(parents=True, exist_ok=True)
    plotted = render_plot(run, out_dir / "bench.png") if run.cases else False
    meta["plot"] = "bench.png" if plotted else None
    (out_dir / "bench.md").write_text(render_markdown(meta, run, summary))
    (out_dir / "bench.json").write_text(json.dumps(
        {"meta": meta, "targets": summary, "cases": run.cases, "memory": run.memory, "notes": run.notes},
        indent=1, default=str) + "\n")
    if args.publish and not busy:
        publish(meta, summary, out_dir)
    print(f"\nKernels: {kernels_text(meta)} on {meta['cpu']}")
    print(f"BLAS: {meta['blas_line']}")
    for row in summary:
        worst = f"worst {row['worst_ratio']:.2f} ({row['worst_case']})" if "worst_ratio" in row else ""
        limited = f", {row['at_limit']} at its measured limit" if row.get("at_limit") else ""
        print(f"  {row['met']}/{row['cases']} met{limited}  {row['target']} (≤ {row['bound']}, {row['peer']})  {worst}")
    print(f"Wrote {out_dir / 'bench.md'}, bench.json{', bench.png' if plotted else ''}"
          f"{' and published to docs/' if args.publish and not busy else ''}")
    if busy:
        print(f"Not published: {busy}", file=sys.stderr)
        return 1
    failed = [c["id"] for c in run.cases if c["check"].startswith("FAIL")]
    if failed:
        print("Wrong results: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0
