"""The shape property, to_list and number conversions: a tensor's contents as Python objects."""

import math
import operator
import re
import struct

import halvorn
import pytest

from conftest import DEBUG_INTERPRETER, FLOAT_TYPES, TENSOR_CLASSES, run_python

MEMBERS = ["__init__", "shape", "to_list", "__add__", "__sub__", "__mul__", "__divide__", "__repr__"]
# Added for other libraries after the specified ones, in this order; the
# interpreter adds the buffer slots' wrappers when the class is made.
INTEROP_MEMBERS = ["__dlpack__", "__dlpack_device__", "__reduce_ex__", "__reduce__", "__copy__", "__deepcopy__", "__matmul__"]
NUMBER_MEMBERS = ["__float__", "__int__", "__complex__"]
ARRAY_MEMBERS = ["ndim", "size", "nbytes", "dtype", "__array__", "__sizeof__", "__dask_tokenize__"]


def factory(kind, element_type):
    return getattr(halvorn, f"quorva_{kind}_{element_type}")


def number(element_type):
    return float if element_type in FLOAT_TYPES else int


def signs(values):
    return [math.copysign(1.0, value) for value in values]


def test_members_and_their_order(element_type):
    cls = TENSOR_CLASSES[element_type]
    assert [name for name in vars(cls) if name not in ("__doc__", "__module__")] == (
        MEMBERS[:1] + ["__buffer__", "__release_buffer__", "_pybind11_conduit_v1_"] + MEMBERS[1:]
        + INTEROP_MEMBERS + (["__truediv__"] if element_type in FLOAT_TYPES else [])
        + NUMBER_MEMBERS + ([] if element_type in FLOAT_TYPES else ["__index__"]) + ARRAY_MEMBERS + ["__iter__", "__class__"]
    )


def test_member_signatures(element_type):
    cls = TENSOR_CLASSES[element_type]
    listed = "list[float]" if element_type in FLOAT_TYPES else "list[int]"
    assert cls.to_list.__doc__ == f"to_list(self: halvorn.{cls.__name__}) -> {listed}\n"
    shape = vars(cls)["shape"]
    assert type(shape) is property
    assert shape.fset is None and shape.fdel is None
    assert shape.fget.__doc__ == f"(arg0: halvorn.{cls.__name__}) -> list[int]\n"


@pytest.mark.parametrize(
    "shape", [[2, 3], [], [3, 0], [0], [7], [1, 1, 1, 1], [2**64 - 1, 0]], ids=str
)
def test_shape_and_list_of_a_full_tensor(element_type, shape):
    tensor = factory("full", element_type)(shape, -3)
    assert tensor.shape == shape
    assert all(type(extent) is int for extent in tensor.shape)
    values = tensor.to_list()
    assert values == [-3] * math.prod(shape)
    assert all(type(value) is number(element_type) for value in values)


@pytest.mark.parametrize(
    "element_type, value, listed",
    [
        ("int16", -1, -1),
        ("int16", -32768, -32768),
        ("int32", -(2**31), -(2**31)),
        # Either side of CPython's cached small integers, -5 to 256.
        ("int16", -6, -6), ("int16", -5, -5), ("int32", 256, 256), ("int32", 257, 257),
        # A float element widens exactly: the float nearest 0.1, not 0.1.
        ("float32", 0.1, 0.10000000149011612),
        ("float32", 1 / 3, 0.3333333432674408),
        ("float32", 1e-45, 1.401298464324817e-45),
        ("float64", 0.1, 0.1),
        ("float64", 1 / 3, 1 / 3),
    ],
)
def test_list_values_are_exact(element_type, value, listed):
    (exported,) = factory("full", element_type)([], value).to_list()
    assert type(exported) is type(listed)
    assert struct.pack("<d", exported) == struct.pack("<d", listed)


def test_list_of_more_values_than_one_run_of_lanes(element_type):
    values = list(range(-300, 3000))
    assert factory("array", element_type)(values).to_list() == values


@pytest.mark.parametrize("element_type", FLOAT_TYPES)
def test_list_keeps_the_sign_of_zero(element_type):
    assert signs(factory("full", element_type)([2], -0.0).to_list()) == [-1.0, -1.0]
    assert signs(factory("zeros", element_type)([2]).to_list()) == [1.0, 1.0]


def test_lists_are_fresh_copies(element_type):
    tensor = factory("full", element_type)([2, 3], 4)
    shape, values = tensor.shape, tensor.to_list()
    assert tensor.shape is not shape
    assert tensor.to_list() is not values
    shape.append(9)
    shape[0] = 5
    values[0] = 99
    values.clear()
    assert tensor.shape == [2, 3]
    assert tensor.to_list() == [4] * 6


