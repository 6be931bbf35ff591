"""quorva_rand_* and quorva_randn_*: uniform and normal random tensors."""

import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import textwrap
import threading

import halvorn
import pytest

from conftest import FLOAT_TYPES, TENSOR_CLASSES, assert_process_ends, run_python

# ./dev test runs this file again capped at each narrower instruction set.
pytestmark = pytest.mark.kernels

SHAPE_TYPE = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
KINDS = ["rand", "randn"]
# Tail bounds in standard deviations of the statistic under test. A correct
# generator lands outside 6 of them with probability about 2e-9 per check.
SIGMAS = 6


def factory(kind, element_type):
    return getattr(halvorn, f"quorva_{kind}_{element_type}")


@pytest.fixture(params=FLOAT_TYPES)
def float_type(request):
    return request.param


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


def is_float32(value):
    return struct.unpack("f", struct.pack("f", value))[0] == value


def assert_valid(kind, values):
    if kind == "rand":
        assert all(0.0 <= value < 1.0 for value in values)
    else:
        assert all(math.isfinite(value) for value in values)


# Registration


def test_registered_in_order_after_the_classes():
    names = list(vars(halvorn))
    random_names = [name for name in names if name.startswith(("quorva_rand_", "quorva_randn_"))]
    assert random_names == [
        "quorva_rand_float32",
        "quorva_rand_float64",
        "quorva_randn_float32",
        "quorva_randn_float64",
    ]
    assert names.index("TensorFloat64") < names.index("quorva_rand_float32")


def test_signature_without_parameter_names_or_docstring(kind, float_type):
    function = factory(kind, float_type)
    cls = TENSOR_CLASSES[float_type].__name__
    assert function.__doc__ == f"quorva_{kind}_{float_type}(arg0: {SHAPE_TYPE}) -> halvorn.{cls}\n"


@pytest.mark.parametrize("element_type", ["int16", "int32"])
def test_no_integer_variants(kind, element_type):
    assert not hasattr(halvorn, f"quorva_{kind}_{element_type}")


@pytest.mark.parametrize(
    "arguments",
    [(), ("23",), ([2.0],), ([-1],), ([2**64],), (None,), (3,), ([2], [3])],
    ids=["none", "str", "floats", "negative", "too-large", "None", "int", "two"],
)
def test_refuses_what_is_not_one_shape(kind, float_type, arguments):
    with pytest.raises(TypeError):
        factory(kind, float_type)(*arguments)


def test_shape_is_positional_only(kind, float_type):
    with pytest.raises(TypeError):
        factory(kind, float_type)(arg0=[2])


@pytest.mark.parametrize(
    "make_shape, extents",
    [
        (lambda: [2, 3], [2, 3]),
        (lambda: (4,), [4]),
        (lambda: range(1, 4), [1, 2, 3]),
        (lambda: (x for x in [3, 1]), [3, 1]),
    ],
    ids=["list", "tuple", "range", "generator"],
)
def test_result_class_and_shape(kind, float_type, make_shape, extents):
    tensor = factory(kind, float_type)(make_shape())
    assert type(tensor) is TENSOR_CLASSES[float_type]
    assert tensor.shape == extents
    values = tensor.to_list()
    assert len(values) == math.prod(extents)
    assert all(type(value) is float for value in values)
    assert_valid(kind, values)


# Shapes without elements or without dimensions


@pytest.mark.parametrize("shape", [[0], [3, 0], [0, 2**64 - 1], [2**32, 2**32, 0]])
def test_zero_element_shapes(kind, float_type, shape):
    tensor = factory(kind, float_type)(shape)
    assert tensor.shape == shape
    assert tensor.to_list() == []


def test_empty_shape_draws_one_element(kind, float_type):
    tensor = factory(kind, float_type)([])
    assert tensor.shape == []
    values = tensor.to_list()
    assert len(values) == 1
    assert_valid(kind, values)


def test_impossible_allocation_ends_process(kind, float_type):
    assert_process_ends(
        f"""
        import halvorn
        try:
            halvorn.quorva_{kind}_{float_type}([2**62])
        finally:
            print("never reached")
        """,
        b"Failed to allocate memory!\n",
    )


