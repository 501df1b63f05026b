"""Calls every function the way users write them; `mypy --strict` must accept this file.

Each result is bound to a variable of its declared type, so a stub that returns Any or the
wrong shape is caught as well as one that refuses a legitimate argument.
"""

from __future__ import annotations

import math

import numpy as np

import vexa_stats

TABLE: dict[str, dict[str, float]] = {"A": {"A": -1.0, "G": -0.5}, "G": {"A": -0.5, "G": 0.0}}
LUA = ("energy", "function energy(seq, coords) return #coords end")


def end_to_end(seq: str, coords: list[list[float]]) -> float:
    first, last = coords[0], coords[-1]
    return math.dist(first, last)


class Counter:
    def __init__(self) -> None:
        self.calls = 0

    def __call__(self, seq: str, coords: list[list[float]]) -> float:
        self.calls += 1
        return float(len(coords))


def use_everything() -> None:
    models: list[list[list[float]]] = vexa_stats.sample_solutions(4, 2, lattice="cubic")
    structure: list[list[float]] = models[0]
    point: list[float] = structure[0]
    x: float = point[0]

    distance: float = vexa_stats.rmsd(structure, models)
    distance = vexa_stats.rmsd([(0, 0, 0), (1, 0, 0)], [[(0.0, 0.0, 0.0), (0.0, 1.0, 0.0)]])
    distance = vexa_stats.rmsd(np.zeros((4, 3)), np.zeros((2, 4, 3)))

    rho: float = vexa_stats.correlation("AGGA", models, TABLE, sample_size=100)
    rho = vexa_stats.correlation("AGGA", models, LUA, method=None, kmin=2, dmax=6.0)
    rho = vexa_stats.correlation("AGGA", np.array(models), end_to_end, method="enumerate")

    summary = vexa_stats.stats("AGGA", models, Counter(), 50, "dimerize", 100, 10, "bcc", 3.8)
    correlation: float = summary[0]
    low_cost, mean_cost, high_cost = summary[1]
    low_rmsd, mean_rmsd, high_rmsd = summary[2]
    cheapest_rmsd, dearest_rmsd = summary[3]
    values: list[float] = [correlation, low_cost, mean_cost, high_cost, low_rmsd, mean_rmsd,
                           high_rmsd, cheapest_rmsd, dearest_rmsd]

    best: list[list[float]] = vexa_stats.minimize_cost("AGG", TABLE, lattice="fcc", pbar=True)
    best = vexa_stats.minimize_cost("AGG", lambda seq, coords: 0.0, arc_length=4)
    best = vexa_stats.minimize_rmsd(models, "tetrahedral", 3.8, False)

    try:
        vexa_stats.sample_solutions(3, lattice="hexagonal")
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        message: str = str(error)
        print(message, x, distance, rho, values, best)
