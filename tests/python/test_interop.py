"""halvorn with other libraries: the buffer protocol and DLPack out,
quorva_array_* in, pickling, copying, and the @ and / operators."""

import array
import binascii
import copy
import ctypes
import gc
import io
import pickle
import sys
import weakref

import numpy as np
import pytest

import halvorn
import halvorn_testing as testing
from conftest import FLOAT_TYPES, SANITIZED, TENSOR_CLASSES, assert_process_ends, run_python

# ./dev test runs this file again capped at each narrower instruction set.
pytestmark = pytest.mark.kernels

DTYPES = {"int16": np.int16, "int32": np.int32, "float32": np.float32, "float64": np.float64}
SHAPES = [[], [0], [3, 0], [5], [2, 3], [2, 3, 4]]


def array_function(element_type):
    return getattr(halvorn, f"quorva_array_{element_type}")


def values(element_type, shape):
    """Every extreme of the type first: the limits, and for floats -0.0, a NaN
    with a payload, subnormals and infinities."""
    dtype = np.dtype(DTYPES[element_type])
    if dtype.kind == "i":
        info = np.iinfo(dtype)
        special = np.array([info.min, info.max, 0, -1, 7], dtype=dtype)
    else:
        bits = np.uint32 if dtype.itemsize == 4 else np.uint64
        payload_nan = np.array([0x7FC01234 if dtype.itemsize == 4 else 0x7FF8000000001234], dtype=bits).view(dtype)
        finfo = np.finfo(dtype)
        special = np.concatenate([np.array([-0.0, np.inf, -np.inf, finfo.smallest_subnormal, finfo.max, 0.1],
                                           dtype=dtype), payload_nan])
    count = int(np.prod(shape))
    return np.resize(special, count).reshape(shape)


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("shape", SHAPES, ids=str)
def test_round_trips_keep_every_bit(element_type, shape):
    source = values(element_type, shape)
    tensor = array_function(element_type)(source)
    assert type(tensor) is TENSOR_CLASSES[element_type] and tensor.shape == shape
    view = np.asarray(tensor)
    assert same_bits(view, source) and not view.flags.writeable
    assert view.strides == tuple(16 * int(np.prod(shape[d + 1:])) for d in range(len(shape)))
    # What engines and data libraries read: every element costs a packet.
    assert (tensor.ndim, tensor.size, tensor.nbytes, tensor.dtype) == (len(shape), source.size, 16 * source.size,
                                                                       source.dtype)
    assert sys.getsizeof(tensor) - sys.getsizeof(type(tensor).__new__(type(tensor))) >= tensor.nbytes
    # __array__ as NumPy 2 has it: the view in place, or a copy where asked or needed.
    other = "float64" if element_type != "float64" else "complex128"
    address = view.__array_interface__["data"][0]
    in_place, copied = tensor.__array__(element_type, copy=False), tensor.__array__(copy=True)
    assert in_place.__array_interface__["data"][0] == address and not in_place.flags.writeable
    assert copied.flags.c_contiguous and copied.flags.writeable and copied.__array_interface__["data"][0] != address
    assert all(map(same_bits, [in_place, copied, tensor.__array__(), tensor.__array__(other)],
                   [source] * 3 + [source.astype(other)]))
    with pytest.raises(ValueError, match="^Unable to avoid copy while creating an array as requested"):
        tensor.__array__(other, copy=False)
    with pytest.raises(KeyError):  # a copy flag whose truth cannot be told
        tensor.__array__(copy=type("Undecided", (), {"__bool__": lambda self: {}["truth"]})())
    assert same_bits(np.from_dlpack(tensor), source)
    assert same_bits(np.from_dlpack(tensor, copy=True), source)
    assert same_bits(memoryview(tensor), source)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(tensor, protocol))
        assert type(restored) is type(tensor) and same_bits(np.asarray(restored), source), protocol
    # Back in through every kind of input: a tensor, a buffer, DLPack, lists.
    for again in (tensor, memoryview(tensor), np.asarray(tensor), source.tolist()):
        assert same_bits(np.asarray(array_function(element_type)(again)), source)
    # Iteration runs over the first axis, as NumPy's does: new tensors of one
    # rank less, or a rank-1 tensor's elements as to_list() gives them.
    if not shape:
        with pytest.raises(TypeError, match=r"^iteration over a rank-0 tensor \(shape \[\]\)"):
            iter(tensor)
    elif len(shape) == 1:
        items = list(tensor)
        assert list(map(type, items)) == list(map(type, tensor.to_list())) and same_bits(np.array(items, source.dtype), source)
    else:
        items = list(tensor)
        assert len(items) == shape[0] and all(type(item) is type(tensor) and same_bits(item, row) for item, row in zip(items, source))