# Values


def test_float32_elements_are_float32_values(kind):
    values = factory(kind, "float32")([20000]).to_list()
    assert all(is_float32(value) for value in values)


def test_rand_is_uniform_on_the_unit_interval(float_type):
    n = 200_000
    values = factory("rand", float_type)([n]).to_list()
    assert all(0.0 <= value < 1.0 for value in values)

    # Uniform on [0, 1): mean 1/2, variance 1/12, fourth central moment 1/80.
    mean = math.fsum(values) / n
    assert abs(mean - 0.5) < SIGMAS * math.sqrt(1 / 12 / n)
    variance = math.fsum((value - mean) ** 2 for value in values) / (n - 1)
    assert abs(variance - 1 / 12) < SIGMAS * math.sqrt((1 / 80 - 1 / 144) / n)

    # Each tenth of the interval holds a binomial(n, 1/10) count.
    counts = [0] * 10
    for value in values:
        counts[int(value * 10)] += 1
    for count in counts:
        assert abs(count - n / 10) < SIGMAS * math.sqrt(n * 0.1 * 0.9)


def test_randn_is_standard_normal(float_type):
    n = 200_000
    values = factory("randn", float_type)([n]).to_list()
    assert all(math.isfinite(value) for value in values)

    # Sample mean of N(0, 1): sd 1/sqrt(n). Sample variance: sd sqrt(2/(n-1)).
    mean = math.fsum(values) / n
    assert abs(mean) < SIGMAS / math.sqrt(n)
    variance = math.fsum((value - mean) ** 2 for value in values) / (n - 1)
    assert abs(variance - 1) < SIGMAS * math.sqrt(2 / (n - 1))

    # The shape of the bell, not just its first two moments: the share within
    # one standard deviation is binomial with p = erf(1/sqrt(2)), and the two
    # halves are equally likely.
    p = math.erf(1 / math.sqrt(2))
    inside = sum(1 for value in values if abs(value) < 1)
    assert abs(inside - n * p) < SIGMAS * math.sqrt(n * p * (1 - p))
    negative = sum(1 for value in values if value < 0)
    assert abs(negative - n / 2) < SIGMAS * math.sqrt(n / 4)


def test_rand_spreads_over_the_whole_interval(float_type):
    # The smallest and largest of n uniform values are within 20/n of the
    # ends except with probability 2 e^-20.
    n = 10_000
    values = factory("rand", float_type)([n]).to_list()
    assert min(values) < 20 / n
    assert max(values) > 1 - 20 / n


def test_two_calls_give_different_values(kind, float_type):
    function = factory(kind, float_type)
    first = function([64]).to_list()
    second = function([64]).to_list()
    assert first != second


def test_two_processes_give_different_values(kind, float_type):
    code = f"""
        import halvorn
        print(halvorn.quorva_{kind}_{float_type}([32]).to_list())
        """
    outputs = []
    for _ in range(2):
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        outputs.append(result.stdout)
    assert outputs[0] != outputs[1]


def test_threads_draw_valid_values_of_their_own(kind, float_type):
    function = factory(kind, float_type)
    results = {}
    errors = []

    def draw(name):
        try:
            results[name] = [function([50]).to_list() for _ in range(40)]
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=draw, args=(name,)) for name in ("a", "b")]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for tensors in results.values():
        assert len(tensors) == 40
        for values in tensors:
            assert len(values) == 50
            assert_valid(kind, values)
    # Each thread seeds its own generator: they do not replay one sequence.
    assert results["a"][0] != results["b"][0]


# The real std::random_device, watched and broken through a preloaded library


PROBE = pathlib.Path(halvorn.__file__).with_name("libhalvorn_device_probe.so")


