"""The constant factories: quorva_full_*, quorva_zeros_*, quorva_ones_*."""

import math
import struct

import halvorn
import pytest

from conftest import ELEMENT_TYPES, FLOAT_TYPES, TENSOR_CLASSES, assert_process_ends

# ./dev test runs this file again capped at each narrower instruction set.
pytestmark = pytest.mark.kernels

SHAPE = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
INT = "typing.SupportsInt | typing.SupportsIndex"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"

# Every module function in the order the module registers them.
FUNCTION_ORDER = [
    f"quorva_{operation}_{element_type}"
    for operation, types in [
        ("full", ELEMENT_TYPES),
        ("zeros", ELEMENT_TYPES),
        ("ones", ELEMENT_TYPES),
        ("rand", FLOAT_TYPES),
        ("randn", FLOAT_TYPES),
        ("add", ELEMENT_TYPES),
        ("sub", ELEMENT_TYPES),
        ("mul", ELEMENT_TYPES),
        ("div", FLOAT_TYPES),
        ("dot", ELEMENT_TYPES),
    ]
    for element_type in types
]
CONSTANT_FACTORIES = FUNCTION_ORDER[:12]


def factory(kind, element_type):
    return getattr(halvorn, f"quorva_{kind}_{element_type}")


def bits(values):
    """Exact identity of list values: tells -0.0 from 0.0 and 1 from 1.0."""
    return [(type(v), struct.pack("<d", v) if isinstance(v, float) else v) for v in values]


