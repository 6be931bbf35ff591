"""What a case family tells the harness: how to run it and how to show it."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass


@dataclass(frozen=True)
class Family:
    name: str
    run: Callable  # run(Run): times every case of the family
    title: str  # the section heading in bench.md
    text: str  # the paragraph under it: what each peer is
    first_heading: str = "op"
    peers: tuple[str, ...] = ("numpy",)
    # Extra table columns: (heading, case -> cell text).
    columns: tuple[tuple[str, Callable], ...] = ()
    # A section of its own instead of the per-case table: render(run) -> lines.
    render: Callable | None = None


def per_element(case):
    return f"{case['sides']['halvorn']['median_ns'] / max(case['n'], 1):.3g}"


PER_ELEMENT = ("ns/elem", per_element)
