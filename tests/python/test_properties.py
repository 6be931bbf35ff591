"""Property tests: every operation on drawn shapes and values, against an oracle.

Values reach real halvorn tensors through halvorn_testing, a companion module
built with the tests only. The oracles are written here: NumPy in the matching
dtype for the element-wise operations, a plain loop in the element type for
dot's order of terms, and a renderer written from the rendering rules for repr.

Shapes include no dimensions and zero extents; values include the integer
limits, NaN of either sign, infinities, -0.0 and subnormals.
"""

import math
import random
import struct

import halvorn
import halvorn_testing as testing
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import COUNTS, ELEMENT_TYPES, FLOAT_TYPES, TENSOR_CLASSES

# ./dev test runs this file again capped at each narrower instruction set.
pytestmark = pytest.mark.kernels

DTYPES = {"int16": np.int16, "int32": np.int32, "float32": np.float32, "float64": np.float64}
INT_LIMITS = {"int16": (-(2**15), 2**15 - 1), "int32": (-(2**31), 2**31 - 1)}
LANES = {"int16": 8, "int32": 4, "float32": 4, "float64": 2}
KERNELS = testing.instruction_sets()


def count_example(area):
    COUNTS[f"hypothesis examples ({area})"] += 1


def wrap(value, element_type):
    """value modulo 2^16 or 2^32, read as signed: two's complement wrapping."""
    bits = 16 if element_type == "int16" else 32
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def float_specials(element_type):
    info = np.finfo(DTYPES[element_type])
    finite = [0.0, -0.0, 1.0, -1.0, float(info.max), -float(info.max), float(info.smallest_normal),
              float(info.smallest_subnormal), -float(info.smallest_subnormal),
              float(info.smallest_normal) - float(info.smallest_subnormal)]
    return finite + [math.inf, -math.inf, math.nan, -math.nan]


def values_of(element_type, nonzero=False):
    if element_type in INT_LIMITS:
        low, high = INT_LIMITS[element_type]
        edges = [low, low + 1, -2, -1, 0, 1, 2, high - 1, high]
        strategy = st.one_of(st.sampled_from(edges), st.integers(low, high))
    else:
        width = 32 if element_type == "float32" else 64
        strategy = st.one_of(st.sampled_from(float_specials(element_type)), st.floats(width=width))
    # NaN != 0, so a NaN divisor stays: it divides without a message.
    return strategy.filter(lambda v: v != 0) if nonzero else strategy


# Up to four dimensions, zero extents included; [] is the tensor without dimensions.
SHAPES = st.lists(st.integers(0, 6), max_size=4)


# Longer lists take their values from a generator that hypothesis seeds, with
# edge values that it draws at places it draws: thousands of values drawn one
# at a time were nearly all of these properties' time (the dot property's
# took 24 s under the debug interpreter, the oracle and every kernel 0.2 s).
DRAWN_ONE_AT_A_TIME = 64


def mixed_magnitude(generator, element_type):
    """A float of element_type between -1e8 and 1e8, of a magnitude drawn
    too, so that a sum of such values depends on its order."""
    value = generator.uniform(-1, 1) * 10.0 ** generator.randint(-8, 8)
    return float(np.float32(value)) if element_type == "float32" else value


@st.composite
def value_lists(draw, element_type, count, nonzero=False):
    values = values_of(element_type, nonzero)
    if count <= DRAWN_ONE_AT_A_TIME:
        return draw(st.lists(values, min_size=count, max_size=count))
    generator = random.Random(draw(st.integers(0, 2**32 - 1)))
    if element_type in INT_LIMITS:
        low, high = INT_LIMITS[element_type]
        listed = [generator.randint(low, high) for _ in range(count)]
    else:
        listed = [mixed_magnitude(generator, element_type) for _ in range(count)]
    if nonzero:
        listed = [v if v != 0 else v + 1 for v in listed]
    for place, value in draw(st.lists(st.tuples(st.integers(0, count - 1), values), max_size=16)):
        listed[place] = value
    return listed


def element_count(shape):
    return math.prod(shape)


def key(value):
    """Exact identity of one listed value: -0.0 is not 0.0; any NaN is NaN.

    IEEE 754 leaves the sign and payload of a NaN result open, so two NaNs
    count as equal; every other value must match bit for bit."""
    if isinstance(value, float):
        return "nan" if math.isnan(value) else struct.pack("<d", value)
    return value


