"""repr() of tensors: the extents line and nested bracketed rows, at most 100 elements."""

import hashlib
import math

import halvorn
import pytest

from conftest import TENSOR_CLASSES, run_python


def factory(kind, element_type):
    return getattr(halvorn, f"quorva_{kind}_{element_type}")


def test_worked_example_float_zeros():
    assert repr(halvorn.quorva_zeros_float32([2, 3])) == (
        "tensor([2, 3]\n"
        "[\n"
        "  [0, 0, 0],\n"
        "  [0, 0, 0]\n"
        "]\n"
        ")"
    )


def test_worked_example_without_dimensions():
    assert repr(halvorn.quorva_full_int16([], -7)) == "tensor([]\n-7)"


def test_worked_example_three_dimensions():
    assert repr(halvorn.quorva_full_int32([2, 2, 2], 7)) == (
        "tensor([2, 2, 2]\n"
        "[\n"
        "  [\n"
        "    [7, 7],\n"
        "    [7, 7]\n"
        "  ],\n"
        "  [\n"
        "    [7, 7],\n"
        "    [7, 7]\n"
        "  ]\n"
        "]\n"
        ")"
    )


def test_worked_example_cut_off_in_the_second_block():
    assert repr(halvorn.quorva_zeros_int32([2, 7, 8])) == (
        "tensor([2, 7, 8]\n"
        "[\n"
        "  [\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0]\n"
        "  ],\n"
        "  [\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, 0, 0, 0, 0],\n"
        "    [0, 0, 0, 0, ...],\n"
        "    ...\n"
        "  ]\n"
        "]\n"
        ")"
    )


def test_zero_element_shapes(element_type):
    ones = factory("ones", element_type)
    assert repr(ones([0])) == "tensor([0]\n[]\n)"
    assert repr(ones([2, 0])) == "tensor([2, 0]\n[\n  [],\n  []\n]\n)"
    assert repr(ones([0, 3])) == "tensor([0, 3]\n[\n\n]\n)"
    assert repr(ones([2, 0, 3])) == "tensor([2, 0, 3]\n[\n  [\n\n  ],\n  [\n\n  ]\n]\n)"


def test_hundred_element_boundary(element_type):
    ones = factory("ones", element_type)
    hundred = ", ".join(["1"] * 100)
    fifty = ", ".join(["1"] * 50)
    # Up to 100 elements everything shows, whatever the shape.
    assert repr(ones([100])) == f"tensor([100]\n[{hundred}]\n)"
    assert repr(ones([2, 50])) == f"tensor([2, 50]\n[\n  [{fifty}],\n  [{fifty}]\n]\n)"
    # One more and the row is cut after the hundredth.
    assert repr(ones([101])) == f"tensor([101]\n[{hundred}, ...]\n)"
    # A full block before the limit leaves "..." in place of the next one.
    assert repr(ones([3, 50])) == f"tensor([3, 50]\n[\n  [{fifty}],\n  [{fifty}],\n  ...\n]\n)"
    sixty = ", ".join(["1"] * 60)
    forty = ", ".join(["1"] * 40)
    assert repr(ones([2, 2, 60])) == (
        f"tensor([2, 2, 60]\n[\n  [\n    [{sixty}],\n    [{forty}, ...]\n  ],\n  ...\n]\n)"
    )


def reference(shape, text):
    """The rendering of a tensor whose every element shows as `text`, written
    from the rules: the limit is checked before each element and each block."""
    header = "tensor([" + ", ".join(str(extent) for extent in shape) + "]\n"
    if not shape:
        return header + text + ")"
    printed = 0

    def block(dimension, indent):
        nonlocal printed
        parts = []
        for _ in range(shape[dimension]):
            if printed == 100:
                parts.append("..." if dimension == len(shape) - 1 else " " * (indent + 2) + "...")
                break
            if dimension == len(shape) - 1:
                parts.append(text)
                printed += 1
            else:
                parts.append(" " * (indent + 2) + block(dimension + 1, indent + 2))
        if dimension == len(shape) - 1:
            return "[" + ", ".join(parts) + "]"
        return "[\n" + ",\n".join(parts) + "\n" + " " * indent + "]"

    return header + block(0, 0) + "\n)"


