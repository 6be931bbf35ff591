"""Matrix products of the shapes users have rather than squares: few rows or
columns over many terms (tall-skinny Gram matrices, a wide matrix times a few
columns) and many rows over few terms, each against its roofline."""

from __future__ import annotations

import numpy as np

from ..family import Family
from ..limits import halvorn_testing, product_compute, product_traffic
from ..operands import FLOAT_TYPES, TYPES, computed, fn, same_bits, to_numpy, varied, verdict
from ..timing import side
from .dot import sequential_product

# Operands of at most this many bytes of packets, so that the largest cases
# fit beside the rest of the run.
LARGEST_OPERANDS = 256 << 20


def grid_shapes(config):
    """(kind, left shape, right shape) of every case of the grid."""
    for terms in config.grid_terms:
        for m in config.grid_extents:
            for n in config.grid_extents:
                if 16 * terms * (m + n) <= LARGEST_OPERANDS:
                    yield "few rows, many terms", (m, terms), (terms, n)
    for rows in config.grid_tall_rows:
        for inner in config.grid_extents:
            for n in config.grid_extents:
                if 16 * rows * (inner + n) <= LARGEST_OPERANDS:
                    yield "many rows, few terms", (rows, inner), (inner, n)


def operands(dtype, left, right):
    if dtype in FLOAT_TYPES:
        return varied(dtype, left), varied(dtype, right, 0.5)
    return computed(dtype, left, 3), computed(dtype, right, 2)


def exact_check(dtype, a, b, result):
    """Floats bit for bit against the sequential sums; integers against NumPy's
    product in int64, whose wrap-around agrees with the narrower one's."""
    x, y, got = to_numpy(a, dtype), to_numpy(b, dtype), to_numpy(result, dtype)
    if dtype in FLOAT_TYPES:
        exact = same_bits(got, sequential_product(x, y))
        return verdict(exact, "not bit-identical to the sequential definition"), exact, x, y
    expected = np.matmul(x.astype(np.int64), y.astype(np.int64)).astype(x.dtype)
    return verdict(same_bits(got, expected), "differs from the wrapped product"), None, x, y


def roofline(case):
    """The larger of the two limits is the one that binds: halvorn's ratio to
    it is the smaller of its two ratios."""
    bound = min(("limit", "peak"), key=lambda peer: case["ratios"][peer])
    case["ratios"]["roofline"] = case["ratios"][bound]
    case["sides"]["roofline"] = {**case["sides"][bound], "bound": bound}


def timed_case(run, op, dtype, left, right, with_numpy):
    a, b = operands(dtype, left, right)
    check, exact, x, y = exact_check(dtype, a, b, fn("dot", dtype)(a, b))
    m, k = left
    n = right[1]
    sides = [side("halvorn", "f(a, b)", f=fn("dot", dtype), a=a, b=b)]
    if with_numpy:
        sides.append(side("numpy", "f(x, y)", f=np.matmul, x=x, y=y))
    sides += [product_traffic(16 * k * (m + n), 16 * m * n), product_compute(dtype, m, k, n)]
    case = run.case("shapes", op, dtype, (m, k, n), sides, check=check, exact=exact,
                    operands=[list(left), list(right)])
    roofline(case)


def bench_shapes(run):
    if halvorn_testing is None:
        run.notes.append("halvorn_testing is not built: no compute limit, so no product shapes")
        return
    for dtype in TYPES:
        m, k = run.config.gram
        timed_case(run, "gram X^T X", dtype, (m, k), (k, m), with_numpy=True)
        timed_case(run, "gram X^T X, transposed", dtype, (k, m), (m, m), with_numpy=True)
    for kind, left, right in grid_shapes(run.config):
        for dtype in TYPES:
            timed_case(run, kind, dtype, left, right, with_numpy=False)


def roofline_cell(case):
    bound = case["sides"]["roofline"]["bound"]
    return f"{case['ratios']['roofline']:.2f} ({bound})"


FAMILY = Family(
    name="shapes",
    run=bench_shapes,
    title="Dot product: products of every shape",
    text="Size m x k x n: [m, k] · [k, n]. The two gram cases are X^T X of X [k, m] as a user writes it "
    "([m, k] · [k, m]) and its transpose's shape ([k, m] · [m, m]), beside np.matmul (OpenBLAS, one thread, for "
    "floats; NumPy's own loops for integers). limit: the bytes dot must move, 16 (m k + k n) read and 16 m n "
    "written, as np.dot(z, z) over the read's float64 and a fill of the written ones. peak: the m n k "
    "multiply-then-add pairs as separate operations in registers, in the widest vectors; for floats in as many "
    "vector chains as the m n sums fill (at most 16), since each sum's additions follow each other, for integers "
    "in 16 chains, since a wrapping sum comes out the same in any order. roofline: the ratio to the larger "
    "(slower) of the two. exact: float results bit-identical to the sequential definition.",
    first_heading="shape",
    peers=("numpy", "limit", "peak"),
    columns=(("× roofline", roofline_cell),),
)
