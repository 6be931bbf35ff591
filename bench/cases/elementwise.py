"""add/sub/mul/div on every size and one 2-D shape."""

from __future__ import annotations

import numpy as np

from ..family import PER_ELEMENT, Family
from ..limits import elementwise_traffic
from ..operands import FLOAT_TYPES, INT_TYPES, TYPES, computed, fn, same_bits, to_numpy, varied, verdict
from ..timing import product, side

ARITHMETIC_PEERS = {"add": np.add, "sub": np.subtract, "mul": np.multiply}


def bench_elementwise(run):
    """add/sub/mul/div on every size and one 2-D shape, against the allocating
    ufunc (fair: halvorn allocates its result), the same ufunc with out=, and
    the 48n-byte memory-traffic limit."""
    config = run.config
    shapes = [(n,) for n in config.sizes] + [tuple(config.shape2d)]
    for dtype in TYPES:
        for shape in shapes:
            n = product(shape)
            a = varied(dtype, shape)
            # Divisors stay away from zero: a zero divisor ends the process.
            b = varied(dtype, shape, offset=1.0) if dtype in FLOAT_TYPES else computed(dtype, shape, 7)
            x, y = to_numpy(a, dtype), to_numpy(b, dtype)
            z = np.empty_like(x)
            limit = elementwise_traffic(n)
            for op in ["add", "sub", "mul", "div"]:
                if op == "div" and dtype in INT_TYPES:
                    # No module function divides integers; the method does.
                    mine = side("halvorn", "a.__divide__(b)", a=a, b=b)
                    peer = np.floor_divide  # equal to truncation: operands are positive
                    result = a.__divide__(b)
                else:
                    mine = side("halvorn", "f(a, b)", f=fn(op, dtype), a=a, b=b)
                    peer = np.divide if op == "div" else ARITHMETIC_PEERS[op]
                    result = fn(op, dtype)(a, b)
                check = verdict(same_bits(to_numpy(result, dtype), peer(x, y)), "differs from NumPy")
                del result
                run.case("elementwise", op, dtype, shape, [
                    mine,
                    side("numpy", "f(x, y)", f=peer, x=x, y=y),
                    side("numpy_out", "f(x, y, out=z)", f=peer, x=x, y=y, z=z),
                    limit,
                ], check=check, peer=peer.__name__)


FAMILY = Family(
    name="elementwise",
    run=bench_elementwise,
    title="Element-wise arithmetic",
    text="NumPy: the ufunc allocating its result, as halvorn does (np.add, np.subtract, np.multiply, np.divide; "
    "np.floor_divide for integer division, which halvorn reaches through `__divide__`). NumPy out=: the same "
    "ufunc into a preallocated array. limit: np.add(x, y, out=z) on float64 arrays of 2n elements, the 48n "
    "bytes a halvorn operation moves. Integer division moves those 48n bytes too, where NumPy's moves 6n "
    "(int16) or 12n (int32): beside its NumPy target it is held to the limit.",
    first_heading="op",
    peers=("numpy", "numpy_out", "limit"),
    columns=(PER_ELEMENT,),
)
