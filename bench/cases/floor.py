"""The cheapest calls: the cost of getting into native code and back at all."""

from __future__ import annotations

import numpy as np

import halvorn

from ..family import Family
from ..limits import binding_floor
from ..operands import computed, to_numpy
from ..timing import side


def bench_floor(run):
    """The cost of getting into native code and back at all."""
    a, b = computed("float64", (1,), 1.5), computed("float64", (1,), 2.5)
    x, y = to_numpy(a, "float64"), to_numpy(b, "float64")
    floor = binding_floor(a, b)
    run.case("floor", "add", "float64", (1,), [
        side("halvorn", "f(a, b)", f=halvorn.quorva_add_float64, a=a, b=b),
        side("numpy", "f(x, y)", f=np.add, x=x, y=y),
    ] + ([floor] if floor else []), peer="add")
    run.case("floor", "shape", "float64", (1,), [
        side("halvorn", "a.shape", a=a),
        side("numpy", "x.shape", x=x),
    ], peer="ndarray.shape")


FAMILY = Family(
    name="floor",
    run=bench_floor,
    title="Call floor",
    text="The cheapest calls: quorva_add_float64 on one element against np.add on a one-element array, and the "
    "`shape` getter against ndarray.shape. binding floor: a call of the test companion's binding_floor, which "
    "converts two tensors through halvorn's own caster and returns None: pybind11's cost of getting in and out, "
    "below which no call can go. What add spends above it is the result (its packet block, its Tensor, its new "
    "instance) and the arithmetic.",
    first_heading="call",
    peers=("numpy", "binding"),
)
