"""Hostile arguments for every module function and every tensor method.

Wrong types, wrong counts, keywords, huge and negative ints, floats, strings,
bytes, None, objects whose __index__, __iter__, __len__ or __getitem__ raise or
lie, and generators that raise midway. Every call must end in a clean Python
exception, TypeError for an argument that does not convert or the argument's
own exception where its own code raised, or in a valid result where the
argument is in fact acceptable. No call may crash or leak: the reference count
of every argument, and of every object inside one, is the same afterwards.

Left out on purpose: shapes that convert but cannot be stored (they end the
process and are tested in test_process_exit.py), endless generators (reading
one out never ends, in Python's own tuple() too), and renderings of huge
counts of empty blocks or of thousands of dimensions, which are slow or deep
by design.
"""

import gc
import sys

import halvorn
import numpy as np
import pytest

from conftest import COUNTS, ELEMENT_TYPES, FLOAT_TYPES, SANITIZED, TENSOR_CLASSES, run_python

OTHER_TYPE = {"int16": "int32", "int32": "float32", "float32": "float64", "float64": "int16"}


class Boom(Exception):
    """Raised by the hostile objects' own code."""


class Extent:
    """A valid extent that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class FloatIndex:
    def __index__(self):
        return 2.5


class HugeIndex:
    def __index__(self):
        return 2**70


class NegativeIndex:
    def __index__(self):
        return -3


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class IntFloat:
    def __float__(self):
        return 2


class RaisingLen:
    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, i):
        return 1


class NegativeLen:
    def __len__(self):
        return -1

    def __getitem__(self, i):
        raise IndexError


class LyingLen:
    """Says it holds `claimed` items; holds two extents of 3."""

    def __init__(self, claimed):
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i < 2:
            return 3
        raise IndexError


class RaisingIter:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1

    def __iter__(self):
        raise Boom("__iter__")


class NonIteratorIter:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return 1

    def __iter__(self):
        return 5


class RaisingItem:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise Boom("__getitem__")
        if i > 2:
            raise IndexError
        return 1


class OnlyIter:
    """Iterable but neither a sequence nor one of the iterables a shape may be."""

    def __iter__(self):
        return iter([2, 3])


def raising_generator(extents, error):
    yield from extents
    raise error


def boom(_):
    raise Boom("map")


# ---------------------------------------------------------------------------
# The catalogues. Each entry makes a fresh argument (generators are used up by
# one call) and names what may come of it: a set of exception types, or "ok"
# with the shape the result must have.

CONVERT = {TypeError}
# The argument's own code raised: the call may pass that exception on, or
# pybind11 may swallow it and report the argument as not converting.
OWN = {TypeError, Boom}


def shape_cases():
    cases = {
        "None": (lambda: None, CONVERT),
        "int": (lambda: 3, CONVERT),
        "huge-int": (lambda: 2**100, CONVERT),
        "float": (lambda: 2.0, CONVERT),
        "str": (lambda: "23", CONVERT),
        "bytes": (lambda: b"\x02\x03", CONVERT),
        "dict": (lambda: {2: 3}, CONVERT),
        "object": (lambda: object(), CONVERT),
        "float-extent": (lambda: [2, 3.0], CONVERT),
        "numpy-float-extent": (lambda: [np.float64(2.0)], CONVERT),
        "complex-extent": (lambda: [2j], CONVERT),
        "negative-extent": (lambda: [2, -1], CONVERT),
        "most-negative-extent": (lambda: [-(2**63)], CONVERT),
        "too-large-extent": (lambda: [2**64], CONVERT),
        "huge-extent": (lambda: [2**1000], CONVERT),
        "None-extent": (lambda: [None], CONVERT),
        "str-extent": (lambda: ["2"], CONVERT),
        "nested": (lambda: [[2]], CONVERT),
        "raising-index": (lambda: [Extent(2), RaisingIndex()], OWN),
        "float-index": (lambda: [FloatIndex()], CONVERT),
        "huge-index": (lambda: [HugeIndex()], CONVERT),
        "negative-index": (lambda: [NegativeIndex()], CONVERT),
        "raising-len": (lambda: RaisingLen(), OWN),
        "negative-len": (lambda: NegativeLen(), {TypeError, ValueError}),
        # std::vector refuses a reservation past its max_size: pybind11
        # reports the std::length_error as ValueError.
        "len-claims-maxsize": (lambda: LyingLen(sys.maxsize), {TypeError, ValueError}),
        "raising-iter": (lambda: RaisingIter(), OWN),
        "non-iterator-iter": (lambda: NonIteratorIter(), CONVERT),
        "raising-item": (lambda: RaisingItem(), OWN),
        "only-iter": (lambda: OnlyIter(), CONVERT),
        "generator-raises-midway": (lambda: raising_generator([Extent(2), 3], Boom("generator")), OWN),
        "generator-raises-TypeError": (lambda: raising_generator([2], TypeError("generator")), CONVERT),
        "generator-yields-float": (lambda: (x for x in [2, 1.5]), CONVERT),
        "generator-yields-negative": (lambda: (x for x in [2, -2]), CONVERT),
        "map-raises": (lambda: map(boom, [1, 2]), OWN),
        "set-with-negative": (lambda: {2, -1}, CONVERT),
        "dict-items": (lambda: {2: 3}.items(), CONVERT),
        "zip": (lambda: zip([2], [3]), CONVERT),
        # Acceptable after all, however odd: each gives the shape named.
        "len-claims-fewer": (lambda: LyingLen(0), ("ok", [3, 3])),
        "len-claims-more": (lambda: LyingLen(1000), ("ok", [3, 3])),
        "bytearray": (lambda: bytearray(b"\x02\x03"), ("ok", [2, 3])),
        "numpy-array": (lambda: np.array([2, 3]), ("ok", [2, 3])),
        "index-objects": (lambda: (Extent(2), Extent(0)), ("ok", [2, 0])),
        "bools": (lambda: [True, False], ("ok", [1, 0])),
        "huge-extents-with-a-zero": (lambda: [2**64 - 1, 0, 2**63], ("ok", [2**64 - 1, 0, 2**63])),
    }
    if not SANITIZED:
        # Within max_size, so the vector asks for 2^61 bytes: the plain build
        # gets std::bad_alloc, which pybind11 raises as MemoryError. ASan's
        # operator new does not return null even when told that malloc may:
        # it reports the size and stops the process.
        cases["len-claims-2**58"] = (lambda: LyingLen(2**58), {TypeError, MemoryError})
    return cases


def value_cases(element_type):
    common = {
        "None": (lambda: None, CONVERT),
        "str": (lambda: "1", CONVERT),
        "bytes": (lambda: b"1", CONVERT),
        "list": (lambda: [1], CONVERT),
        "complex": (lambda: 1j, CONVERT),
        "object": (lambda: object(), CONVERT),
        "raising-float": (lambda: RaisingFloat(), OWN),
        # A tensor stands for a number only at rank 0, and only once built.
        "one-element-tensor": (lambda: halvorn.quorva_ones_int32([1]), CONVERT),
        "unconstructed-tensor": (lambda: unconstructed(halvorn.TensorInt32), CONVERT),
        "rank-0-int-tensor": (lambda: halvorn.quorva_full_int32([], 3), ("ok", [2])),
    }
    if element_type in FLOAT_TYPES:
        return common | {
            "int-too-large-for-double": (lambda: 10**400, {TypeError, OverflowError}),
            "raising-index": (lambda: RaisingIndex(), OWN),
            "float-returns-int": (lambda: IntFloat(), CONVERT),
        }
    low, high = (-(2**15), 2**15 - 1) if element_type == "int16" else (-(2**31), 2**31 - 1)
    return common | {
        "float": (lambda: 2.0, CONVERT),
        "nan": (lambda: float("nan"), CONVERT),
        # A float subclass is refused like a float ...
        "numpy-float64": (lambda: np.float64(2.0), CONVERT),
        # ... while a number object that is no float converts through int().
        "numpy-float32": (lambda: np.float32(2.0), ("ok", [2])),
        "above-range": (lambda: high + 1, CONVERT),
        "below-range": (lambda: low - 1, CONVERT),
        "huge": (lambda: 2**1000, CONVERT),
        "raising-index": (lambda: RaisingIndex(), OWN),
        "float-index": (lambda: FloatIndex(), CONVERT),
        "huge-index": (lambda: HugeIndex(), CONVERT),
    }


def unconstructed(cls):
    """An instance whose __init__ never ran: it owns no tensor."""
    return cls.__new__(cls)


def tensor_cases(element_type):
    cls = TENSOR_CLASSES[element_type]
    other = TENSOR_CLASSES[OTHER_TYPE[element_type]]

    class Subclass(cls):
        pass

    return {
        "None": (lambda: None, CONVERT),
        "int": (lambda: 1, CONVERT),
        # Fresh objects, not constants that code objects share: unrelated
        # garbage collected mid-call would change a shared one's count.
        "huge-int": (lambda: int("1" + "0" * 30), CONVERT),
        "float": (lambda: float("1.5"), CONVERT),
        "str": (lambda: "t", CONVERT),
        "bytes": (lambda: b"t", CONVERT),
        "list": (lambda: [1, 2], CONVERT),
        "numpy-array": (lambda: np.zeros(2), CONVERT),
        "object": (lambda: object(), CONVERT),
        "the-class": (lambda: cls, CONVERT),
        "other-type-tensor": (lambda: other([2]), CONVERT),
        "unconstructed": (lambda: unconstructed(cls), CONVERT),
        "unconstructed-subclass": (lambda: unconstructed(Subclass), CONVERT),
    }


# ---------------------------------------------------------------------------
# One hostile call


def inner_objects(value):
    """The objects inside a container argument, whose counts must hold too."""
    if isinstance(value, (list, tuple, set, frozenset)):
        return list(value)
    return []


def attempt(label, call, args, kwargs=None, allowed=CONVERT, ok_shape=None, result_class=None):
    """Makes one call and checks its outcome and every argument's reference count."""
    kwargs = kwargs or {}
    tracked = list(args) + list(kwargs.values())
    tracked += [inner for value in tracked for inner in inner_objects(value)]
    before = [sys.getrefcount(value) for value in tracked]
    outcome = None
    try:
        result = call(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - the point is to see anything at all
        outcome = type(error)
        message = str(error)
    else:
        outcome = "ok"
    COUNTS["hostile calls"] += 1
    if allowed == "ok":
        assert outcome == "ok", f"{label}: raised {outcome.__name__}: {message}"
        if result_class is not None:
            assert type(result) is result_class, label
        if ok_shape is not None:
            assert result.shape == ok_shape, label
        del result
    else:
        assert outcome in allowed, f"{label}: expected one of {allowed}, got {outcome}"
    after = [sys.getrefcount(value) for value in tracked]
    if after != before:
        # References held by a cycle (an exception, its traceback and a frame)
        # are not a leak; the collector frees them.
        gc.collect()
        after = [sys.getrefcount(value) for value in tracked]
    assert after == before, f"{label}: reference counts {before} -> {after}"


def run_catalogue(label, cases, make_call, result_class=None):
    """Calls make_call(value) -> (function, args, kwargs) once per catalogue entry."""
    for name, (make, expectation) in cases.items():
        function, args, kwargs = make_call(make())
        if isinstance(expectation, tuple) and expectation[0] == "ok":
            attempt(f"{label} with {name}", function, args, kwargs, allowed="ok",
                    ok_shape=expectation[1], result_class=result_class)
        else:
            attempt(f"{label} with {name}", function, args, kwargs, allowed=expectation)


# ---------------------------------------------------------------------------
# Shapes: the factories and the class constructors


SHAPE_TAKERS = [
    *(f"quorva_{kind}_{t}" for kind in ["full", "zeros", "ones"] for t in ELEMENT_TYPES),
    *(f"quorva_{kind}_{t}" for kind in ["rand", "randn"] for t in FLOAT_TYPES),
    *(f"Tensor{t}" for t in ["Int16", "Int32", "Float32", "Float64"]),
    *(f"Generator.{kind}_{t}" for kind in ["rand", "randn"] for t in FLOAT_TYPES),
]


def shape_taker(name):
    owner, _, member = name.rpartition(".")
    return getattr(halvorn.Generator(1) if owner else halvorn, member)


def element_type_of(name):
    return name[len("Tensor"):].lower() if name.startswith("Tensor") else name.rsplit("_", 1)[-1]


def fill_value(element_type):
    return 1 if element_type.startswith("int") else float("1.5")  # fresh, as above


@pytest.mark.parametrize("name", SHAPE_TAKERS)
def test_hostile_shapes(name):
    function = shape_taker(name)
    element_type = element_type_of(name)
    takes_value = name.startswith("quorva_full_")

    def make_call(shape):
        return function, [shape, fill_value(element_type)] if takes_value else [shape], {}

    run_catalogue(name, shape_cases(), make_call, result_class=TENSOR_CLASSES[element_type])


@pytest.mark.parametrize("element_type", ELEMENT_TYPES)
def test_hostile_fill_values(element_type):
    function = getattr(halvorn, f"quorva_full_{element_type}")
    run_catalogue(function.__name__, value_cases(element_type), lambda value: (function, [[2], value], {}))


@pytest.mark.parametrize("name", SHAPE_TAKERS)
def test_wrong_counts_and_keywords_for_shape_takers(name):
    function = shape_taker(name)
    element_type = element_type_of(name)
    full = name.startswith("quorva_full_")
    value = fill_value(element_type)
    constructor = name.startswith("Tensor")
    calls = {
        "no-arguments": ((), {}),
        "one-too-many": (([2], value, value) if full else ([2], [3]), {}),
        "keyword-arg0": ((), {"arg0": [2]} | ({"arg1": value} if full else {})),
        "keyword-arg1": (([2],), {"arg1": value}) if full else (([2],), {"arg1": 1}),
        "unknown-keyword": (([2],) + ((value,) if full else ()), {"extra": 1}),
        "many-arguments": (tuple([2] for _ in range(40)), {}),
    }
    if full:
        calls["missing-value"] = (([2],), {})
    if not constructor:
        # The factories' parameters have no names: the shape cannot come by keyword.
        calls["keyword-shape"] = ((), {"shape": [2]} | ({"value": value} if full else {}))
    for label, (args, kwargs) in calls.items():
        attempt(f"{name} {label}", function, list(args), kwargs)


def test_constructor_shape_keyword_with_hostile_values(element_type):
    # The one keyword the module accepts anywhere; hostile values behind it
    # behave as they do positionally.
    cls = TENSOR_CLASSES[element_type]
    attempt("constructor shape=", lambda **kw: cls(**kw), [], {"shape": [2, 3]}, allowed="ok", ok_shape=[2, 3])
    attempt("constructor shape=None", lambda **kw: cls(**kw), [], {"shape": None})
    attempt("constructor shape=generator", lambda **kw: cls(**kw), [],
            {"shape": raising_generator([1], Boom("generator"))}, allowed=OWN)


# ---------------------------------------------------------------------------
# Tensors: the operations, as functions, methods and operators


def binary_callers(element_type):
    """Every way to reach an operation on two tensors of this type."""
    callers = {}
    for operation in ["add", "sub", "mul", "dot"] + (["div"] if element_type in FLOAT_TYPES else []):
        callers[f"quorva_{operation}_{element_type}"] = getattr(halvorn, f"quorva_{operation}_{element_type}")
    for method in ["__add__", "__sub__", "__mul__", "__divide__", "__matmul__"]:
        callers[f"{method} unbound"] = getattr(TENSOR_CLASSES[element_type], method)
    return callers


OPERATORS = {"+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b,
             "/": lambda a, b: a / b, "@": lambda a, b: a @ b}


@pytest.mark.parametrize("position", [0, 1])
def test_hostile_tensor_operands(element_type, position):
    good = TENSOR_CLASSES[element_type]([2, 2])
    for name, function in binary_callers(element_type).items():

        def make_call(value, function=function):
            pair = [good, good]
            pair[position] = value
            return function, pair, {}

        run_catalogue(f"{name} operand {position}", tensor_cases(element_type), make_call)
    for symbol, operator in OPERATORS.items():

        def make_call(value, operator=operator):
            pair = [good, good]
            pair[position] = value
            return operator, pair, {}

        cases = tensor_cases(element_type)
        if position == 0 or (symbol == "/" and element_type not in FLOAT_TYPES):
            # A tensor is an array-like to NumPy (it exports the buffer
            # protocol), so where NumPy's operator gets to run it answers with
            # an ndarray; the tensor's own operators still refuse an ndarray.
            cases["numpy-array"] = (cases["numpy-array"][0], {"ok"})
        run_catalogue(f"operator {symbol} operand {position}", cases, make_call)


REPORTED_CALLS = {
    "function": (lambda h, t, big: getattr(h, f"quorva_add_{t}")(big, 1.0), "{big}, 1.0"),
    "wrong count": (lambda h, t, big: getattr(h, f"quorva_dot_{t}")(big, big, big), "{big}, {big}, {big}"),
    "method": (lambda h, t, big: big.__add__(None), "{big}, None"),
    "constructor": (lambda h, t, big: type(big)(big), "{big}"),
    "value": (lambda h, t, big: getattr(h, f"quorva_full_{t}")([2], big), "[2], {big}"),
    "inside a list": (lambda h, t, big: getattr(h, f"quorva_zeros_{t}")([big]), "[{big}]"),
    "keyword": (lambda h, t, big: getattr(h, f"quorva_ones_{t}")(shape=big), "kwargs: shape={big}"),
}


@pytest.mark.parametrize("call", REPORTED_CALLS)
@pytest.mark.parametrize("subclass", [False, True])
def test_argument_reports_show_a_tensor_by_class_and_shape(element_type, call, subclass):
    # Rendered, shape [1000000, 0] is a million lines; the report shows one.
    cls = TENSOR_CLASSES[element_type]
    if subclass:
        cls = type("Labelled", (cls,), {})
    make_call, shown = REPORTED_CALLS[call]
    big, small = cls([10**6, 0]), cls([3])
    with pytest.raises(TypeError) as caught:
        make_call(halvorn, element_type, big)
    first, _, invoked = str(caught.value).partition("\n\nInvoked with: ")
    assert "(): incompatible " in first.splitlines()[0]
    assert invoked == shown.format(big=f"<{cls.__name__} shape=[1000000, 0]>")
    # Everywhere else repr() is the rendering, within a call too.
    rendered = f"tensor([3]\n[0, 0, 0]\n)"
    assert repr(small) == rendered
    lengths = getattr(halvorn, f"quorva_zeros_{element_type}")(map(len, map(repr, [small])))
    assert lengths.shape == [len(rendered)]


def test_wrong_counts_and_keywords_for_operations(element_type):
    good = TENSOR_CLASSES[element_type]([2])
    for name, function in binary_callers(element_type).items():
        for label, (args, kwargs) in {
            "no-arguments": ((), {}),
            "one": ((good,), {}),
            "three": ((good, good, good), {}),
            "keywords": ((), {"arg0": good, "arg1": good}),
            "second-by-keyword": ((good,), {"arg1": good}),
            "named-keyword": ((good,), {"other": good}),
        }.items():
            attempt(f"{name} {label}", function, list(args), kwargs)
    for method in ["__add__", "__sub__", "__mul__", "__divide__"]:
        bound = getattr(good, method)
        attempt(f"bound {method} none", bound, [])
        attempt(f"bound {method} two", bound, [good, good])
        attempt(f"bound {method} keyword", bound, [], {"other": good})


def test_hostile_self_for_every_method(element_type):
    cls = TENSOR_CLASSES[element_type]
    good = cls([2])
    members = {
        "to_list": cls.to_list,
        "__repr__": cls.__repr__,
        "shape getter": cls.shape.fget,
        **{f"{name} getter": getattr(cls, name).fget for name in ["ndim", "size", "nbytes", "dtype"]},
        "__array__": cls.__array__,
        "__sizeof__": cls.__sizeof__,
        "__dask_tokenize__": cls.__dask_tokenize__,
        "__iter__": cls.__iter__,
        "__add__": lambda self: cls.__add__(self, good),
        "__sub__": lambda self: cls.__sub__(self, good),
        "__mul__": lambda self: cls.__mul__(self, good),
        "__divide__": lambda self: cls.__divide__(self, good),
    }
    for name, member in members.items():
        cases = tensor_cases(element_type)
        if name in ("__repr__", "__sizeof__"):
            # An unbuilt instance still has a repr and a size, so error
            # reports and memory tools can show it.
            cases.update({key: (cases[key][0], ("ok", None)) for key in ("unconstructed", "unconstructed-subclass")})
        run_catalogue(f"{cls.__name__}.{name} self", cases, lambda value: (member, [value], {}))
    for label, (call, args) in {
        "to_list with an argument": (good.to_list, [1]),
        "__repr__ with an argument": (good.__repr__, [good]),
        "to_list by keyword": (good.to_list, []),
    }.items():
        kwargs = {"self": good} if label == "to_list by keyword" else {}
        attempt(label, call, args, kwargs)


def test_unconstructed_instances_are_refused_everywhere(element_type):
    """A tensor class's __new__ without __init__ gives an instance that owns no
    tensor. Every operation refuses it with TypeError rather than reading a
    tensor that was never built, and __init__ still makes it whole afterwards."""
    cls = TENSOR_CLASSES[element_type]
    empty = unconstructed(cls)
    good = cls([2])
    functions = [getattr(halvorn, f"quorva_{op}_{element_type}") for op in ["add", "sub", "mul", "dot"]]
    for function in functions:
        for which, pair in {"first": (empty, good), "second": (good, empty), "both": (empty, empty)}.items():
            attempt(f"{function.__name__} unconstructed {which}", function, list(pair))
    for call in [empty.to_list, lambda: empty.shape, lambda: empty + good, lambda: good * empty,
                 lambda: empty.__divide__(good)]:
        attempt(f"{cls.__name__} unconstructed member", call, [])
    described = f"<halvorn.{cls.__name__} object, not initialised>"
    assert repr(empty) == str(empty) == described
    for use in [empty.to_list, lambda: iter(empty), lambda: memoryview(empty), lambda: empty.__buffer__(0)]:
        with pytest.raises(TypeError, match=f"^{described} cannot be used: its __init__ was never called$"):
            use()
    cls.__init__(empty, [3])
    assert empty.shape == [3]
    assert empty.to_list() == [0] * 3
    assert (empty + empty).shape == [3]


def test_a_second_init_leaves_the_tensor_as_it_was(element_type):
    # pybind11 ignores __init__ on an instance that is already built, whatever
    # the arguments: nothing is rebuilt, leaked or read.
    tensor = getattr(halvorn, f"quorva_ones_{element_type}")([2])
    for args in [([5],), ("junk",), (None, None)]:
        attempt(f"second __init__ {args}", tensor.__init__, list(args), allowed="ok")
    assert tensor.shape == [2]
    assert tensor.to_list() == [1, 1]


def test_python_subclasses_are_accepted(element_type):
    cls = TENSOR_CLASSES[element_type]

    class Subclass(cls):
        pass

    a, b = Subclass([2]), Subclass([2])
    for function in [getattr(halvorn, f"quorva_{op}_{element_type}") for op in ["add", "sub", "mul"]]:
        attempt(function.__name__, function, [a, b], allowed="ok", ok_shape=[2], result_class=cls)
    attempt("subclass +", lambda x, y: x + y, [a, b], allowed="ok", ok_shape=[2], result_class=cls)


def test_attributes_and_protocols_fail_cleanly(element_type):
    import copy
    import pickle

    tensor = TENSOR_CLASSES[element_type]([2])
    for label, call, allowed in [
        ("set shape", lambda: setattr(tensor, "shape", [1]), {AttributeError}),
        ("delete shape", lambda: delattr(tensor, "shape"), {AttributeError}),
        ("new attribute", lambda: setattr(tensor, "extra", 1), {AttributeError}),
        ("len", lambda: len(tensor), CONVERT),
        ("iter of rank 0", lambda: iter(TENSOR_CLASSES[element_type]([])), CONVERT),
        ("index", lambda: [0, 1][tensor], CONVERT),
        ("subscript", lambda: tensor[0], CONVERT),
    ]:
        attempt(label, call, [], allowed=allowed)
    # An immutable tensor is its own copy; pickling works with every protocol.
    assert copy.copy(tensor) is tensor and copy.deepcopy(tensor) is tensor
    assert all(pickle.loads(pickle.dumps(tensor, protocol)).shape == [2] for protocol in range(6))
    assert tensor.shape == [2]


# Each of these once crashed the interpreter, aborted it or read one element
# type's tensor as another's; now each raises TypeError (pickling works) and
# the process exits cleanly (after deleting everything it made).
RELABEL_AND_REENTRY = """
import pickle, sys, halvorn as h
T16, T32, F32, F64 = h.TensorInt16, h.TensorInt32, h.TensorFloat32, h.TensorFloat64
class Conduit:
    def __init__(self, method): self._pybind11_conduit_v1_ = method
class S1(T16): __slots__ = ()
class S2(T16): __slots__ = ()
class S3(F64): __slots__ = ()
built, unbuilt = S1([2]), T16.__new__(T16)
def reentrant():
    yield 2
    unbuilt.__init__([1])
cases = {
    "conduit of an unbuilt instance": lambda: h.quorva_add_int16(Conduit(unbuilt._pybind11_conduit_v1_), built),
    "conduit of a temporary": lambda: h.quorva_add_int16(Conduit(T16([2])._pybind11_conduit_v1_), built),
    "__bases__ to another element type": lambda: setattr(S1, "__bases__", (T32,)),
    "__class__ between classes": lambda: setattr(h.quorva_full_int32([2], 1065353216), "__class__", F32),
    "__class__ between subclasses": lambda: setattr(built, "__class__", S2),
    "__class__ through object": lambda: object.__dict__["__class__"].__set__(built, S3),
    "class of two tensor classes": lambda: type("M", (T16, F64), {"__slots__": ()}),
    "attribute of a class": lambda: setattr(T16, "to_list", None),
    "re-entrant __init__": lambda: unbuilt.__init__(reentrant()),
}
for label, call in cases.items():
    try:
        call()
    except TypeError:
        continue
    sys.exit(f"{label}: no TypeError")
assert type(built) is S1 and built.to_list() == [0, 0] and unbuilt.shape == [1]
# Protocols 0 and 1 and a direct __reduce__ went through pybind11's common base.
for protocol in (0, 1):
    assert pickle.loads(pickle.dumps(built, protocol=protocol)).to_list() == [0, 0]
function, arguments, state = built.__reduce__()
assert type(function(*arguments)) is S1 and function(*arguments).shape == [2] and state is None
print("refused", len(cases))
"""


def test_relabelling_and_reentry_are_refused_and_pickling_works_without_a_crash():
    result = run_python(RELABEL_AND_REENTRY)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"refused 9\n", b"")


def test_a_deleted_class_is_refused_and_the_others_keep_working():
    result = run_python("""
        import gc, pickle, weakref, halvorn, halvorn_testing
        kept = halvorn.quorva_ones_float32([2])
        pickled = pickle.dumps(halvorn.Generator(7))
        gone = [weakref.ref(halvorn.TensorFloat64), weakref.ref(halvorn.Generator)]
        del halvorn.TensorFloat64, halvorn.Generator
        gc.collect()
        print(gone[0]() is None and gone[1]() is None)
        for call in (lambda: halvorn.quorva_zeros_float64([3]), lambda: halvorn.quorva_array_float64([1.0]),
                     lambda: halvorn_testing.build_float64([1], [2.0]), lambda: pickle.loads(pickled)):
            try:
                call()
            except (TypeError, RuntimeError) as error:
                print(type(error).__name__)
        print(halvorn.quorva_add_float32(kept, kept).to_list(), halvorn.quorva_zeros_int16([1]).to_list())
    """)
    assert (result.stderr, result.returncode) == (b"", 0)
    assert result.stdout == b"True\nTypeError\nTypeError\nTypeError\nTypeError\n[2.0, 2.0] [0]\n"
