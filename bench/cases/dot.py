"""Vector x matrix, matrix x vector and matrix x matrix products."""

from __future__ import annotations

import numpy as np

from ..family import Family
from ..limits import exact_order_peak, matrix_read, peak_note
from ..operands import FLOAT_TYPES, TYPES, computed, fn, same_bits, to_numpy, varied, verdict
from ..timing import side


def sequential_product(x, y):
    """The sequential definition, in the element type: for each output,
    acc = 0; acc = acc + x[r, t] * y[t, c] for t = 0, 1, ..., one rounding per
    operation. Vectorised over the outputs, never over t: np.add.accumulate
    adds strictly in order along its axis (it never sums pairwise), a block of
    terms at a time after the sums so far."""
    rows, terms = x.shape
    acc = np.zeros((1, rows, y.shape[1]), dtype=x.dtype)
    block = max(1, (1 << 22) // max(acc.size, 1))
    for start in range(0, terms, block):
        products = x[:, start : start + block].T[:, :, None] * y[start : start + block, None, :]
        acc = np.add.accumulate(np.concatenate([acc, products]), axis=0)[-1:]
    return acc[0]


# NumPy multiplies integer matrices with its own loops, not BLAS: at 1024 one
# call takes seconds (int32 about 4 s here), and the harness times several.
# Larger integer products are left out; the float ones run at every size.
LARGEST_INTEGER_PRODUCT = 512

DOT_KINDS = {
    # kind: (left shape, right shape) for size s
    "vector x matrix": lambda s: ((s,), (s, s)),
    "matrix x vector": lambda s: ((s, s), (s,)),
    "matrix x matrix": lambda s: ((s, s), (s, s)),
}


def dot_bounds(kind, dtype, s):
    """The peers that say how close dot comes to its own limit: the read of
    the matrix for vector products, the exact-order peak for float matrix
    products."""
    if kind != "matrix x matrix":
        return [matrix_read(s)]
    if dtype in FLOAT_TYPES:
        peak = exact_order_peak(dtype, s)
        if peak is not None:
            return [peak]
    return []


def bench_dot(run):
    """Vector x matrix, matrix x vector and matrix x matrix against np.matmul
    (OpenBLAS on one thread for floats, NumPy's own loops for integers), the
    read of the matrix (vector products) and the exact-order peak (float
    matrix products). Float results must be bit-identical to the sequential
    definition."""
    run.notes.append(peak_note())
    for dtype in TYPES:
        for s in run.config.dot_sizes:
            for kind, shapes in DOT_KINDS.items():
                if kind == "matrix x matrix" and dtype not in FLOAT_TYPES and s > LARGEST_INTEGER_PRODUCT:
                    continue
                left, right = shapes(s)
                if dtype in FLOAT_TYPES:
                    a, b = varied(dtype, left), varied(dtype, right)
                else:
                    a, b = computed(dtype, left, 3), computed(dtype, right, 2)
                x, y = to_numpy(a, dtype), to_numpy(b, dtype)
                got = to_numpy(fn("dot", dtype)(a, b), dtype)
                if dtype in FLOAT_TYPES:
                    x2 = x.reshape(1, -1) if x.ndim == 1 else x
                    y2 = y.reshape(-1, 1) if y.ndim == 1 else y
                    expected = sequential_product(x2, y2).reshape(np.matmul(x, y).shape)
                    exact = same_bits(got, expected)
                    check = verdict(exact, "not bit-identical to the sequential definition")
                else:
                    # Wrapping integer sums do not depend on the order.
                    exact = None
                    check = verdict(same_bits(got, np.matmul(x, y)), "differs from NumPy")
                run.case("dot", kind, dtype, (s,), [
                    side("halvorn", "f(a, b)", f=fn("dot", dtype), a=a, b=b),
                    side("numpy", "f(x, y)", f=np.matmul, x=x, y=y),
                    *dot_bounds(kind, dtype, s),
                ], check=check, exact=exact, peer="matmul", operands=[list(left), list(right)])


def exact_cell(case):
    return {True: "yes", False: "**no**", None: ""}[case.get("exact")]


def of_peak_cell(case):
    return f"{100 / case['ratios']['peak']:.0f}%" if "peak" in case["ratios"] else ""


FAMILY = Family(
    name="dot",
    run=bench_dot,
    title="Dot product",
    text="NumPy: np.matmul with the matching dtype (OpenBLAS, one thread, for floats; NumPy's own loops for "
    "integers). Size s: vector [s] x matrix [s, s], matrix [s, s] x vector [s], matrix [s, s] x matrix "
    "[s, s]. limit (vector products): np.dot(z, z) over 2 s^2 float64, the 16 s^2 bytes of matrix packets "
    "dot reads. peak (float matrix products): 16 independent multiply-then-add chains in registers, in the "
    "widest vectors, doing the same s^3 pairs as separate operations; of peak is its time over dot's. "
    "exact: float results bit-identical to the sequential definition (one rounding per multiply "
    "and per add, summed in index order).",
    first_heading="product",
    peers=("numpy", "limit", "peak"),
    columns=(("of peak", of_peak_cell), ("exact", exact_cell)),
)
