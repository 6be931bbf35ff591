"""The BLAS environment, settled before NumPy loads.

This module imports nothing heavy: the entry point calls it before NumPy is
imported, because OpenBLAS reads its environment once, when it loads."""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parents[1]
PACKAGE = __name__.rpartition(".")[0]
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
            # The working directory and PYTHONPATH carry over, so the package
            # is found again the way it was found this time.
            os.execve(sys.executable, [sys.executable, "-m", PACKAGE, *argv], cleaned)
    # halvorn runs on one thread; a BLAS on two would not be the same work.
    os.environ["OPENBLAS_NUM_THREADS"] = "1"
    os.environ["OMP_NUM_THREADS"] = "1"


def environment_report():
    unset = json.loads(os.environ.get(UNSET_MARKER, "{}"))
    kept = {key: os.environ[key] for key in BLAS_OVERRIDES if key in os.environ}
    return {"unset": unset, "kept": kept, "OPENBLAS_NUM_THREADS": os.environ.get("OPENBLAS_NUM_THREADS")}
