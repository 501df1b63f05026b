# Types of the vexa_stats extension module, shipped as a PEP 561 stub-only package because a
# single-file extension cannot carry a py.typed marker.

from collections.abc import Callable, Mapping
from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar, type_check_only

__all__ = ["stats", "correlation", "sample_solutions", "minimize_rmsd", "minimize_cost", "rmsd"]

_T_co = TypeVar("_T_co", covariant=True)

# What the module reads through the sequence protocol: lists, tuples and numpy arrays alike.
class _SequenceOf(Protocol[_T_co]):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

_Point = _SequenceOf[SupportsFloat | SupportsIndex]
_Structure = _SequenceOf[_Point]
_GroundTruth = _SequenceOf[_Structure]

# Cost functions: a Python callable (sequence, [[x, y, z], ...]) -> cost, a (Lua function name,
# Lua code) pair, or a table of contact energies E[a][b] between one-letter residue codes.
_Cost = (
    Callable[[str, list[list[float]]], float]
    | tuple[str, str]
    | Mapping[str, Mapping[str, float]]
)

_Stats = tuple[
    float,  # correlation
    tuple[float, float, float],  # min_cost, avg_cost, max_cost
    tuple[float, float, float],  # min_rmsd, avg_rmsd, max_rmsd
    tuple[float, float],  # min_cost_rmsd, max_cost_rmsd
]

# Every failure inside the module. The module does not export the class (it exists only as the
# type of what is raised), so it serves annotations; catch it with `except BaseException`.
@type_check_only
class PanicException(BaseException): ...

def rmsd(sol: _Structure, gt: _GroundTruth) -> float: ...
def sample_solutions(
    len: SupportsIndex,
    sample_size: SupportsIndex = 10000,
    method: str = "pivot",
    thermalization_factor: SupportsIndex = 10,
    autocorrelation_factor: SupportsIndex = 10,
    lattice: str = "tetrahedral",
    arc_length: float = 3.8,
    pbar: bool = False,
) -> list[list[list[float]]]: ...
def correlation(
    seq: str,
    gt: _GroundTruth,
    cost: _Cost,
    sample_size: SupportsIndex = 10000,
    method: str | None = None,
    thermalization_factor: SupportsIndex = 100,
    autocorrelation_factor: SupportsIndex = 10,
    lattice: str = "tetrahedral",
    arc_length: float = 3.8,
    kmin: SupportsIndex = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> float: ...
def stats(
    seq: str,
    gt: _GroundTruth,
    cost: _Cost,
    sample_size: SupportsIndex = 10000,
    method: str | None = None,
    thermalization_factor: SupportsIndex = 100,
    autocorrelation_factor: SupportsIndex = 10,
    lattice: str = "tetrahedral",
    arc_length: float = 3.8,
    kmin: SupportsIndex = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> _Stats: ...
def minimize_cost(
    seq: str,
    cost: _Cost,
    lattice: str = "tetrahedral",
    arc_length: float = 3.8,
    kmin: SupportsIndex = 1,
    dmax: float = 7.8,
    pbar: bool = False,
) -> list[list[float]]: ...
def minimize_rmsd(
    gt: _GroundTruth,
    lattice: str = "tetrahedral",
    arc_length: float = 3.8,
    pbar: bool = False,
) -> list[list[float]]: ...
