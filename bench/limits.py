"""Peers that stand for what an operation cannot avoid, rather than for
another library's way of doing the same work.

- Memory traffic ("limit"): a NumPy call that moves exactly as many bytes as
  the halvorn operation must. Every halvorn element is a 16-byte packet, so
  the stand-ins run on float64 arrays of twice the element count.
- The exact-order peak ("peak"): a register-only kernel in the test companion
  module halvorn_testing that does dot's multiply-then-add pairs as separate
  operations in the widest vectors.
- Making the Python numbers ("numbers"): the cheapest loop of the standard
  library that builds a list of one new Python int or float per element.
"""

from __future__ import annotations

import array
import math

import numpy as np

from .timing import side

try:
    # The test companion module (built with the tests, never installed) holds
    # the register-only kernel that times the exact-order peak.
    import halvorn_testing
except ImportError:  # the harness still runs; dot has no peak to hold against
    halvorn_testing = None


def elementwise_traffic(n):
    """An element-wise operation on n elements reads two 16-byte packets and
    writes one per element, 48n bytes: np.add(x, y, out=z) on 2n float64.
    Integer division moves the same 48n bytes (NumPy's own moves 6n to 12n)."""
    x, y, z = np.full(2 * n, 1.5), np.full(2 * n, 2.5), np.zeros(2 * n)
    return side("limit", "f(x, y, out=z)", f=np.add, x=x, y=y, z=z)


def fill_traffic(n, value):
    """A constant fill of n elements writes 16n bytes: z.fill(v) on 2n
    preallocated float64."""
    return side("limit", "z.fill(v)", z=np.zeros(2 * n), v=float(value))


def matrix_read(s):
    """A vector and matrix product reads the 16 s^2 bytes of the matrix's
    packets once: np.dot(z, z) over 2 s^2 float64 reads as many (the NumPy
    read reference)."""
    z = np.full(2 * s * s, 1.5)
    return side("limit", "f(z, z)", f=np.dot, z=z)


def import_traffic(n):
    """A float64 import reads 8n bytes and writes 16n: np.copyto casting 2n
    float32 into 2n float64, which NumPy does at memory speed; narrower types
    read less."""
    narrow, wide = np.ones(2 * n, dtype=np.float32), np.empty(2 * n)
    return side("limit", "copyto(z, y)", copyto=np.copyto, z=wide, y=narrow)


def transfer_traffic(itemsize, n):
    """A tensor of n elements of itemsize bytes travels as its values alone:
    taking them out of their packets reads 16n bytes and writes itemsize * n,
    putting them back reads itemsize * n and writes 16n. The packets stand as
    2n int64 and the values as 2n integers of half the element's width (int8,
    int16 or int32): np.copyto casting the one into the other, then back into
    a second 2n int64, moves exactly those bytes. On this machine these
    contiguous casts run about as fast as a bare read of the 16n bytes
    (np.add.reduce) and a fill of them; a strided copy of each packet's
    first lane ran no faster, and a broadcast into the lanes three times
    slower."""
    half = np.dtype(f"int{4 * itemsize}")
    packets, again = np.ones(2 * n, dtype=np.int64), np.empty(2 * n, dtype=np.int64)
    values = np.empty(2 * n, dtype=half)
    return side("limit", "copyto(y, w, casting='unsafe'); copyto(z, y)", copyto=np.copyto, w=packets, y=values,
                z=again)


def python_numbers(x):
    """to_list must make one Python int or float per element and a list to
    hold them. array.array.tolist() on the same values does only that, in the
    standard library's tightest loop (a typed read, PyLong_FromLong or
    PyFloat_FromDouble, a list store); it beat ndarray.tolist(),
    memoryview.tolist() and list(map(float, ...)) on this machine. float32
    values widen to the same Python floats, and small integers come from the
    same cache, so both sides make the very same objects."""
    values = array.array(x.dtype.char)
    values.frombytes(np.ascontiguousarray(x).tobytes())
    return side("numbers", "a.tolist()", a=values)


def peak_note():
    if halvorn_testing is None:
        return "halvorn_testing is not built (./dev build builds it): no exact-order peak for dot"
    return f"exact-order peak: 16 multiply-then-add chains in {halvorn_testing.peak_vector_width()}"


def exact_order_peak(dtype, s):
    """The s^3 multiply-then-add pairs of an s x s matrix product as separate
    operations in registers, the best any exactly ordered sum can do; None
    without the test companion module."""
    if halvorn_testing is None:
        return None
    peak = getattr(halvorn_testing, f"peak_multiply_add_{dtype}")
    return side("peak", "f(n, 0.5, 0.5)", f=peak, n=s ** 3)


def binding_floor(a, b):
    """pybind11's own cost of a call that converts two tensors and returns
    nothing (the test companion's binding_floor, through halvorn's caster):
    what no element-wise call can go below. None without the module."""
    if halvorn_testing is None:
        return None
    return side("binding", "f(a, b)", f=halvorn_testing.binding_floor, a=a, b=b)


def product_traffic(read_bytes, written_bytes):
    """A product reads its operands' packets and writes its result's: np.dot
    of a float64 array with itself reads the one (as matrix_read), a fill of
    another writes the other."""
    z, w = np.full(max(read_bytes // 8, 1), 1.5), np.zeros(max(written_bytes // 8, 1))
    return side("limit", "f(z, z); w.fill(1.5)", f=np.dot, z=z, w=w)


def product_compute(dtype, m, k, n):
    """The m k n multiply-then-add pairs of [m, k] · [k, n] in registers. A
    float sum's additions follow each other, so the m n sums fill only
    ceil(m n / lanes) vector chains (at most 16 are needed to keep the units
    busy); a wrapping integer sum can be split, so integers use 16."""
    peak = getattr(halvorn_testing, f"peak_multiply_add_{dtype}")
    if dtype.startswith("float"):
        lanes = halvorn_testing.peak_vector_bytes() // np.dtype(dtype).itemsize
        vectors = math.ceil(m * n / lanes)
        return side("peak", "f(pairs, 0.5, 0.5, chains)", f=peak, pairs=vectors * lanes * k,
                    chains=min(vectors, 16))
    return side("peak", "f(pairs, 3, 3)", f=peak, pairs=m * k * n)