def test_views_are_zero_copy_and_keep_the_tensor_alive(element_type):
    tensor = array_function(element_type)(values(element_type, [1000]))
    expected = np.asarray(tensor).copy()
    address = np.asarray(tensor).__array_interface__["data"][0]
    assert np.from_dlpack(tensor).__array_interface__["data"][0] == address
    views = [np.asarray(tensor), memoryview(tensor), np.from_dlpack(tensor)]
    capsules = [tensor.__dlpack__(), tensor.__dlpack__(max_version=(1, 0))]  # never consumed
    elements = iter(tensor)
    alive = weakref.ref(tensor) if hasattr(type(tensor), "__weakref__") else None
    before = sys.getrefcount(tensor)
    del tensor
    gc.collect()
    for view in views:
        assert same_bits(np.asarray(view), expected)
    assert same_bits(np.array(list(elements), expected.dtype), expected)
    del views, capsules
    gc.collect()
    assert before > 1 and (alive is None or alive() is None)
    # An iterator the tensor holds is collected with it.
    looped = type("Looped", (TENSOR_CLASSES[element_type],), {})([2])
    looped.rows, alive = iter(looped), weakref.ref(looped)
    del looped
    gc.collect()
    assert alive() is None


def test_exports_are_read_only(element_type):
    tensor = array_function(element_type)([1, 2])
    with pytest.raises((BufferError, TypeError)):
        ctypes.c_char.from_buffer(tensor)
    with pytest.raises(TypeError):
        memoryview(tensor)[0] = 5
    with pytest.raises(ValueError):
        np.asarray(tensor)[0] = 5
    with pytest.raises(ValueError):
        np.from_dlpack(tensor)[0] = 5
    writable = np.from_dlpack(tensor, copy=True)
    writable[0] = 5
    assert tensor.to_list() == [1, 2]


def test_dlpack_capsules_and_devices(element_type):
    tensor = array_function(element_type)([[1, 2, 3], [4, 5, 6]])
    assert tensor.__dlpack_device__() == (1, 0)
    assert "dltensor_versioned" in repr(tensor.__dlpack__(max_version=(1, 0)))
    assert '"dltensor"' in repr(tensor.__dlpack__())
    for refused in [dict(dl_device=(2, 0)), dict(dl_device=(1, 1)), dict(stream=1)]:
        with pytest.raises(BufferError):
            tensor.__dlpack__(**refused)
    with pytest.raises(TypeError):
        tensor.__dlpack__(None)  # keyword-only
    assert np.from_dlpack(tensor, copy=False).tolist() == [[1, 2, 3], [4, 5, 6]]


@pytest.mark.parametrize(
    "make",
    [
        lambda x: np.asfortranarray(x),
        lambda x: x[::-1, ::-2],
        lambda x: x.T,
        lambda x: x.astype(x.dtype.newbyteorder(">")),
        lambda x: x.astype(np.int8 if x.dtype.kind == "i" else np.float16),
        lambda x: x.astype(np.uint8 if x.dtype.kind == "i" else np.float32) % 100,
        lambda x: x.astype(bool),
        lambda x: np.broadcast_to(x[:1], x.shape),
    ],
    ids=["fortran", "negative-steps", "transposed", "big-endian", "narrower", "unsigned", "bool", "zero-steps"],
)
def test_any_strides_and_formats(element_type, make):
    base = np.arange(-6, 6).reshape(3, 4).astype(DTYPES[element_type])
    source = make(base)
    expected = source.astype(DTYPES[element_type])
    assert same_bits(np.asarray(array_function(element_type)(source)), expected)
    assert same_bits(np.asarray(array_function(element_type)(memoryview(source) if source.flags.c_contiguous
                                                            else source.tolist())), expected)