@pytest.mark.parametrize(
    "shape",
    [
        [1], [99], [250], [1, 1, 1], [1, 101], [101, 1], [10, 10], [10, 11], [11, 10],
        [4, 5, 6], [3, 1, 40], [5, 0, 5], [2, 3, 0], [3, 3, 3, 3, 3], [1] * 12,
        [2, 1, 2, 1, 30], [300, 300], [20, 5, 1, 2],
    ],
    ids=str,
)
def test_matches_the_rules_for_many_shapes(element_type, shape):
    assert repr(factory("full", element_type)(shape, 3)) == reference(shape, "3")


@pytest.mark.parametrize(
    "element_type, value, text",
    [
        ("int16", -7, "-7"),
        ("int16", -32768, "-32768"),
        ("int16", 32767, "32767"),
        ("int16", 65, "65"),  # a number, not the character "A"
        ("int32", -(2**31), "-2147483648"),
        ("int32", 2**31 - 1, "2147483647"),
        ("float64", 1.0, "1"),
        ("float64", 2.5, "2.5"),
        ("float64", 1 / 3, "0.333333"),
        ("float64", 1e-7, "1e-07"),
        ("float64", 999999.0, "999999"),
        ("float64", 1e6, "1e+06"),
        ("float64", 1234567.0, "1.23457e+06"),
        ("float64", 0.0001, "0.0001"),
        ("float64", 1e300, "1e+300"),
        ("float64", -0.0, "-0"),
        ("float64", -math.inf, "-inf"),
        ("float64", math.nan, "nan"),
        ("float32", 0.1, "0.1"),
        ("float32", 1 / 3, "0.333333"),
        ("float32", 16777217, "1.67772e+07"),
        ("float32", -0.0, "-0"),
        ("float32", 1e300, "inf"),
        ("float32", 1e-7, "1e-07"),
    ],
)
def test_element_text(element_type, value, text):
    full = factory("full", element_type)
    assert repr(full([], value)) == f"tensor([]\n{text})"
    assert repr(full([2], value)) == f"tensor([2]\n[{text}, {text}]\n)"


def test_str_and_print_give_the_rendering(element_type, capsys):
    tensor = factory("full", element_type)([2, 1], 5)
    expected = "tensor([2, 1]\n[\n  [5],\n  [5]\n]\n)"
    assert repr(tensor) == expected
    assert str(tensor) == expected
    assert f"{tensor}" == expected
    print(tensor)
    assert capsys.readouterr().out == expected + "\n"
    # The rendering keeps no state from one call to the next.
    assert repr(tensor) == expected


def test_constructed_tensor_renders_zeros(element_type):
    cls = TENSOR_CLASSES[element_type]
    assert repr(cls([])) == "tensor([]\n0)"
    assert repr(cls([1, 3])) == "tensor([1, 3]\n[\n  [0, 0, 0]\n]\n)"


def test_repr_signature(element_type):
    cls = TENSOR_CLASSES[element_type]
    assert cls.__repr__.__doc__ == f"__repr__(self: halvorn.{cls.__name__}) -> str\n"
    assert "__str__" not in vars(cls)


def test_deep_rank_renders_in_a_thread_with_a_small_stack():
    # Once the rendering recursed once per dimension, and this thread's
    # 256 KiB stack overflowed.
    rank = 5000
    code = f"""
        import hashlib, threading, halvorn
        threading.stack_size(256 * 1024)
        out = []
        worker = threading.Thread(target=lambda: out.append(repr(halvorn.TensorInt16([1] * {rank}))))
        worker.start(); worker.join()
        print(hashlib.sha256(out[0].encode()).hexdigest())
    """
    nested = "[\n" + "".join(" " * (2 * k) + "[\n" for k in range(1, rank - 1)) + " " * (2 * rank - 2) + "[0]"
    nested += "".join("\n" + " " * (2 * k) + "]" for k in range(rank - 2, -1, -1))
    expected = "tensor([" + ", ".join(["1"] * rank) + "]\n" + nested + "\n)"
    result = run_python(code)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == hashlib.sha256(expected.encode()).hexdigest() + "\n"
