"""The instruction set halvorn's kernels run in, and the cap a run puts on it.

The module picks its kernels' instruction set at run time; the test companion
halvorn_testing can cap that choice, the same way the tests marked "kernels"
are steered. Every call the harness makes to steer it is in this module, so
that a change of the companion's interface is a change here alone.

A cap holds in the process that sets it. The families that time their cases
in fresh interpreters (chained, memory) or in Dask's worker processes take it
from the environment variable below, set with the cap, and report the set
they ran, which the run checks against its own.

This module imports nothing heavy: those fresh interpreters import it first."""

from __future__ import annotations

import os

# The names the companion's cap takes, narrowest first.
SETS = ("sse4.1", "avx2", "avx512")
CAP_VARIABLE = "HALVORN_BENCH_KERNELS"

try:
    import halvorn_testing
except ImportError:  # the harness still runs uncapped; its reports say the set is unknown
    halvorn_testing = None


def usable_sets():
    """The sets this CPU runs, narrowest first; None without the companion."""
    return None if halvorn_testing is None else tuple(halvorn_testing.instruction_sets())


def chosen():
    """The set the kernels run in now; None without the companion."""
    return None if halvorn_testing is None else halvorn_testing.chosen_kernels()


def cap(name):
    """Caps the kernels at name here and in the interpreters started from now
    on; returns the set they run in."""
    os.environ[CAP_VARIABLE] = name
    return halvorn_testing.cap_kernels(name)


def follow_inherited_cap():
    """In a fresh interpreter of a run: takes the run's cap, if it set one,
    and returns the set the kernels run in."""
    if os.environ.get(CAP_VARIABLE):
        cap(os.environ[CAP_VARIABLE])
    return chosen()


def check_inherited(got, where):
    """What a fresh interpreter or a worker of the run measured must be the
    run's own set, or its figures would be another set's."""
    if got != chosen():
        raise RuntimeError(f"{where} ran the {got} kernels where the run runs {chosen()}")
