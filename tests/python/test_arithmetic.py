import math
import pickle
import weakref

import numpy
import pytest

import halvorn
from conftest import FLOAT_TYPES, TENSOR_CLASSES, assert_process_ends

# ./dev test runs this file again capped at each narrower instruction set.
pytestmark = pytest.mark.kernels

DTYPES = {
    "int16": numpy.int16,
    "int32": numpy.int32,
    "float32": numpy.float32,
    "float64": numpy.float64,
}
OPERATIONS = ["add", "sub", "mul", "div"]
OPERATORS = {"add": "__add__", "sub": "__sub__", "mul": "__mul__", "div": "__divide__"}

# Small values of both signs, products that wrap, the limits, and for floating
# point -0.0, infinities, NaN, subnormals and values that round in float32.
VALUES = {
    "int16": [0, 1, -1, 2, -2, 7, -7, 181, 300, 32767, -32768],
    "int32": [0, 1, -1, 2, -2, 7, -7, 46341, 65536, 2147483647, -2147483648],
    "float32": [0.0, -0.0, 1.0, -2.5, 0.1, 1 / 3, 3e38, 1e-45, math.inf, -math.inf, math.nan],
    "float64": [0.0, -0.0, 1.0, -2.5, 0.1, 1 / 3, 1e308, 5e-324, math.inf, -math.inf, math.nan],
}


def full(element_type, shape, value):
    return getattr(halvorn, f"quorva_full_{element_type}")(shape, value)


def function(operation, element_type):
    return getattr(halvorn, f"quorva_{operation}_{element_type}")


def compute(operation, element_type, a, b):
    """Through the module function; integer division has only the method."""
    if operation == "div" and element_type not in FLOAT_TYPES:
        return a.__divide__(b)
    return function(operation, element_type)(a, b)


def truncating_divide(x, y):
    # Toward zero, unlike numpy's floor division; the cast back wraps
    # -32768 / -1 and -2147483648 / -1 to the dividend.
    wide_x, wide_y = x.astype(numpy.int64), y.astype(numpy.int64)
    quotient = numpy.abs(wide_x) // numpy.abs(wide_y) * numpy.sign(wide_x) * numpy.sign(wide_y)
    return quotient.astype(x.dtype)


ORACLES = {
    "add": numpy.add,
    "sub": numpy.subtract,
    "mul": numpy.multiply,
    "div": lambda x, y: truncating_divide(x, y) if x.dtype.kind == "i" else numpy.divide(x, y),
}


def expected(operation, element_type, a, b):
    dtype = DTYPES[element_type]
    with numpy.errstate(all="ignore"):
        x, y = numpy.array(a.to_list(), dtype), numpy.array(b.to_list(), dtype)
        return ORACLES[operation](x, y).tolist()


def assert_same_values(got, want):
    """Element by element, with the sign of zero; NaN matches NaN."""
    assert len(got) == len(want)
    for index, (x, y) in enumerate(zip(got, want)):
        if isinstance(y, float):
            assert isinstance(x, float)
            if math.isnan(y):
                assert math.isnan(x), (index, x, y)
                continue
            assert math.copysign(1, x) == math.copysign(1, y), (index, x, y)
        assert x == y, (index, x, y)


@pytest.mark.parametrize("operation", OPERATIONS)
def test_every_pair_of_values_matches_numpy(element_type, operation):
    for y in VALUES[element_type]:
        if operation == "div" and y == 0:  # +0.0 and -0.0 end the process
            continue
        b = full(element_type, [2, 3], y)
        for x in VALUES[element_type]:
            a = full(element_type, [2, 3], x)
            result = compute(operation, element_type, a, b)
            assert result.shape == [2, 3]
            assert_same_values(result.to_list(), expected(operation, element_type, a, b))


@pytest.mark.parametrize(
    "element_type, operation, x, y, result",
    [
        ("int16", "add", 32767, 1, -32768),
        ("int16", "sub", -32768, 1, 32767),
        ("int16", "mul", 300, 300, 24464),
        ("int16", "div", -32768, -1, -32768),
        ("int16", "div", 7, -2, -3),
        ("int16", "div", -7, 2, -3),
        ("int32", "add", 2147483647, 1, -2147483648),
        ("int32", "mul", 65536, 65536, 0),
        ("int32", "div", -2147483648, -1, -2147483648),
        ("int32", "div", -7, -2, 3),
    ],
)
def test_integer_wrap_around_and_truncation(element_type, operation, x, y, result):
    a, b = full(element_type, [1], x), full(element_type, [1], y)
    assert compute(operation, element_type, a, b).to_list() == [result]


