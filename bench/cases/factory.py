"""The constant factories full, zeros and ones."""

from __future__ import annotations

import numpy as np

from ..family import PER_ELEMENT, Family
from ..limits import fill_traffic
from ..operands import INT_TYPES, NUMPY_TYPE, TYPES, fn, verdict
from ..timing import side


def bench_factories(run):
    """full/zeros/ones against np.full/np.zeros/np.ones, and full/ones against
    the 16n-byte write limit (z.fill on 2n preallocated float64)."""
    for dtype in TYPES:
        value = 3 if dtype in INT_TYPES else 2.5
        for n in run.config.sizes:
            for op in ["full", "zeros", "ones"]:
                fill = {"full": value, "zeros": 0, "ones": 1}[op]
                args = "s, v" if op == "full" else "s"
                mine = side("halvorn", f"f({args})", f=fn(op, dtype), s=[n], v=value)
                peer = {"full": np.full, "zeros": np.zeros, "ones": np.ones}[op]
                sides = [mine, side("numpy", f"f({args}, dtype=d)", f=peer, s=(n,), v=value, d=NUMPY_TYPE[dtype])]
                if op != "zeros":
                    sides.append(fill_traffic(n, fill))
                made = fn(op, dtype)(*([[n], value] if op == "full" else [[n]]))
                check = verdict(made.shape == [n] and all(v == fill for v in made.to_list()), f"not all {fill}")
                del made
                run.case("factory", op, dtype, (n,), sides, check=check, peer=peer.__name__)


FAMILY = Family(
    name="factory",
    run=bench_factories,
    title="Constant factories",
    text="NumPy: np.full / np.zeros / np.ones (np.zeros takes fresh zero pages from the system and touches "
    "none). limit: z.fill(v) on 2n preallocated float64, the 16n bytes a fill writes.",
    first_heading="op",
    peers=("numpy", "limit"),
    columns=(PER_ELEMENT,),
)
