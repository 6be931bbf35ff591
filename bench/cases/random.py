"""The random factories rand and randn."""

from __future__ import annotations

import halvorn
import numpy as np

from ..family import PER_ELEMENT, Family
from ..operands import FLOAT_TYPES, NUMPY_TYPE, fn, has, verdict
from ..timing import side


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
    # The seeded halvorn.Generator draws with the same kernels: held to the
    # module functions, timed in the same rounds.
    if not hasattr(halvorn, "Generator"):
        run.notes.append("halvorn.Generator is not in this build: skipped")
        return
    generator = halvorn.Generator(2026)
    for op in ["rand", "randn"]:
        for dtype in FLOAT_TYPES:
            method = getattr(generator, f"{op}_{dtype}")
            for n in run.config.sizes:
                check = verdict(check_random(op, np.array(method([n]).to_list())),
                                "values out of range or off their distribution")
                run.case("random", f"Generator.{op}", dtype, (n,), [
                    side("halvorn", "f(s)", f=method, s=[n]),
                    side("module", "f(s)", f=fn(op, dtype), s=[n]),
                ], check=check, peer=f"quorva_{op}_{dtype}")


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


FAMILY = Family(
    name="random",
    run=bench_random,
    title="Random factories",
    text="NumPy: `np.random.default_rng()` (PCG64), `random` and `standard_normal` with the matching dtype. "
    "quorva_*: the module function of the same op and type, against a seeded `halvorn.Generator`.",
    first_heading="op",
    peers=("numpy", "module"),
    columns=(PER_ELEMENT,),
)
