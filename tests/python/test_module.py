import math
import pathlib
import tomllib

import halvorn
import pytest

from conftest import TENSOR_CLASSES, assert_process_ends, run_python

SHAPE_TYPE = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"


def test_module_docstring():
    assert halvorn.__doc__ == "Tensor operations"


def test_version_is_the_one_in_pyproject():
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    assert halvorn.__version__ == tomllib.loads(pyproject.read_text())["project"]["version"]


def test_only_export_is_the_entry_function():
    import subprocess

    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", halvorn.__file__], capture_output=True, text=True
    )
    if symbols.returncode != 0:
        pytest.skip("nm is not available")
    names = [line.split()[-1] for line in symbols.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_halvorn"]


def test_module_file_name():
    import sysconfig

    # cpython-314 for the release interpreter, cpython-314d for the debug one.
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert suffix in (".cpython-314-x86_64-linux-gnu.so", ".cpython-314d-x86_64-linux-gnu.so")
    assert halvorn.__file__.endswith("halvorn" + suffix)


@pytest.mark.parametrize("name", ["TensorInt16", "TensorInt32", "TensorFloat32", "TensorFloat64"])
def test_class_registration(name):
    cls = getattr(halvorn, name)
    assert cls.__module__ == "halvorn"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None
    assert cls.__init__.__doc__ == (
        f"__init__(self: halvorn.{name}, shape: {SHAPE_TYPE}) -> None\n"
    )
    assert not hasattr(cls(()), "__dict__")


@pytest.mark.parametrize(
    "make_shape",
    [lambda: [2, 3], lambda: (2, 3), lambda: range(2, 4), lambda: (x for x in [2, 3]),
     lambda: {2: 0, 3: 0}.keys(), lambda: map(int, "23")],
    ids=["list", "tuple", "range", "generator", "dict_keys", "map"],
)
def test_constructor_accepts_sequences_and_iterables(element_type, make_shape):
    # A fresh shape for each class: the first tensor uses up a generator or a map.
    assert_all_zero(TENSOR_CLASSES[element_type](make_shape()), element_type, [2, 3])


def test_constructor_keyword(element_type):
    assert_all_zero(TENSOR_CLASSES[element_type](shape=[2, 3]), element_type, [2, 3])


def assert_all_zero(tensor, element_type, shape):
    # Of the class and shape asked for, all zero. Compared as plain values: a
    # failed assertion shows its operands, and a tensor of shape [2**32, 2**32, 0]
    # renders as 2**32 rows.
    built = type(tensor), tensor.shape, tensor.to_list()
    assert built == (TENSOR_CLASSES[element_type], shape, [0] * math.prod(shape))


class Extent:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "arguments",
    [
        (),
        ("23",),
        (b"ab",),
        ([2.0, 3.0],),
        ([-1],),
        ([2**64],),
        (None,),
        (3,),
        ([[2]],),
        ([2], [3]),
    ],
    ids=["none", "str", "bytes", "floats", "negative", "too-large", "None", "int", "nested", "two"],
)
def test_constructor_refuses(element_type, arguments):
    with pytest.raises(TypeError):
        TENSOR_CLASSES[element_type](*arguments)


def test_constructor_takes_index_objects(element_type):
    assert_all_zero(TENSOR_CLASSES[element_type]([Extent(2)]), element_type, [2])


@pytest.mark.parametrize("shape", [[2**32, 2**32, 0], [0, 2**64 - 1], [0]])
def test_zero_extent_shapes_are_valid_however_large(element_type, shape):
    assert_all_zero(TENSOR_CLASSES[element_type](shape), element_type, shape)


@pytest.mark.parametrize(
    "shape",
    ["[2**32, 2**32]", "[2**62]", "[2**64 - 1, 2]", "[2**40]"],
    ids=["count-overflows", "bytes-overflow", "count-overflows-late", "heap-refuses"],
)
def test_impossible_allocation_ends_process(element_type, shape):
    assert_process_ends(
        f"""
        import halvorn
        try:
            halvorn.{TENSOR_CLASSES[element_type].__name__}({shape})
        finally:
            print("never reached")
        """,
        b"Failed to allocate memory!\n",
    )


def test_subinterpreter_import_fails():
    result = run_python(
        """
        from concurrent import interpreters
        interpreter = interpreters.create()
        try:
            interpreter.exec("import halvorn")
        except interpreters.ExecutionFailed as failure:
            print(failure.excinfo.type.__name__)
            print(failure.excinfo.msg)
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.decode().splitlines()[:2]
    assert kind == "ImportError"
    assert "does not support loading in subinterpreters" in message


def test_the_companion_caps_the_kernels_of_the_module():
    import halvorn_testing as testing

    sets = testing.instruction_sets()
    before = testing.chosen_kernels()
    assert sets[0] == "sse4.1" and before in sets
    try:
        for wanted in ["sse4.1", "avx2", "avx512"]:
            # Never above what this CPU runs.
            expected = wanted if wanted in sets else sets[-1]
            assert (testing.cap_kernels(wanted), testing.chosen_kernels()) == (expected, expected)
            a = halvorn.quorva_array_float32([[1.5, 2.0], [3.0, 4.0]])
            assert (a @ a).to_list() == testing.dot_with(expected, a, a).to_list() == [8.25, 11.0, 16.5, 22.0]
        with pytest.raises(ValueError, match="no instruction set is called 'sse2'"):
            testing.cap_kernels("sse2")
    finally:
        testing.cap_kernels(before)