def test_other_buffers_and_tensor_classes(element_type):
    convert = array_function(element_type)
    assert convert(array.array("q", [-3, 4])).to_list() == [-3, 4]
    assert convert(bytearray(b"\x01\xff")).to_list() == [1, 255]
    assert convert(halvorn.quorva_full_int16([2, 1], -7)).shape == [2, 1]
    assert convert(halvorn.quorva_full_int16([2, 1], -7)).to_list() == [-7, -7]
    assert convert(np.int16(5)).shape == []


@pytest.mark.parametrize(
    "data, shape",
    [(7, []), (True, []), ([], [0]), ([[], []], [2, 0]), ((1, 2), [2]), ([(1, 2), [3, 4]], [2, 2]),
     ([[[1]], [[2]]], [2, 1, 1]), ([np.int64(3), True], [2]), (range(3), [3])],
    ids=str,
)
def test_nested_sequences_take_numpy_shapes(element_type, data, shape):
    tensor = array_function(element_type)(data)
    assert tensor.shape == shape == list(np.array(data).shape)
    assert tensor.to_list() == np.array(data, dtype=DTYPES[element_type]).ravel().tolist()


@pytest.mark.parametrize("element_type", FLOAT_TYPES)
def test_float_classes_round_once(element_type):
    convert = array_function(element_type)
    fill = getattr(halvorn, f"quorva_full_{element_type}")
    for value in [0.1, 1e300, -1e300, 2**64 + 1, 2**200, 16777217]:
        assert convert([value]).to_list() == fill([1], value).to_list()
        assert convert(np.array([value], dtype=np.float64 if isinstance(value, float) else object)
                       .astype(np.float64)).to_list() == fill([1], float(value)).to_list()
    # An int of any size rounds once, ties to even, and past the range to
    # infinity; the fill goes through a double first.
    big = 2**63 + 2**39 + 1
    assert fill([1], big).to_list() == [2.0**63 if element_type == "float32" else float(big)]
    nearest = {big: 2**63 + 2**40, -big: -(2**63 + 2**40), 2**63 + 2**39: 2**63, 2**63 + 3 * 2**39: 2**63 + 2**41,
               2**128 - 2**103 - 1: 2**128 - 2**104, 2**128 - 2**103: np.inf, -(10**400): -np.inf}
    for value, expected in nearest.items() if element_type == "float32" else []:
        assert convert([value]).to_list() == convert(value).to_list() == [float(expected)], value
    assert convert(np.array([big], dtype=np.uint64)).to_list() == convert([big]).to_list()


