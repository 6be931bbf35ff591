import math

import numpy
import pytest

import halvorn
from conftest import ELEMENT_TYPES, FLOAT_TYPES, TENSOR_CLASSES, assert_process_ends

# ./dev test runs this file again capped at each narrower instruction set.
pytestmark = pytest.mark.kernels


def wrap(value, bits):
    return (value + 2 ** (bits - 1)) % 2**bits - 2 ** (bits - 1)


def float32_step(acc, x, y):
    # numpy.float32 scalar arithmetic rounds every operation to binary32.
    with numpy.errstate(all="ignore"):
        return float(numpy.float32(acc) + numpy.float32(x) * numpy.float32(y))


# acc + x * y, each step rounded or wrapped to the element type.
STEPS = {
    "int16": lambda acc, x, y: wrap(acc + x * y, 16),
    "int32": lambda acc, x, y: wrap(acc + x * y, 32),
    "float32": float32_step,
    "float64": lambda acc, x, y: acc + x * y,  # Python float: one rounding per operation
}


def reference_dot(element_type, a, b):
    """The sequential definition on the operands' own values: every output element is
    summed from zero over the contracted index in increasing order."""
    x, y, step = a.to_list(), b.to_list(), STEPS[element_type]

    def total(pairs):
        acc = 0.0 if element_type in FLOAT_TYPES else 0
        for left, right in pairs:
            acc = step(acc, left, right)
        return acc

    if len(a.shape) == 1:
        (n,), (_, m) = a.shape, b.shape
        return [total((x[j], y[j * m + i]) for j in range(n)) for i in range(m)]
    if len(b.shape) == 1:
        r, c = a.shape
        return [total((x[k * c + l], y[l]) for l in range(c)) for k in range(r)]
    (rows, inner), (_, columns) = a.shape, b.shape
    if columns == 0:  # never walk the rows of an empty result
        return []
    return [
        total((x[p * inner + t], y[t * columns + q]) for t in range(inner))
        for p in range(rows)
        for q in range(columns)
    ]


def full(element_type, shape, value):
    return getattr(halvorn, f"quorva_full_{element_type}")(shape, value)


def dot(element_type):
    return getattr(halvorn, f"quorva_dot_{element_type}")


# Per type, operand values whose products and sums wrap, or round such that
# three fused multiply-adds would give another sum.
OPERANDS = {
    "int16": (181, 200),
    "int32": (46341, -46341),
    "float32": (0.1, 0.7),
    "float64": (0.1, 0.7),
}


@pytest.mark.parametrize(
    "left, right, shape",
    [
        ([3], [3, 2], [2]),
        ([2, 3], [3], [2]),
        ([2, 3], [3, 4], [2, 4]),
        ([1], [1, 1], [1]),
        # A zero contracted length gives zeros of the full result shape.
        ([0], [0, 4], [4]),
        ([3, 0], [0], [3]),
        ([2, 0], [0, 3], [2, 3]),
        # Empty results, among them one with 2**40 empty rows that comes back at once.
        ([0, 3], [3, 4], [0, 4]),
        ([3], [3, 0], [0]),
        ([2**40, 0], [0, 0], [2**40, 0]),
    ],
)
def test_rank_pairs_match_the_sequential_definition(element_type, left, right, shape):
    x, y = OPERANDS[element_type]
    a, b = full(element_type, left, x), full(element_type, right, y)
    a_values, b_values = a.to_list(), b.to_list()
    result = dot(element_type)(a, b)
    assert type(result) is TENSOR_CLASSES[element_type]
    assert result is not a and result is not b
    assert result.shape == shape
    assert len(result.to_list()) == math.prod(shape)
    assert result.to_list() == reference_dot(element_type, a, b)
    # The operands are left as they were.
    assert (a.shape, a.to_list(), b.shape, b.to_list()) == (left, a_values, right, b_values)


@pytest.mark.parametrize("element_type, x, y", [("float32", 0.1, 0.3), ("float64", 0.1, 3.1)])
def test_long_sums_round_every_step_in_term_order(element_type, x, y):
    a, b = full(element_type, [3, 1000], x), full(element_type, [1000, 2], y)
    result = dot(element_type)(a, b).to_list()
    assert result == reference_dot(element_type, a, b)
    # With these operands the sequential sum differs from a sum of fused
    # multiply-adds and from the correctly rounded sum, so fusing, another order
    # or a wider accumulator would show.
    to_type = numpy.dtype(element_type).type
    x, y = a.to_list()[0], b.to_list()[0]
    fused = 0.0
    for _ in range(1000):
        fused = float(to_type(math.fma(x, y, fused)))
    assert result[0] != fused
    assert result[0] != float(to_type(math.fsum([float(to_type(x * y))] * 1000)))


@pytest.mark.parametrize(
    "element_type, x, y, n, value",
    [
        ("int16", 200, 200, 1, -25536),
        ("int16", 16384, 1, 2, -32768),
        ("int32", 65536, 65536, 1, 0),
        ("int32", 1073741824, 1, 2, -2147483648),
    ],
)
def test_integer_products_and_sums_wrap(element_type, x, y, n, value):
    a, b = full(element_type, [n], x), full(element_type, [n, 1], y)
    assert dot(element_type)(a, b).to_list() == [value]


def test_quotient_operands(element_type):
    # Integer quotients carry their value in lane 0 only; dot reads it there.
    a = full(element_type, [2, 3], 7).__divide__(full(element_type, [2, 3], 2))
    b = full(element_type, [3], -9).__divide__(full(element_type, [3], 3))
    assert dot(element_type)(a, b).to_list() == reference_dot(element_type, a, b)


def test_foreign_operands_raise_type_error(element_type):
    a = full(element_type, [2, 2], 1)
    other = full("float64" if element_type != "float64" else "int32", [2, 2], 1)
    for operand in (other, None, 1, [[1, 1], [1, 1]]):
        with pytest.raises(TypeError):
            dot(element_type)(a, operand)
    assert (a @ a).to_list() == dot(element_type)(a, a).to_list()  # @ is dot
    with pytest.raises(TypeError):
        a @ other
    assert not hasattr(a, "dot")


# No rank pair applies, or the second operand's matching extent is smaller
# (reading it would run past its storage) or larger than the contracted length.
MISFITS = [
    ([3], [3]),
    ([], [1, 1]),
    ([1, 1], []),
    ([], []),
    ([1, 1, 1], [1, 1]),
    ([2, 2], [2, 2, 2]),
    ([3], [2, 2]),
    ([3], [4, 2]),
    ([2, 3], [2]),
    ([2, 3], [5]),
    ([2, 3], [2, 2]),
    ([2, 3], [4, 2]),
    ([0], [1, 0]),
    ([2, 0], [1]),
]


@pytest.mark.parametrize(
    "element_type, left, right",
    [(ELEMENT_TYPES[i % 4], left, right) for i, (left, right) in enumerate(MISFITS)],
)
def test_shapes_that_make_no_product_end_the_process(element_type, left, right):
    assert_process_ends(
        f"""
        import halvorn
        a = halvorn.quorva_ones_{element_type}({left})
        b = halvorn.quorva_ones_{element_type}({right})
        try:
            halvorn.quorva_dot_{element_type}(a, b)
        finally:
            print("never reached")
        """,
        b"quorva dot() : Shape doesn't match!\n",
    )