def test_shape_is_read_only(element_type):
    tensor = factory("ones", element_type)([2, 3])
    with pytest.raises(AttributeError, match="^property 'shape' of '.*' object has no setter$"):
        tensor.shape = [4]
    with pytest.raises(AttributeError, match="^property 'shape' of '.*' object has no deleter$"):
        del tensor.shape
    # The property gives a list, and a list cannot be called.
    with pytest.raises(TypeError):
        tensor.shape()
    assert tensor.shape == [2, 3]
    assert tensor.to_list() == [1] * 6
    assert repr(tensor) == "tensor([2, 3]\n[\n  [1, 1, 1],\n  [1, 1, 1]\n]\n)"


def test_to_list_takes_no_arguments(element_type):
    tensor = factory("ones", element_type)([2])
    with pytest.raises(TypeError):
        tensor.to_list(1)
    with pytest.raises(TypeError):
        TENSOR_CLASSES[element_type].to_list(None)


@pytest.mark.parametrize("shape", [[], [3], [2, 3], [64, 64]], ids=str)
def test_constructor_gives_zeros(element_type, shape):
    cls = TENSOR_CLASSES[element_type]
    count = math.prod(shape)
    for _ in range(3):
        # Free blocks of this size full of sevens first, so a constructor that
        # left the heap's bytes in place would show them.
        stale = factory("full", element_type)(shape, 7)
        del stale
        tensor = cls(shape)
        assert tensor.shape == shape
        values = tensor.to_list()
        assert values == [0] * count
        assert all(type(value) is number(element_type) for value in values)
        if element_type in FLOAT_TYPES:
            assert signs(values) == [1.0] * count



def test_only_a_rank_0_tensor_converts_as_its_number(element_type):
    full, cls, integer = factory("full", element_type), TENSOR_CLASSES[element_type], element_type not in FLOAT_TYPES
    for value in [-(2**15), 2**15 - 1, -1] if integer else [2.5, -0.0, 0.1, 1e30, math.inf, math.nan]:
        tensor = full([], value)
        (exact,) = tensor.to_list()  # float32 comes back widened, exactly
        z = complex(tensor)
        assert struct.pack("<3d", float(tensor), z.real, z.imag) == struct.pack("<3d", exact, exact, 0.0)
        if integer or math.isfinite(exact):
            assert type(int(tensor)) is int and int(tensor) == int(exact)
        else:
            with pytest.raises(ValueError if math.isnan(exact) else OverflowError):
                int(tensor)
    if integer:
        assert ["a", "b", "c"][full([], -1)] == "c" and operator.index(full([], 2**15 - 1)) == 2**15 - 1
    else:
        with pytest.raises(TypeError, match="cannot be interpreted as an integer"):
            operator.index(full([], 1))
    assert bool(full([], 0))  # truth testing is left as it was: every tensor is true
    for convert in [float, int, complex] + ([operator.index] if integer else []):
        for shape in ([1], [0], [2, 3]):
            with pytest.raises(TypeError, match=r"^only a rank-0 tensor \(shape \[\]\) converts to a Python number; "
                               f"this {element_type} tensor has shape {re.escape(str(shape))}$"):
                convert(factory("ones", element_type)(shape))
        with pytest.raises(TypeError, match="its __init__ was never called"):
            convert(cls.__new__(cls))


# The address space is capped half a mebibyte further each time, so that each
# allocation the route makes (the values, the list, its numbers) is in turn
# the first to fail. Values beyond the small ints, so that each is allocated.
UNDER_PRESSURE = """
import ctypes, resource, halvorn
ctypes.CDLL(None).mallopt(-3, 1 << 16)  # M_MMAP_THRESHOLD: large blocks map afresh, and go at once
def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
tensor = halvorn.quorva_full_{element_type}([1 << 19], 1000)
ranked = halvorn.TensorInt16([1] * (1 << 19))
# One route a process: what an earlier one freed would be room for the next.
route = {{"to_list": tensor.to_list, "shape": lambda: ranked.shape}}["{route}"]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
outcomes = set()
for margin in range(0, 40 << 20, 1 << 19):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin, hard))
    try:
        route()
        outcomes.add("ok")
    except Exception as error:
        outcomes.add(type(error).__name__)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("{route}", *sorted(outcomes))
"""


@pytest.mark.not_under_sanitizers("ASan reserves terabytes of address space, so no address-space limit applies")
@pytest.mark.skipif(DEBUG_INTERPRETER, reason="the debug interpreter's allocator pads every block and takes "
                    "address space where the plain one does not; the plain run checks the routes")
def test_every_failed_allocation_of_an_export_is_memory_error(element_type):
    for route in ["to_list", "shape"]:
        result = run_python(UNDER_PRESSURE.format(element_type=element_type, route=route))
        assert (result.returncode, result.stdout.decode(), result.stderr) == (0, f"{route} MemoryError ok\n", b"")