def run_probed(code, **failures):
    if not PROBE.exists():
        pytest.skip("the device probe is built with the native tests only")
    env = dict(os.environ)
    # The probe must come before libstdc++ to take its members' place; in the
    # sanitizer run the ASan runtime, which must be first, stays first.
    preloaded = env.get("LD_PRELOAD", "").split()
    runtime = [path for path in preloaded if "libasan" in path]
    others = [path for path in preloaded if path not in runtime]
    env["LD_PRELOAD"] = " ".join(runtime + [str(PROBE)] + others)
    for name, count in failures.items():
        env[f"HALVORN_PROBE_FAIL_{name.upper()}"] = str(count)
    prologue = f"""
        import ctypes, json, threading
        import halvorn
        probe = ctypes.CDLL({str(PROBE)!r})
        def counts():
            return [
                probe.halvorn_probe_opens(),
                probe.halvorn_probe_reads(),
                probe.halvorn_probe_closes(),
            ]
        """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(prologue) + textwrap.dedent(code)],
        capture_output=True,
        timeout=60,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


OPEN_FAILURE = "random_device::random_device(const std::string&): device not available"
READ_FAILURE = "random_device could not be read"


@pytest.mark.parametrize(
    "failures, message, counts_after_failure",
    [({"opens": 1}, OPEN_FAILURE, [0, 0, 0]), ({"reads": 1}, READ_FAILURE, [1, 0, 0])],
    ids=["open", "read"],
)
def test_unusable_device_raises_and_is_tried_again(
    kind, float_type, failures, message, counts_after_failure
):
    name = f"quorva_{kind}_{float_type}"
    lines = run_probed(
        f"""
        try:
            halvorn.{name}([3])
            print(json.dumps("no exception"))
        except RuntimeError as error:
            print(json.dumps([type(error).__name__, str(error)]))
        print(json.dumps(counts()))
        print(json.dumps(halvorn.{name}([3]).to_list()))
        print(json.dumps(counts()))
        print(json.dumps(halvorn.{name}([3]).to_list()))
        print(json.dumps(counts()))
        """,
        **failures,
    )
    error, after_failure, values, after_retry, more, after_more = lines
    assert error == ["RuntimeError", message]
    # A failed open leaves nothing behind; a failed read leaves the opened
    # device, which the retry reads instead of opening another.
    assert after_failure == counts_after_failure
    assert after_retry == [1, 1, 0]
    assert after_more == [1, 1, 0]
    for drawn in (values, more):
        assert len(drawn) == 3
        assert_valid(kind, drawn)


def test_one_device_per_operation_and_thread_closed_when_the_thread_ends():
    lines = run_probed(
        """
        print(json.dumps(counts()))
        # The first call opens and reads the device even without elements.
        halvorn.quorva_rand_float32([0])
        print(json.dumps(counts()))
        for name in ["quorva_rand_float32", "quorva_rand_float64",
                     "quorva_randn_float32", "quorva_randn_float64"]:
            for _ in range(3):
                getattr(halvorn, name)([5])
        print(json.dumps(counts()))
        thread = threading.Thread(target=lambda: (halvorn.quorva_randn_float64([0]),
                                                  halvorn.quorva_randn_float64([4])))
        thread.start()
        thread.join()
        print(json.dumps(counts()))
        """
    )
    assert lines == [[0, 0, 0], [1, 1, 0], [4, 4, 0], [5, 5, 1]]


# Forked children


# A fork needs a process with one thread, which a pytest-xdist worker is not.
@pytest.mark.alone
def test_forked_children_draw_apart_from_their_parent(kind, float_type):
    function = factory(kind, float_type)
    # An odd count leaves a normal value cached; a child must not replay it.
    function([3])
    children = []
    for _ in range(2):
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                os.close(reader)
                with os.fdopen(writer, "w") as pipe:
                    json.dump(function([8]).to_list(), pipe)
                status = 0
            finally:
                os._exit(status)
        os.close(writer)
        with os.fdopen(reader) as pipe:
            children.append(json.load(pipe))
        assert os.waitpid(pid, 0)[1] == 0
    draws = [function([8]).to_list(), *children]
    for values in draws:
        assert len(values) == 8
        assert_valid(kind, values)
    # Each draw has a first value of its own, as a fresh seed and no inherited
    # cache give: three float32 draws repeat one by chance about once in ten
    # million runs.
    assert len({values[0] for values in draws}) == 3
