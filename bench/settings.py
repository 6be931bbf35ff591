"""Sizes and timing settings of a full run and a quick one."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass
class Config:
    sizes: list[int]
    shape2d: tuple[int, int]
    dot_sizes: list[int]
    chained_sizes: list[int]
    memory_n: int
    # The product shapes: extents of the few rows and columns, term counts of
    # the long sums, row counts of the products with few terms, and the gram
    # headline's (columns, rows) of X.
    grid_extents: list[int]
    grid_terms: list[int]
    grid_tall_rows: list[int]
    gram: tuple[int, int]
    min_time_ns: int  # one timing (reps calls) lasts at least this long
    min_rounds: int
    max_rounds: int
    budget_ns: int  # rounds stop past this, once min_rounds are done
    families: list[str]
    quick: bool


FULL_SETTINGS = dict(
    sizes=[1, 16, 256, 4096, 65536, 1048576],
    shape2d=(1024, 1024),
    dot_sizes=[8, 32, 128, 256, 512, 1024],
    chained_sizes=[10_000, 30_000, 100_000, 300_000, 1_000_000, 4_000_000],
    memory_n=1 << 20,
    grid_extents=[1, 2, 3, 4, 8, 16, 64],
    grid_terms=[1_000, 100_000, 1_000_000],
    grid_tall_rows=[100_000, 1_000_000],
    gram=(8, 200_000),
    min_time_ns=1_000_000,
    min_rounds=3,
    max_rounds=41,
    budget_ns=1_000_000_000,
)
QUICK_SETTINGS = dict(
    # Still one size on each side of every target's threshold.
    sizes=[1, 16, 65536, 1048576],
    shape2d=(64, 64),
    dot_sizes=[8, 256],
    chained_sizes=[10_000, 300_000, 4_000_000],
    memory_n=1 << 20,
    grid_extents=[3, 8],
    grid_terms=[10_000],
    grid_tall_rows=[10_000],
    gram=(8, 20_000),
    min_time_ns=200_000,
    min_rounds=3,
    max_rounds=5,
    budget_ns=30_000_000,
)