class Index:
    """A number object that is not a float but converts to an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_registration_order():
    names = list(vars(halvorn))
    functions = [name for name in names if name.startswith("quorva_") and not name.startswith("quorva_array_")]
    # The table's order holds for every function present, and the constant
    # factories come first, right after the four classes.
    assert functions == [name for name in FUNCTION_ORDER if name in functions]
    assert functions[:12] == CONSTANT_FACTORIES
    # The array factories, an addition, come after every specified function.
    arrays = [f"quorva_array_{element_type}" for element_type in ELEMENT_TYPES]
    assert [name for name in names if name.startswith("quorva_")][len(functions):] == arrays
    classes = [names.index(cls.__name__) for cls in TENSOR_CLASSES.values()]
    assert classes == sorted(classes)
    assert classes[-1] < names.index("quorva_full_int16")


@pytest.mark.parametrize(
    "name, doc",
    [
        (
            "quorva_full_int16",
            "quorva_full_int16(arg0: collections.abc.Sequence[typing.SupportsInt | "
            "typing.SupportsIndex], arg1: typing.SupportsInt | typing.SupportsIndex) "
            "-> halvorn.TensorInt16\n",
        ),
        ("quorva_full_int32", f"quorva_full_int32(arg0: {SHAPE}, arg1: {INT}) -> halvorn.TensorInt32\n"),
        (
            "quorva_full_float32",
            f"quorva_full_float32(arg0: {SHAPE}, arg1: {FLOAT}) -> halvorn.TensorFloat32\n",
        ),
        ("quorva_zeros_int32", f"quorva_zeros_int32(arg0: {SHAPE}) -> halvorn.TensorInt32\n"),
        ("quorva_ones_float64", f"quorva_ones_float64(arg0: {SHAPE}) -> halvorn.TensorFloat64\n"),
    ],
)
def test_signature_is_the_only_docstring(name, doc):
    assert getattr(halvorn, name).__doc__ == doc


@pytest.mark.parametrize(
    "shape, count", [([2, 3], 6), ([], 1), ([4, 1, 2], 8), ([0], 0), ([3, 0], 0), ([0, 2**64 - 1], 0)]
)
def test_zeros_and_ones(element_type, shape, count):
    number = float if element_type in FLOAT_TYPES else int
    for kind, value in [("zeros", 0), ("ones", 1)]:
        tensor = factory(kind, element_type)(shape)
        assert type(tensor) is TENSOR_CLASSES[element_type]
        assert tensor.shape == shape
        # Zeros are +0.0 for the floating types: bits() tells the signs apart.
        assert bits(tensor.to_list()) == bits([number(value)] * count)


FULL_VALUES = {
    "int16": [(-32768, -32768), (32767, 32767), (-7, -7), (0, 0), (True, 1), (Index(-12), -12)],
    "int32": [(-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1), (-7, -7), (False, 0), (Index(2**20), 2**20)],
    "float32": [
        (3, 3.0),
        (0.1, 0.10000000149011612),
        (-0.0, -0.0),
        (16777217, 16777216.0),
        (Index(5), 5.0),
        # Narrowing rounds to nearest: just above the largest float still gives
        # it, and beyond that an infinity of the same sign.
        (3.4028235e38, 3.4028234663852886e38),
        (3.5e38, math.inf),
        (-1e300, -math.inf),
        (1e-50, 0.0),
        (-1e-50, -0.0),
        (math.inf, math.inf),
    ],
    "float64": [
        (3, 3.0),
        (0.1, 0.1),
        (-0.0, -0.0),
        (2**53 + 1, 9007199254740992.0),
        (1e300, 1e300),
        (5e-324, 5e-324),
        (-math.inf, -math.inf),
    ],
}


@pytest.mark.parametrize(
    "element_type, value, stored",
    [(t, value, stored) for t, cases in FULL_VALUES.items() for value, stored in cases],
)
def test_full_stores_the_converted_value(element_type, value, stored):
    tensor = factory("full", element_type)([2, 2], value)
    assert type(tensor) is TENSOR_CLASSES[element_type]
    assert tensor.shape == [2, 2]
    assert bits(tensor.to_list()) == bits([stored] * 4)


@pytest.mark.parametrize("element_type", FLOAT_TYPES)
def test_full_keeps_nan(element_type):
    (value,) = factory("full", element_type)([], math.nan).to_list()
    assert math.isnan(value)


REFUSED_VALUES = {
    # Out of range is refused, never wrapped; a float is refused even when whole.
    "int16": [40000, 32768, -32769, 2.0, 0.5, "1", None, [1]],
    "int32": [2**31, -(2**31) - 1, 2**40, 2.0, "1", None, 1j],
    "float32": [10**400, "1.0", None, 1j, [1.0]],
    "float64": [-(10**400), "1.0", None, 1j],
}


@pytest.mark.parametrize(
    "element_type, value",
    [(t, value) for t, values in REFUSED_VALUES.items() for value in values],
    ids=lambda x: repr(x)[:12],
)
def test_full_refuses_values(element_type, value):
    with pytest.raises(TypeError, match=rf"^quorva_full_{element_type}\(\): incompatible function"):
        factory("full", element_type)([2], value)


ACCEPTED_SHAPES = [
    (lambda: [2, 3], [2, 3]),
    (lambda: (2, 3), [2, 3]),
    (lambda: range(2, 4), [2, 3]),
    (lambda: (x for x in [2, 2]), [2, 2]),
    (lambda: {3}, [3]),
    (lambda: frozenset([4]), [4]),
    (lambda: {2: 0}.keys(), [2]),
    (lambda: {"a": 5}.values(), [5]),
    (lambda: map(int, "23"), [2, 3]),
    (lambda: [Index(2), True], [2, 1]),
    (lambda: [2**64 - 1, 0], [2**64 - 1, 0]),
]


@pytest.mark.parametrize(
    "make_shape, shape",
    ACCEPTED_SHAPES,
    ids=["list", "tuple", "range", "generator", "set", "frozenset", "dict_keys", "dict_values", "map",
         "index-and-bool", "largest"],
)
@pytest.mark.parametrize("kind", ["full", "zeros", "ones"])
def test_shape_accepts_sequences_and_iterables(element_type, kind, make_shape, shape):
    arguments = (make_shape(), 1) if kind == "full" else (make_shape(),)
    assert factory(kind, element_type)(*arguments).shape == shape


# Factories, since an iterator is used up by its first call.
REFUSED_SHAPES = {
    "str": lambda: "22",
    "bytes": lambda: b"ab",
    "empty-str": lambda: "",
    "float": lambda: [2.0],
    "float-late": lambda: [2, 1.5],
    "negative": lambda: [-1],
    "too-large": lambda: [2**64],
    "nested": lambda: [[2]],
    "str-element": lambda: [2, "3"],
    "None": lambda: None,
    "int": lambda: 3,
    # Read out in full, but their elements are tuples.
    "dict_items": lambda: {"a": 1}.items(),
    "zip": lambda: zip([2]),
}


@pytest.mark.parametrize("make_shape", REFUSED_SHAPES.values(), ids=REFUSED_SHAPES.keys())
@pytest.mark.parametrize("kind", ["full", "zeros", "ones"])
def test_shape_refuses(element_type, kind, make_shape):
    arguments = (make_shape(), 1) if kind == "full" else (make_shape(),)
    with pytest.raises(TypeError, match=rf"^quorva_{kind}_{element_type}\(\): incompatible function"):
        factory(kind, element_type)(*arguments)


@pytest.mark.parametrize(
    "kind, args, kwargs",
    [
        # No parameter has a name that a keyword could give.
        ("full", (), {"arg0": [2], "arg1": 1}),
        ("full", ([2],), {"arg1": 1}),
        ("zeros", (), {"shape": [2]}),
        ("ones", (), {"arg0": [2]}),
        # Missing and surplus arguments.
        ("full", ([2],), {}),
        ("zeros", (), {}),
        ("ones", ([2], 1), {}),
    ],
)
def test_keywords_and_wrong_counts_are_refused(element_type, kind, args, kwargs):
    with pytest.raises(TypeError, match=rf"^quorva_{kind}_{element_type}\(\): incompatible function"):
        factory(kind, element_type)(*args, **kwargs)


@pytest.mark.parametrize(
    "call",
    [
        "quorva_full_int16([2**32, 2**32], 1)",
        "quorva_zeros_int32([2**62])",
        "quorva_ones_float64([2**40])",
    ],
)
def test_impossible_shape_ends_process(call):
    assert_process_ends(
        f"""
        import halvorn
        try:
            halvorn.{call}
        finally:
            print("never reached")
        """,
        b"Failed to allocate memory!\n",
    )
