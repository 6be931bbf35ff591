"""Element types, operands made by the module, and exact comparisons."""

from __future__ import annotations

import numpy as np

import halvorn

INT_TYPES = ["int16", "int32"]
FLOAT_TYPES = ["float32", "float64"]
TYPES = INT_TYPES + FLOAT_TYPES
NUMPY_TYPE = {"int16": np.int16, "int32": np.int32, "float32": np.float32, "float64": np.float64}
MIB = 1 << 20


def has(name):
    return hasattr(halvorn, name)


def fn(operation, dtype):
    return getattr(halvorn, f"quorva_{operation}_{dtype}")


def computed(dtype, shape, value):
    """A tensor holding value everywhere that comes out of an operation, like
    the tensors real programs pass around (no constant-fill record on it)."""
    return fn("add", dtype)(fn("full", dtype)(list(shape), value), fn("zeros", dtype)(list(shape)))


def varied(dtype, shape, offset=0.0):
    """Operands with varied values where the module can make them (uniform
    [offset, offset + 1) for floats), else a computed constant."""
    if dtype in FLOAT_TYPES and has(f"quorva_rand_{dtype}"):
        values = fn("rand", dtype)(list(shape))
        if offset:
            values = fn("add", dtype)(values, fn("full", dtype)(list(shape), offset))
        return values
    if dtype in INT_TYPES:
        return computed(dtype, shape, 3 + int(offset))
    return computed(dtype, shape, 1.5 + offset)


def to_numpy(tensor, dtype):
    return np.array(tensor.to_list(), dtype=NUMPY_TYPE[dtype]).reshape(tensor.shape)


def same_bits(got, expected):
    """Exact equality, including the sign of zero and NaN payloads for floats."""
    if got.shape != expected.shape or got.dtype != expected.dtype:
        return False
    if got.dtype.kind == "f":
        unsigned = np.uint32 if got.dtype.itemsize == 4 else np.uint64
        return np.array_equal(got.view(unsigned), expected.view(unsigned))
    return np.array_equal(got, expected)


def verdict(ok, what):
    return "ok" if ok else f"FAIL: {what}"