def test_operators_methods_and_functions_agree_on_new_objects(element_type):
    cls = TENSOR_CLASSES[element_type]
    a, b = full(element_type, [2, 2], 7), full(element_type, [2, 2], -2)
    forms = {
        "add": [a + b, a.__add__(b), function("add", element_type)(a, b)],
        "sub": [a - b, a.__sub__(b), function("sub", element_type)(a, b)],
        "mul": [a * b, a.__mul__(b), function("mul", element_type)(a, b)],
        "div": [a.__divide__(b)],
    }
    if element_type in FLOAT_TYPES:
        forms["div"].append(function("div", element_type)(a, b))
    for operation, results in forms.items():
        want = expected(operation, element_type, a, b)
        for result in results:
            assert type(result) is cls
            assert result is not a and result is not b
            assert result.shape == [2, 2]
            assert_same_values(result.to_list(), want)
    same = a + a
    assert same is not a and same.to_list() == [14] * 4
    # An instance of a subclass takes the functions' general path, to the same result.
    derived = type("Derived", (cls,), {})([2, 2])
    assert function("add", element_type)(derived, a).to_list() == [7] * 4
    assert pickle.loads(pickle.dumps(function("sub", element_type))) is function("sub", element_type)
    # The operands are left as they were.
    assert a.to_list() == [7] * 4 and b.to_list() == [-2] * 4
    assert a.shape == [2, 2] and b.shape == [2, 2]


def test_temporaries_take_results_unseen(element_type):
    """An expression's temporary may take its result in place: the values are
    those of named operands, and nothing that can still be reached changes."""
    a, b, c = (full(element_type, [3, 5], v) for v in (7, -2, 3))
    product = a * b
    seen, watchers = [], []

    def held(tensor):
        seen.append(id(tensor))
        return tensor

    def watched(tensor):
        watchers.append(weakref.ref(tensor))
        return tensor

    names = {"a": a, "b": b, "c": c, "one": full(element_type, [3, 5], 1), "held": held,
             "watched": watched}
    operators = {"add": "+", "sub": "-", "mul": "*", "div": "/"}
    if element_type not in FLOAT_TYPES:
        del operators["div"]
    for operation, symbol in operators.items():
        want = compute(operation, element_type, product, c).to_list()
        results = [eval(expression.format(symbol), names) for expression in
                   ["a * b {} c", "(a * b) {} (c * one)", "held(a * b) {} c", "watched(a * b) {} c"]]
        for result in results:
            assert_same_values(result.to_list(), want)
        assert id(results[2]) == seen.pop()
        # One that a weak reference saw was not taken: it died, the result lives on.
        assert watchers.pop()() is None
        reflected = compute(operation, element_type, c, product).to_list()
        assert_same_values(eval(f"c {symbol} (a * b)", names).to_list(), reflected)
    assert product.to_list() == (a * b).to_list() and c.to_list() == [3] * 15


@pytest.mark.parametrize(
    "shape", [[], [3, 0, 2], [0]], ids=["no-dimensions", "zero-extent", "empty"]
)
def test_no_dimensions_and_zero_extents(element_type, shape):
    a, b = full(element_type, shape, 6), full(element_type, shape, 3)
    for operation in OPERATIONS:
        result = compute(operation, element_type, a, b)
        assert result.shape == shape
        assert_same_values(result.to_list(), expected(operation, element_type, a, b))
    # No elements means no divisor to refuse.
    if 0 in shape:
        assert compute("div", element_type, a, full(element_type, shape, 0)).to_list() == []


