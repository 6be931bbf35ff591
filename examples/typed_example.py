"""A small typed program that mypy --strict accepts.

Check it with ``./dev shell python3.14 -m mypy --strict examples/typed_example.py``
from a checkout, or with ``mypy --strict typed_example.py`` where halvorn is
installed. Run it with ``./dev shell python3.14 examples/typed_example.py``.
"""

import copy
import pickle

import halvorn


def affine(
    weights: halvorn.TensorFloat64, x: halvorn.TensorFloat64, bias: halvorn.TensorFloat64
) -> halvorn.TensorFloat64:
    """weights [r, c] times x [c], plus bias [r].

    A shape mismatch inside halvorn ends the whole process, so the shapes are
    checked here first and a mismatch becomes an ordinary exception."""
    if len(weights.shape) != 2:
        raise ValueError(f"weights must be a matrix, not of shape {weights.shape}")
    rows, columns = weights.shape
    if x.shape != [columns] or bias.shape != [rows]:
        raise ValueError(f"cannot apply {weights.shape} weights to {x.shape} with bias {bias.shape}")
    return halvorn.quorva_dot_float64(weights, x) + bias


def safe_divide(a: halvorn.TensorFloat32, b: halvorn.TensorFloat32) -> halvorn.TensorFloat32:
    """a / b element-wise; a shape mismatch or a zero divisor raises
    ValueError or ZeroDivisionError instead of ending the process."""
    with halvorn.errstate(misuse="raise"):
        return a.__divide__(b)


def mean(t: halvorn.TensorFloat32 | halvorn.TensorFloat64) -> float:
    values: list[float] = t.to_list()
    return sum(values) / len(values)


def from_rows(rows: list[list[float]]) -> halvorn.TensorFloat64:
    """Rows in by copy, then the product with its own transpose through @."""
    t = halvorn.quorva_array_float64(rows)
    transposed = halvorn.quorva_array_float64([list(column) for column in zip(*rows)])
    return t @ transposed


def main() -> None:
    weights = halvorn.quorva_full_float64([2, 3], 0.5)
    x = halvorn.quorva_ones_float64([3])
    bias = halvorn.quorva_full_float64([2], 1.0)
    y = affine(weights, x, bias)
    print("affine:", y.shape, y.to_list())
    assert y.to_list() == [2.5, 2.5]

    quarters = safe_divide(halvorn.quorva_ones_float32([4]), halvorn.quorva_full_float32([4], 4.0))
    print("safe_divide:", quarters.to_list())
    assert quarters.to_list() == [0.25] * 4
    try:
        safe_divide(quarters, halvorn.quorva_zeros_float32([4]))
    except ZeroDivisionError as error:
        print("safe_divide refused:", error)

    counts: halvorn.TensorInt32 = halvorn.quorva_full_int32([3], 7) * halvorn.quorva_full_int32([3], 3)
    extents: list[int] = counts.shape
    print("counts:", extents, counts.to_list())
    assert counts.to_list() == [21, 21, 21]

    gram = from_rows([[1.0, 2.0], [3.0, 4.0]])
    print("gram:", gram.to_list())
    assert gram.to_list() == [5.0, 11.0, 11.0, 25.0]
    halves: halvorn.TensorFloat64 = gram / halvorn.quorva_full_float64([2, 2], 2.0)
    view = memoryview(halves)  # read-only, no copy
    assert view.readonly and view.shape == (2, 2) and view.format == "d"
    again: halvorn.TensorFloat64 = pickle.loads(pickle.dumps(halves))
    assert again.to_list() == halves.to_list()

    noise = halvorn.quorva_rand_float64([1000])
    print(f"mean of 1000 uniform values: {mean(noise):.3f}")
    assert 0.0 <= mean(noise) < 1.0

    # A seeded generator repeats its numbers, and a copy goes on from where it was.
    generator = halvorn.Generator(2026)
    normal: halvorn.TensorFloat32 = generator.randn_float32([3])
    assert halvorn.Generator(2026).randn_float32([3]).to_list() == normal.to_list()
    assert copy.copy(generator).rand_float64([2]).to_list() == generator.rand_float64([2]).to_list()


if __name__ == "__main__":
    main()
