"""What ran where: the BLAS NumPy uses, the processor, the revision."""

from __future__ import annotations

import os
import platform
import subprocess

import numpy as np

from .environment import CHECKOUT

try:
    import threadpoolctl
except ImportError:  # the harness still runs; the BLAS report says less
    threadpoolctl = None


def hold_blas_to_one_thread():
    if threadpoolctl is not None:
        # Belt and braces next to OPENBLAS_NUM_THREADS: it also holds when
        # the environment variable was read too late.
        threadpoolctl.threadpool_limits(limits=1, user_api="blas")


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


def load_average():
    return " ".join(f"{v:.2f}" for v in os.getloadavg())