def test_foreign_operands_raise_type_error(element_type):
    a = full(element_type, [2], 1)
    other_type = "int32" if element_type == "int16" else "int16"
    other = full(other_type, [2], 1)
    if element_type in FLOAT_TYPES:
        assert (a / a).to_list() == function("div", element_type)(a, a).to_list()
    else:
        with pytest.raises(TypeError):
            a / a  # true division is not integer division: no operator
    for operand in (1, 1.0, None, other):
        for name in OPERATORS.values():
            # A plain method: TypeError at once, never NotImplemented.
            with pytest.raises(TypeError):
                getattr(a, name)(operand)
        with pytest.raises(TypeError):
            a + operand
        with pytest.raises(TypeError):
            operand - a
        with pytest.raises(TypeError):
            function("mul", element_type)(a, operand)
    with pytest.raises(TypeError):
        function("add", element_type)(a, b=a)
    assert hasattr(halvorn, f"quorva_div_{element_type}") == (element_type in FLOAT_TYPES)


SCALAR_OPERATIONS = {"a * 2.0": ("*", 2.0, True), "a + 1": ("+", 1, True), "2.0 * a": ("*", 2.0, False),
                     "1 - a": ("-", 1, False), "a / 2": ("/", 2, True), "True * a": ("*", True, False)}


@pytest.mark.parametrize("expression", SCALAR_OPERATIONS)
def test_a_scalar_operand_is_refused_naming_the_full_tensor(element_type, expression):
    symbol, number, tensor_left = SCALAR_OPERATIONS[expression]
    if symbol == "/" and element_type not in FLOAT_TYPES:
        pytest.skip("integer tensors have no / at all")
    a = TENSOR_CLASSES[element_type]([2])
    names = [f"halvorn.{type(a).__name__}", type(number).__name__][:: 1 if tensor_left else -1]
    route = f"halvorn.quorva_full_{element_type}(a.shape, {number!r})"
    with pytest.raises(TypeError) as caught:
        eval(expression, {"a": a})
    assert str(caught.value) == (
        f"unsupported operand type(s) for {symbol}: '{names[0]}' and '{names[1]}': tensors take no scalar "
        f"operands; use a full tensor of the same shape: "
        + (f"a {symbol} {route}" if tensor_left else f"{route} {symbol} a"))


def process_code(element_type, left, right, call, divisor="0"):
    return f"""
        import halvorn
        a = halvorn.quorva_ones_{element_type}({left})
        b = halvorn.quorva_full_{element_type}({right}, {divisor})
        try:
            {call}
        finally:
            print("never reached")
        """


# b is all zero, so a division with mismatched shapes also shows that the
# shape test comes before the zero test.
@pytest.mark.parametrize(
    "operation, call",
    [("add", "a + b"), ("sub", "a - b"), ("mul", "a * b"), ("div", "a.__divide__(b)"),
     ("add", "(a * a) + b"), ("sub", "a - (b * b)")],
)
def test_mismatched_shapes_end_the_process(element_type, operation, call):
    assert_process_ends(
        process_code(element_type, [2, 3], [3, 2], call),
        f"quorva {operation}() : Shape doesn't match!\n".encode(),
    )


@pytest.mark.parametrize("operation", OPERATIONS)
@pytest.mark.parametrize(
    "left, right", [([2], [3]), ([], [1]), ([0], [0, 0])], ids=["counts", "no-dimensions", "empty"]
)
def test_mismatch_through_module_functions(operation, left, right):
    assert_process_ends(
        process_code("float64", left, right, f"halvorn.quorva_{operation}_float64(a, b)"),
        f"quorva {operation}() : Shape doesn't match!\n".encode(),
    )


@pytest.mark.parametrize(
    "element_type, zero, call",
    [
        ("int16", "0", "a.__divide__(b)"),
        ("int32", "0", "a.__divide__(b)"),
        ("float32", "0.0", "halvorn.quorva_div_float32(a, b)"),
        ("float32", "-0.0", "a.__divide__(b)"),
        ("float64", "0.0", "a.__divide__(b)"),
        ("float64", "-0.0", "halvorn.quorva_div_float64(a, b)"),
        ("float32", "0.0", "(a * a) / (b * a)"),
    ],
)
def test_zero_divisor_ends_the_process(element_type, zero, call):
    assert_process_ends(
        process_code(element_type, [2, 3], [2, 3], call, divisor=zero),
        b"quorva div() : cannot divide by zero!\n",
    )
