"""The case families, in the order they run and appear in bench.md.

Each family is one module here that defines FAMILY: the function that times
its cases (one run.case(...) call per case) and the section of bench.md that
shows them. A new case of a family is one more run.case call in its module; a
new family is one more module and its name in FAMILY_MODULES below. A target
for the new cases is one entry in bench/targets.py; a side with a new name
gets its heading in bench/timing.py (PEER_HEADINGS, PEER_TEXT)."""

from __future__ import annotations

import importlib

from ..family import Family

FAMILY_MODULES = ["elementwise", "factory", "random", "dot", "shapes", "export", "interop", "pickling", "floor", "chained",
                  "memory", "dask_arrays", "transfer"]


def load_families() -> dict[str, Family]:
    families = {}
    for module_name in FAMILY_MODULES:
        family = importlib.import_module(f"{__name__}.{module_name}").FAMILY
        families[family.name] = family
    return families


FAMILIES = load_families()