class ArrayLike:
    """Offers its data through NumPy's __array__ alone, as a pandas DataFrame does."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        if isinstance(self.array, BaseException):
            raise self.array
        return self.array


def test_objects_offering_only_numpy_array_are_imported_through_it(element_type):
    convert = array_function(element_type)
    source = values(element_type, [2, 3])
    for offered in (source, source.T, convert(source), np.array(7, dtype=DTYPES[element_type])):
        assert same_bits(np.asarray(convert(ArrayLike(offered))), np.asarray(offered))
    # After the buffer protocol, before sequences; __array__ = None opts out.
    assert convert(type("", (bytearray,), {"__array__": lambda self: 1 / 0})(b"\x01")).to_list() == [1]
    assert convert(type("", (list,), {"__array__": lambda self: np.array([[7]])})([1, 2])).to_list() == [7]
    assert convert(type("", (list,), {"__array__": None})([1, 2])).to_list() == [1, 2]
    with pytest.raises(KeyboardInterrupt):  # an interruption is no failure of the object
        convert(ArrayLike(KeyboardInterrupt()))


class Chameleon:
    """A number whose __index__ empties the list it sits in."""

    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        self.victim.clear()
        return 1


def test_refusals(element_type):
    convert = array_function(element_type)
    integer = element_type not in FLOAT_TYPES
    cases = [
        ("text", TypeError, "str"), (b"xy", TypeError, "bytes"), ([None], TypeError, "NoneType"),
        ([1, "2"], TypeError, "str"), (object(), TypeError, "object"), ([1j], TypeError, "complex"),
        (np.array([1 + 2j]), TypeError, "complex"), (np.array(["a"]), TypeError, "format"),
        ([[1, 2], [3]], ValueError, "at [1]"), ([[1, 2], 3], ValueError, "at [1]"), ([1, [2]], ValueError, "[1]"),
        ([[1], [[2]]], ValueError, "[1, 0]"), ([[[]] * 2, [[1]] * 2], ValueError, "[1, 0]"),
    ]
    if integer:
        limit = np.iinfo(DTYPES[element_type]).max + 1
        cases += [([2.0], TypeError, "float"), (np.array([2.0]), TypeError, "floating"),
                  ([0, limit], OverflowError, f"{limit} at element [1]"),
                  (np.array([[0, 0], [0, -limit - 1]]), OverflowError, f"{-limit - 1} at element [1, 1]"),
                  (np.array([2**64 - 1], dtype=np.uint64), OverflowError, str(2**64 - 1)), (2**100, OverflowError, ""),
                  # Rendered, a million lines; shown, one.
                  ([TENSOR_CLASSES["float64"]([10**6, 0])], TypeError,
                   "element [0] is a TensorFloat64 (<TensorFloat64 shape=[1000000, 0]>), not an integer")]
    elif element_type == "float64":
        cases += [([10**400], OverflowError, "too large")]
    cases += [(ArrayLike(ValueError("broken")), TypeError, "__array__() failed"),
              (ArrayLike([1, 2]), TypeError, "__array__() returned a list, which is not an array"),
              (ArrayLike(ArrayLike(np.ones(2))), TypeError, "returned a ArrayLike, which is not an array"),
              (ArrayLike(np.array([1 + 2j])), TypeError, "complex")]
    nested = [[0], [0]]
    nested[1].append(nested)  # a list inside itself is nested beyond any depth
    cases.append((nested, ValueError, ""))
    for data, error, fragment in cases:
        with pytest.raises(error) as caught:
            convert(data)
        assert fragment in str(caught.value), (data, str(caught.value))
    with pytest.raises(TypeError) as caught:
        convert(ArrayLike(ValueError("broken")))
    assert type(caught.value.__cause__) is ValueError and str(caught.value.__cause__) == "broken"
    victim = [0, 0, 0]
    victim[1] = Chameleon(victim)
    with pytest.raises(ValueError, match="changed its length"):
        convert(victim)
    with pytest.raises(TypeError):
        convert(data=[1])
    # An unconstructed instance has nothing to give.
    for method in (lambda e: convert(e), lambda e: memoryview(e), lambda e: pickle.dumps(e), lambda e: e.__dlpack__()):
        with pytest.raises(TypeError, match="its __init__ was never called"):
            method(TENSOR_CLASSES[element_type].__new__(TENSOR_CLASSES[element_type]))


def test_dask_tokens_follow_type_shape_and_every_bit(element_type):
    tokenize = pytest.importorskip("dask.base").tokenize
    make, cls, dtype = array_function(element_type), TENSOR_CLASSES[element_type], DTYPES[element_type]
    source = values(element_type, [2, 3, 50])  # a few stripes of every width, the last one partial
    tensor = make(source)
    name, shape, digest = token = tensor.__dask_tokenize__()
    assert (name, shape, len(digest), int(digest, 16) >= 0) == (f"halvorn.{cls.__name__}", (2, 3, 50), 32, True)
    # Equal values made differently: imported, broadcast by a factory, computed.
    full = getattr(halvorn, f"quorva_full_{element_type}")
    sevens = [make(np.full((4, 33), 7, dtype)), full([4, 33], 7), full([4, 33], 3) + full([4, 33], 4)]
    assert len({t.__dask_tokenize__() for t in sevens}) == len({tokenize(t) for t in sevens}) == 1
    assert make(source.copy()).__dask_tokenize__() == token and tokenize(make(source.copy())) == tokenize(tensor)
    changed = source.copy()
    changed[1, 2, 49] = 1
    float_twin = {"int32": "float32", "float32": "int32"}.get(element_type)
    # Another value, shape or type with the same bits, and a subclass, change the token.
    others = [make(changed), make(source.reshape(3, 2, 50)), make(source.reshape(-1)),
              type("Labelled", (cls,), {})([2, 3, 50])]
    others += [getattr(halvorn, f"quorva_zeros_{other}")([2, 3, 50]) for other in DTYPES]
    if float_twin:
        others.append(array_function(float_twin)(source.view(DTYPES[float_twin])))
    if element_type in FLOAT_TYPES:
        others += [full([2, 3, 50], -0.0)]
    tokens = [token] + [t.__dask_tokenize__() for t in others]
    assert len(set(tokens)) == len(tokens) and len({tokenize(t) for t in [tensor] + others}) == len(tokens)
    if element_type in FLOAT_TYPES:
        assert full([5], 0.0).__dask_tokenize__()[2] != full([5], -0.0).__dask_tokenize__()[2]
    # The same in a fresh process, on the narrowest instruction set too (not
    # under the sanitizers: the child imports NumPy and Dask, whose imports
    # leak bytes of CPython's own that LeakSanitizer cannot tell from ours).
    if not SANITIZED:
        result = run_python(f"""
            import dask.base, halvorn, halvorn_testing, numpy as np
            halvorn_testing.cap_kernels("sse4.1")
            t = halvorn.quorva_array_{element_type}(np.frombuffer({source.tobytes()!r}, np.{element_type}).reshape(2, 3, 50))
            print(repr((t.__dask_tokenize__(), dask.base.tokenize(t))))
        """)
        assert result.stdout.decode().strip() == repr((token, tokenize(tensor))), result.stderr
    empty = cls.__new__(cls)
    with pytest.raises(TypeError) as refused:
        empty.__dask_tokenize__()
    with pytest.raises(TypeError) as expected:
        empty.to_list()
    assert str(refused.value) == str(expected.value)


def test_pickle_is_compact_and_checked(element_type):
    tensor = array_function(element_type)(values(element_type, [1000]))
    item = np.dtype(DTYPES[element_type]).itemsize
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        # Protocols 0 to 2 have no bytes type: the values go as latin-1 text,
        # at most two bytes per byte.
        size = len(pickle.dumps(tensor, protocol))
        assert size < (1 if protocol >= 3 else 2) * 1000 * item + 300, protocol
    buffers = []
    data = pickle.dumps(tensor, 5, buffer_callback=buffers.append)
    assert len(data) < 200 and len(buffers) == 1
    assert same_bits(np.asarray(pickle.loads(data, buffers=buffers)), np.asarray(tensor))

    class OnlyHalvorn(pickle.Unpickler):
        # A careful loader: the pickle may name the reconstructor and nothing else.
        def find_class(self, module, name):
            assert (module, name) == ("halvorn", f"_restore_{element_type}"), (module, name)
            return super().find_class(module, name)

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        loaded = OnlyHalvorn(io.BytesIO(pickle.dumps(tensor, protocol))).load()
        assert same_bits(np.asarray(loaded), np.asarray(tensor))
    restore = getattr(halvorn, f"_restore_{element_type}")
    with pytest.raises(ValueError):
        restore([3], b"\0" * item * 2)
    with pytest.raises(ValueError):
        restore([2**40, 2**40, 2**40], b"")
    assert copy.copy(tensor) is tensor and copy.deepcopy([tensor])[0] is tensor


COPIERS = {"copy": copy.copy, "deepcopy": copy.deepcopy}
COPIERS |= {f"pickle-{p}": lambda t, p=p: pickle.loads(pickle.dumps(t, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)}
# Subclasses with a __dict__ and with slots, at module level so that pickle finds them.
for _cls in TENSOR_CLASSES.values():
    for _kind, _namespace in {"Labelled": {}, "Slotted": {"__slots__": ("unit",)}}.items():
        globals()[_kind + _cls.__name__] = type(_kind + _cls.__name__, (_cls,), {"__module__": __name__, **_namespace})


@pytest.mark.parametrize("copier", COPIERS)
@pytest.mark.parametrize("kind", ["Labelled", "Slotted"])
def test_a_subclass_instance_copies_and_pickles_with_its_attributes(element_type, kind, copier):
    # The class's own instances hold nothing but the tensor: each is its own copy.
    plain = TENSOR_CLASSES[element_type]([2])
    plain_twin = COPIERS[copier](plain)
    assert type(plain_twin) is type(plain) and (plain_twin is plain) == (copier in ("copy", "deepcopy"))
    cls = globals()[kind + TENSOR_CLASSES[element_type].__name__]
    tensor = getattr(halvorn, f"_restore_{element_type}")([2], np.array([1, 2], DTYPES[element_type]).tobytes(), cls)
    tensor.unit = {"length": "m"}
    if kind == "Labelled":
        tensor.itself = tensor
    twin = COPIERS[copier](tensor)
    assert type(twin) is cls and twin is not tensor and twin.shape == [2] and twin.to_list() == [1, 2]
    twin.unit["length"] = "km"
    assert tensor.unit == {"length": "km" if copier == "copy" else "m"}
    if kind == "Labelled":
        assert twin.itself is (tensor if copier == "copy" else twin)


# The larger count's tensor is rebuilt with streaming stores.
@pytest.mark.parametrize("count", [4096 + 13, (1 << 20) + 13])
def test_pickle_stream_is_the_values_bytes_and_every_lane_comes_back(element_type, count):
    # Random bits (signalling NaNs included), and a count that leaves a tail
    # after every vector width the kernels use.
    item = np.dtype(DTYPES[element_type]).itemsize
    source = np.random.default_rng(5).integers(0, 256, count * item, np.uint8).view(DTYPES[element_type])
    tensor = array_function(element_type)(source)
    restore = getattr(halvorn, f"_restore_{element_type}")

    class SameValues:
        # The stream format: the reconstructor, the shape and the values' own bytes.
        def __reduce_ex__(self, protocol):
            values = source.tobytes()
            if protocol >= 5:
                values = pickle.PickleBuffer(values)
            elif protocol < 3:
                values = binascii.b2a_base64(values, newline=False).decode("ascii")
            return restore, ([len(source)], values)

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(tensor, protocol)
        assert data == pickle.dumps(SameValues(), protocol), protocol
        lanes = testing.packet_bytes(pickle.loads(data))
        assert lanes == np.repeat(source.view(f"V{item}"), 16 // item).tobytes(), protocol
    buffers = []
    data = pickle.dumps(tensor, 5, buffer_callback=buffers.append)
    del tensor
    restored = pickle.loads(data, buffers=buffers)
    assert buffers[0].raw().tobytes() == source.tobytes() and same_bits(np.asarray(restored), source)
    # The out-of-band values are a read-only block that Python cannot make or write.
    holder = buffers[0].raw().obj
    for refused in [lambda: type(holder)(), lambda: ctypes.c_char.from_buffer(holder)]:
        with pytest.raises(TypeError):
            refused()


def test_at_is_dot_and_slash_is_div(element_type):
    a = array_function(element_type)([[1, 2], [3, 4]])
    dot = getattr(halvorn, f"quorva_dot_{element_type}")
    assert (a @ a).to_list() == dot(a, a).to_list() == [7, 10, 15, 22]
    with pytest.raises(TypeError):
        a @ np.ones((2, 2))
    if element_type in FLOAT_TYPES:
        assert (a / a).to_list() == [1, 1, 1, 1]
    else:
        with pytest.raises(TypeError):
            a / a
    assert_process_ends(
        f"""
        import halvorn
        a = halvorn.quorva_ones_{element_type}([2, 3])
        try:
            a @ a
        finally:
            print("never reached")
        """,
        b"quorva dot() : Shape doesn't match!\n",
    )


class DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device", ctypes.c_int32 * 2), ("ndim", ctypes.c_int32),
                ("dtype", ctypes.c_uint32), ("shape", ctypes.c_void_p), ("strides", ctypes.c_void_p),
                ("byte_offset", ctypes.c_uint64)]


class DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", ctypes.c_void_p)]


class RuleBreakingProducer:
    """A DLPack producer built with ctypes, as a faulty library might be: int64
    values 1, 2, 3, ... with the shape, strides and data it is given."""

    def __init__(self, shape, strides=None, ndim=None, data=True):
        int64s = lambda numbers: (ctypes.c_int64 * len(numbers))(*numbers) if numbers is not None else None
        self.values, self.shape, self.strides = int64s(range(1, 7)), int64s(shape), int64s(strides)
        address = lambda array: ctypes.addressof(array) if array is not None else None
        # On the CPU (1, 0); kDLInt (0), 64 bits, 1 lane; no deleter.
        self.managed = DLManagedTensor(DLTensor(
            address(self.values) if data else None, (1, 0), len(shape or []) if ndim is None else ndim,
            0 | 64 << 8 | 1 << 16, address(self.shape), address(self.strides), 0))

    def __dlpack__(self, **ignored):
        new = ctypes.pythonapi.PyCapsule_New
        new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        return new(ctypes.addressof(self.managed), b"dltensor", None)


def test_rule_breaking_producers_are_refused_or_read_right(element_type):
    convert = array_function(element_type)
    refused = [
        RuleBreakingProducer(None, ndim=2),  # no shape
        RuleBreakingProducer([2], data=False),
        RuleBreakingProducer([], ndim=-1),
        RuleBreakingProducer([2, 3], strides=[2**61, 1]),  # 2**61 * 8 bytes
        RuleBreakingProducer([3, 2**62], strides=[1, 2**60]),
        RuleBreakingProducer([2**32, 2**32, 2], strides=[0, 0, 0]),  # 2**65 elements
        *(testing.rule_breaking_buffer(kind) for kind in ["suboffsets", "no-shape", "negative-ndim"]),
    ]
    for producer in refused:
        with pytest.raises((BufferError, ValueError)):
            convert(producer)
    # The rows behind the pointers really are 1 to 6.
    assert memoryview(testing.rule_breaking_buffer("suboffsets")).tolist() == [[1, 2, 3], [4, 5, 6]]
    assert convert(RuleBreakingProducer([0, 3], data=False)).shape == [0, 3]
    # A huge step along an axis of one element is never taken.
    assert convert(RuleBreakingProducer([1, 3], strides=[2**62, 1])).to_list() == [1, 2, 3]
    assert convert(RuleBreakingProducer([2, 1], strides=[3, -(2**63)])).to_list() == [1, 4]


def test_views_of_empty_tensors_too_large_to_describe_are_refused(element_type):
    cls = TENSOR_CLASSES[element_type]
    for shape in ([2**62, 0], [2**62, 2**62, 0]):
        for export in (memoryview, lambda t: t.__dlpack__(), np.from_dlpack):
            with pytest.raises(BufferError):
                export(cls(shape))
    assert array_function(element_type)(cls([2**62, 2**62, 0])).shape == [2**62, 2**62, 0]
    with pytest.raises((TypeError, BufferError)):
        array_function("float64" if element_type == "float32" else "float32")(cls([2**62, 2**62, 0]))
    assert memoryview(cls([2**58, 0])).shape == (2**58, 0)


def test_capsules_alive_at_exit_release_their_tensors(element_type):
    result = run_python(f"""
        import os, halvorn
        class Watched(halvorn.{TENSOR_CLASSES[element_type].__name__}):
            def __del__(self, write=os.write):
                write(1, b"released")
        tensor = Watched([2])
        # Not in this module's globals, which __del__ keeps alive: halvorn's
        # are cleared at exit, after Py_IsInitialized() has turned false.
        halvorn.kept = [tensor.__dlpack__(), tensor.__dlpack__(max_version=(1, 0))]
        del tensor
    """)
    assert (result.stdout, result.stderr, result.returncode) == (b"released", b"", 0)
