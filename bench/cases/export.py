"""List export and text."""

from __future__ import annotations

from ..family import Family
from ..limits import python_numbers
from ..operands import TYPES, to_numpy, varied, verdict
from ..timing import side


def bench_export(run):
    """to_list against ndarray.tolist and against making the same Python
    numbers (array.array.tolist), repr against NumPy's repr (informational:
    the two texts differ in form and in where they cut off)."""
    for dtype in TYPES:
        for n in run.config.sizes:
            t = varied(dtype, (n,))
            x = to_numpy(t, dtype)
            numbers = python_numbers(x)
            listed = t.to_list()
            made = numbers.names["a"].tolist()
            same = listed == x.tolist() == made and list(map(type, listed)) == list(map(type, made))
            check = verdict(same, "differs from ndarray.tolist or from the same Python numbers")
            del listed, made
            run.case("export", "to_list", dtype, (n,), [
                side("halvorn", "t.to_list()", t=t),
                side("numpy", "x.tolist()", x=x),
                numbers,
            ], check=check, peer="ndarray.tolist")
            text = repr(t)
            check = verdict(isinstance(text, str) and text == str(t) and len(text) > 0, "repr and str disagree")
            run.case("export", "repr", dtype, (n,), [
                side("halvorn", "repr(t)", t=t),
                side("numpy", "repr(x)", x=x),
            ], check=check, peer="repr(ndarray)")


FAMILY = Family(
    name="export",
    run=bench_export,
    title="List export and text",
    text="NumPy: ndarray.tolist() and repr(ndarray) of the same values (repr is informational: the texts "
    "differ in form and in where they cut off). numbers (to_list): array.array.tolist() on the same values, "
    "the standard library's tightest loop that makes one Python int or float per element into a new list: "
    "what creating the Python numbers costs, which to_list cannot avoid.",
    first_heading="op",
    peers=("numpy", "numbers"),
)