def keys(values):
    return [key(v) for v in values]


def build(element_type, shape, values):
    tensor = getattr(testing, f"build_{element_type}")(shape, values)
    assert type(tensor) is TENSOR_CLASSES[element_type]
    return tensor


def lanes(tensor, element_type):
    """Every element's lanes as unsigned bit patterns, one row per element."""
    raw = testing.packet_bytes(tensor)
    unsigned = {"int16": np.uint16, "int32": np.uint32, "float32": np.uint32, "float64": np.uint64}
    return np.frombuffer(raw, dtype=unsigned[element_type]).reshape(-1, LANES[element_type])


def assert_broadcast(tensor, element_type):
    packets = lanes(tensor, element_type)
    assert (packets == packets[:, :1]).all(), "a lane differs from lane 0"


@st.composite
def operands(draw, element_type, nonzero_second=False):
    shape = draw(SHAPES)
    n = element_count(shape)
    first = draw(value_lists(element_type, n))
    second = draw(value_lists(element_type, n, nonzero_second))
    return shape, first, second


# ---------------------------------------------------------------------------
# Element-wise arithmetic against NumPy


def numpy_elementwise(operation, element_type, first, second):
    dtype = DTYPES[element_type]
    x = np.array(first, dtype=dtype)
    y = np.array(second, dtype=dtype)
    with np.errstate(all="ignore"):
        if operation == "add":
            result = x + y
        elif operation == "sub":
            result = x - y
        elif operation == "mul":
            result = x * y
        elif element_type in FLOAT_TYPES:
            result = x / y
        else:
            # Truncation toward zero, computed wide and narrowed with NumPy's
            # wrapping cast: -32768 / -1 and -2147483648 / -1 wrap to themselves.
            wide_x, wide_y = x.astype(np.int64), y.astype(np.int64)
            quotient = (np.abs(wide_x) // np.abs(wide_y)) * np.sign(wide_x) * np.sign(wide_y)
            result = quotient.astype(dtype)
    assert result.dtype == dtype
    return result.tolist()


def call_elementwise(operation, route, element_type, a, b):
    if route == "function":
        return getattr(halvorn, f"quorva_{operation}_{element_type}")(a, b)
    if route == "method":
        method = "__divide__" if operation == "div" else f"__{operation}__"
        return getattr(a, method)(b)
    return {"add": lambda: a + b, "sub": lambda: a - b, "mul": lambda: a * b}[operation]()


@pytest.mark.parametrize("operation", ["add", "sub", "mul"])
@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
@given(data=st.data())
def test_add_sub_mul_match_numpy(element_type, operation, data):
    count_example("element-wise")
    shape, first, second = data.draw(operands(element_type))
    a, b = build(element_type, shape, first), build(element_type, shape, second)
    expected = keys(numpy_elementwise(operation, element_type, first, second))
    for route in ["function", "method", "operator"]:
        result = call_elementwise(operation, route, element_type, a, b)
        assert type(result) is TENSOR_CLASSES[element_type], route
        assert result is not a and result is not b, route
        assert result.shape == shape, route
        assert keys(result.to_list()) == expected, route
        assert_broadcast(result, element_type)
    # The operands are left as they were.
    assert keys(a.to_list()) == keys(first) and keys(b.to_list()) == keys(second)


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
@given(data=st.data())
def test_division_matches_numpy(element_type, data):
    count_example("element-wise")
    shape, first, second = data.draw(operands(element_type, nonzero_second=True))
    a, b = build(element_type, shape, first), build(element_type, shape, second)
    expected = keys(numpy_elementwise("div", element_type, first, second))
    routes = [a.__divide__]
    if element_type in FLOAT_TYPES:
        routes.append(lambda other: getattr(halvorn, f"quorva_div_{element_type}")(a, other))
    for route in routes:
        result = route(b)
        assert result.shape == shape
        assert keys(result.to_list()) == expected
        packets = lanes(result, element_type)
        if element_type in FLOAT_TYPES:
            assert (packets == packets[:, :1]).all()
        else:
            # An integer quotient sits in lane 0 alone.
            assert not packets[:, 1:].any()


INT_EDGES = {
    element_type: sorted({low, low + 1, -(2**8) - 1, -7, -2, -1, 0, 1, 2, 7, 2**8 + 1, high - 1, high})
    for element_type, (low, high) in INT_LIMITS.items()
}


@pytest.mark.parametrize("offset", range(4))
@pytest.mark.parametrize("element_type", ["int16", "int32"])
def test_integer_division_edges_in_every_batch_position(element_type, offset):
    """Every pair of edge values, shifted so each lands in every slot of the
    batched loop (four int16 or two int32 quotients at a time) and in its tail."""
    pairs = [(x, y) for x in INT_EDGES[element_type] for y in INT_EDGES[element_type] if y != 0]
    first = [5] * offset + [x for x, _ in pairs]
    second = [3] * offset + [y for _, y in pairs]
    a = build(element_type, [len(first)], first)
    b = build(element_type, [len(second)], second)
    result = a.__divide__(b).to_list()
    assert result == numpy_elementwise("div", element_type, first, second)
    low = INT_LIMITS[element_type][0]
    assert result[offset + pairs.index((low, -1))] == low
    assert result[offset + pairs.index((-7, 2))] == -3
    assert result[offset + pairs.index((7, -2))] == -3


# Around the size (8 MiB of packets) from which results are written with
# streaming stores, and past the 1024-element blocks of the divisor check.
LARGE_COUNTS = [(8 << 20) // 16 - 1, (8 << 20) // 16 + 3]


@pytest.mark.parametrize("n", LARGE_COUNTS)
@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
def test_large_results_match_numpy(element_type, n):
    generator = np.random.default_rng(n)
    if element_type in INT_LIMITS:
        low, high = INT_LIMITS[element_type]
        first = generator.integers(low, high, n, endpoint=True).tolist()
        second = generator.integers(low, high, n, endpoint=True).tolist()
        second = [v or 1 for v in second]
        # The edge quotient at both ends of the block.
        first[0], second[0], first[-1], second[-1] = low, -1, low, -1
    else:
        first = generator.standard_normal(n).astype(DTYPES[element_type]).tolist()
        second = (generator.standard_normal(n) + 0.5).astype(DTYPES[element_type]).tolist()
        second = [v or 1.0 for v in second]
    a, b = build(element_type, [n], first), build(element_type, [n], second)
    for operation in ["add", "sub", "mul", "div"]:
        result = a.__divide__(b) if operation == "div" else call_elementwise(operation, "method", element_type, a, b)
        assert result.to_list() == numpy_elementwise(operation, element_type, first, second), operation
        packets = lanes(result, element_type)
        if operation == "div" and element_type in INT_LIMITS:
            assert not packets[:, 1:].any()
        else:
            assert (packets == packets[:, :1]).all()


# ---------------------------------------------------------------------------
# Dot product against a plain loop in the element type


def term_step(element_type):
    """accumulator, x, y -> accumulator after one term, rounded or wrapped in T."""
    if element_type in INT_LIMITS:
        return lambda acc, x, y: wrap(acc + x * y, element_type)
    if element_type == "float32":
        f32 = np.float32
        return lambda acc, x, y: f32(f32(acc) + f32(f32(x) * f32(y)))
    return lambda acc, x, y: acc + x * y


def dot_oracle(element_type, a_shape, a, b_shape, b):
    step = term_step(element_type)
    floating = element_type in FLOAT_TYPES
    zero = 0.0 if floating else 0
    with np.errstate(all="ignore"):
        if len(a_shape) == 1:
            (n,), m = a_shape, b_shape[1]
            result = []
            for i in range(m):
                acc = zero
                for j in range(n):
                    acc = step(acc, a[j], b[j * m + i])
                result.append(acc)
            return [m], [float(v) if floating else v for v in result]
        if len(b_shape) == 1:
            r, c = a_shape
            result = []
            for k in range(r):
                acc = zero
                for t in range(c):
                    acc = step(acc, a[k * c + t], b[t])
                result.append(acc)
            return [r], [float(v) if floating else v for v in result]
        (rows, inner), columns = a_shape, b_shape[1]
        result = []
        for p in range(rows):
            for q in range(columns):
                acc = zero
                for t in range(inner):
                    acc = step(acc, a[p * inner + t], b[t * columns + q])
                result.append(acc)
        return [rows, columns], [float(v) if floating else v for v in result]


# Each example's work (output elements times terms) is bounded so that the
# Python oracle stays quick; the extents still reach past a full register tile
# (8 rows) and past a full panel (up to 96 int16 columns with AVX-512).
DOT_WORK = 6000


@st.composite
def dot_operands(draw, element_type):
    case = draw(st.sampled_from(["vector-matrix", "matrix-vector", "matrix-matrix"]))
    rows = 1 if case == "vector-matrix" else draw(st.integers(0, 17))
    columns = 1 if case == "matrix-vector" else draw(st.integers(0, 100))
    outputs = max(1, rows * columns)
    inner = draw(st.integers(0, max(1, min(80, DOT_WORK // outputs))))
    if case == "vector-matrix":
        a_shape, b_shape = [inner], [inner, columns]
    elif case == "matrix-vector":
        a_shape, b_shape = [rows, inner], [inner]
    else:
        a_shape, b_shape = [rows, inner], [inner, columns]
    a = draw(value_lists(element_type, element_count(a_shape)))
    b = draw(value_lists(element_type, element_count(b_shape)))
    return a_shape, a, b_shape, b


def check_dot(element_type, a_shape, a_values, b_shape, b_values):
    expected_shape, expected = dot_oracle(element_type, a_shape, a_values, b_shape, b_values)
    a, b = build(element_type, a_shape, a_values), build(element_type, b_shape, b_values)
    results = {"dispatched": getattr(halvorn, f"quorva_dot_{element_type}")(a, b)}
    for kernel in KERNELS:
        results[kernel] = testing.dot_with(kernel, a, b)
    for name, result in results.items():
        assert type(result) is TENSOR_CLASSES[element_type], name
        assert result.shape == expected_shape, name
        assert keys(result.to_list()) == keys(expected), name
        assert_broadcast(result, element_type)


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
@given(data=st.data())
def test_dot_matches_a_plain_loop_with_every_kernel(element_type, data):
    count_example("dot")
    check_dot(element_type, *data.draw(dot_operands(element_type)))


@pytest.mark.parametrize(
    "a_shape, b_shape",
    [([2, 511], [511, 3]), ([3, 512], [512, 2]), ([2, 513], [513]), ([1025], [1025, 5]), ([9, 1030], [1030, 1])],
    ids=["below-block", "one-block", "past-block", "three-blocks", "tile-and-a-row"],
)
@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
def test_dot_across_term_blocks(element_type, a_shape, b_shape):
    """The kernels sum 512 terms at a time and park partial sums in the result
    between blocks; the order of terms must survive that."""
    generator = random.Random(f"{element_type}{a_shape}{b_shape}")
    if element_type in INT_LIMITS:
        low, high = INT_LIMITS[element_type]
        draw = lambda: generator.choice([low, high, generator.randint(low, high), generator.randint(-9, 9)])  # noqa: E731
    else:
        draw = lambda: mixed_magnitude(generator, element_type)  # noqa: E731
    a = [draw() for _ in range(element_count(a_shape))]
    b = [draw() for _ in range(element_count(b_shape))]
    check_dot(element_type, a_shape, a, b_shape, b)


# ---------------------------------------------------------------------------
# Rendering against a renderer written from the rules


def element_text(value, element_type):
    """The stream inserter's default: %g with 6 significant digits for floating
    values (a float32 widened to double first), plain decimal for integers.
    The C library writes a NaN with its sign bit set as -nan."""
    if element_type in INT_LIMITS:
        return str(value)
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return "%g" % value


def render(shape, texts):
    out = ["tensor([", ", ".join(str(extent) for extent in shape), "]\n"]
    if not shape:
        return "".join(out + [texts[0], ")"])
    cursor = 0

    def block(dimension, indent):
        nonlocal cursor
        parts = []
        if dimension == len(shape) - 1:
            parts.append("[")
            for i in range(shape[dimension]):
                if cursor == 100:
                    parts.append(", ...")
                    break
                if i:
                    parts.append(", ")
                parts.append(texts[cursor])
                cursor += 1
            parts.append("]")
            return "".join(parts)
        parts.append("[\n")
        for j in range(shape[dimension]):
            parts.append(" " * (indent + 2))
            if cursor == 100:
                parts.append("...")
                break
            parts.append(block(dimension + 1, indent + 2))
            if j + 1 < shape[dimension]:
                parts.append(",\n")
        parts.append("\n" + " " * indent + "]")
        return "".join(parts)

    return "".join(out) + block(0, 0) + "\n)"


# Small shapes, and a few long enough to hit the 100-element limit at every level.
RENDER_SHAPES = st.one_of(
    SHAPES,
    st.lists(st.integers(0, 130), min_size=1, max_size=1),
    st.lists(st.integers(0, 12), min_size=2, max_size=3),
)


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
@given(data=st.data())
def test_repr_matches_the_rendering_rules(element_type, data):
    count_example("repr")
    shape = data.draw(RENDER_SHAPES)
    n = element_count(shape)
    values = data.draw(value_lists(element_type, n))
    tensor = build(element_type, shape, values)
    listed = tensor.to_list()
    expected = render(shape, [element_text(v, element_type) for v in listed])
    assert repr(tensor) == expected
    assert str(tensor) == expected


def test_reference_renderer_follows_the_worked_example():
    # The oracle itself, checked once against a worked example of the rules.
    texts = ["0"] * 112
    lines = render([2, 7, 8], texts).split("\n")
    assert lines[:3] == ["tensor([2, 7, 8]", "[", "  ["]
    assert lines[-5:] == ["    [0, 0, 0, 0, ...],", "    ...", "  ]", "]", ")"]
    assert render([], ["-7"]) == "tensor([]\n-7)"
    assert render([2, 0], []) == "tensor([2, 0]\n[\n  [],\n  []\n]\n)"


def test_element_text_of_special_values():
    assert element_text(-math.nan, "float64") == "-nan"
    assert element_text(math.nan, "float32") == "nan"
    assert element_text(-0.0, "float64") == "-0"
    assert element_text(1e-7, "float64") == "1e-07"
    assert element_text(float(np.float32(0.1)), "float32") == "0.1"
    assert element_text(-math.inf, "float32") == "-inf"


# ---------------------------------------------------------------------------
# Factories, export and the class constructor


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
@given(data=st.data())
def test_full_zeros_ones_and_the_constructor(element_type, data):
    count_example("factories and export")
    shape = data.draw(SHAPES)
    value = data.draw(values_of(element_type))
    n = element_count(shape)
    zero, one = (0, 1) if element_type in INT_LIMITS else (0.0, 1.0)
    made = {
        "full": (getattr(halvorn, f"quorva_full_{element_type}")(shape, value), value),
        "zeros": (getattr(halvorn, f"quorva_zeros_{element_type}")(shape), zero),
        "ones": (getattr(halvorn, f"quorva_ones_{element_type}")(shape), one),
        "constructor": (TENSOR_CLASSES[element_type](shape), zero),
    }
    for name, (tensor, fill) in made.items():
        assert type(tensor) is TENSOR_CLASSES[element_type], name
        assert tensor.shape == shape, name
        assert keys(tensor.to_list()) == keys([fill] * n), name
        assert_broadcast(tensor, element_type)


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
@given(data=st.data())
def test_export_gives_back_every_value(element_type, data):
    count_example("factories and export")
    shape = data.draw(SHAPES)
    n = element_count(shape)
    values = data.draw(value_lists(element_type, n))
    tensor = build(element_type, shape, values)
    listed = tensor.to_list()
    assert keys(listed) == keys(values)
    # NaN keeps its sign through export; only arithmetic results leave it open.
    assert [math.copysign(1.0, v) for v in listed] == [math.copysign(1.0, v) for v in values]
    assert all(type(v) is (int if element_type in INT_LIMITS else float) for v in listed)
    assert tensor.shape == shape
    assert_broadcast(tensor, element_type)


@pytest.mark.parametrize("kind", ["rand", "randn"])
@pytest.mark.parametrize("element_type", FLOAT_TYPES)
@given(shape=SHAPES)
def test_random_factories_fill_every_element(element_type, kind, shape):
    count_example("factories and export")
    tensor = getattr(halvorn, f"quorva_{kind}_{element_type}")(shape)
    values = tensor.to_list()
    assert tensor.shape == shape and len(values) == element_count(shape)
    if kind == "rand":
        assert all(0.0 <= v < 1.0 for v in values)
    else:
        assert all(math.isfinite(v) for v in values)
    if element_type == "float32":
        assert all(float(np.float32(v)) == v for v in values)
    assert_broadcast(tensor, element_type)
