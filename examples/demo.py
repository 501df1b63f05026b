#!/usr/bin/env python3
"""How well does a contact potential rank lattice models of a real protein?

Reads every model of an experimental structure (by default the NMR ensemble of ubiquitin,
PDB 1D3Z), samples self-avoiding walks of the chain on the four lattices and, for four cost
functions (Miyazawa-Jernigan contact energies, the HP model, a Lua compactness score and a
Python radius of gyration), prints Spearman's rank correlation between cost and RMSD to the
experimental models, with the ranges of both. It then searches a short N-terminal fragment
exhaustively for the lattice walk closest to the real structure, and draws the MJ energy of the
sampled walks against their RMSD, one panel per lattice, into a PNG.

    .venv/bin/python examples/demo.py                    # ubiquitin, a few minutes
    .venv/bin/python examples/demo.py my.cif --sample-size 2000 --output my.png
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Mapping, Union

import gemmi
import matplotlib

matplotlib.use("Agg")  # files only: no display needed, also on CI

import matplotlib.pyplot as plt  # noqa: E402  (after the backend choice)
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

import vexa_stats  # noqa: E402

HERE = Path(__file__).resolve().parent
DEFAULT_STRUCTURE = Path("/usr/share/freesasa/test-data/1d3z.pdb")  # Debian package freesasa
MJ_TABLE = HERE / "data" / "miyazawa_jernigan_1996.tsv"
DEFAULT_OUTPUT = HERE / "output" / "cost_vs_rmsd.png"

LATTICES = ("tetrahedral", "fcc", "bcc", "cubic")
ARC_LENGTH = 3.8  # Å, the C-alpha to C-alpha distance of a trans peptide bond
# Contacts between residues at least 3 apart in the chain: nearer pairs are within 7.6 Å in
# every walk, so they would only add the same constant to every energy.
KMIN = 3
DEFAULT_SAMPLE_SIZE = 10000
# Longest N-terminal fragment whose exhaustive search takes a few seconds on each lattice: the
# number of walks grows about 3x (tetrahedral), 5x (cubic), 7x (bcc) and 10x (fcc) per residue.
DEFAULT_FRAGMENT = {"tetrahedral": 12, "fcc": 7, "bcc": 8, "cubic": 9}
QUICK_SAMPLE_SIZE = 40
QUICK_FRAGMENT = 4

# Kyte J, Doolittle RF (1982) J Mol Biol 157:105-132: the residues of positive hydropathy.
HYDROPHOBIC = "ACFILMV"
AMINO_ACIDS = "ACDEFGHIKLMNPQRSTVWY"

# Lua cost: function name first, then the code that defines it. The function receives the
# sequence and a table of {x, y, z} tables indexed from 1, and returns a number.
LUA_COMPACTNESS = (
    "compactness",
    """
-- Minus the sum of 1/r over residue pairs that are not chain neighbours: compact is cheap.
function compactness(seq, coords)
  local total = 0.0
  for i = 1, #coords - 2 do
    local a = coords[i]
    for j = i + 2, #coords do
      local b = coords[j]
      local dx, dy, dz = a[1] - b[1], a[2] - b[2], a[3] - b[3]
      total = total + 1.0 / math.sqrt(dx * dx + dy * dy + dz * dz)
    end
  end
  return -total
end
""",
)

Table = dict[str, dict[str, float]]
Cost = Union[Callable[[str, list[list[float]]], float], tuple[str, str],
             Mapping[str, Mapping[str, float]]]
Coordinates = npt.NDArray[np.float64]


class StructureError(ValueError):
    """The file does not hold a protein chain the lattices can model."""


@dataclass
class Protein:
    name: str
    chain: str
    sequence: str
    models: Coordinates  # (models, residues, 3) C-alpha positions in Å
    residue_ids: list[str]  # author numbering, as the file gives it


def read_ca_models(path: Path) -> Protein:
    """C-alpha atoms of the first protein chain, in every model of a PDB or mmCIF file."""
    structure = gemmi.read_structure(str(path))
    structure.setup_entities()
    if len(structure) == 0:
        raise StructureError(f"{path}: no model found")
    chain_name = ""
    for chain in structure[0]:
        if any(gemmi.find_tabulated_residue(r.name).is_amino_acid() for r in chain):
            chain_name = chain.name
            break
    if not chain_name:
        raise StructureError(f"{path}: no protein chain found")

    sequence = ""
    residue_ids: list[str] = []
    models = []
    for index, model in enumerate(structure):
        chain = model.find_chain(chain_name)
        if chain is None:
            raise StructureError(f"{path}: model {index + 1} has no chain {chain_name}")
        letters = []
        points = []
        for residue in chain.get_polymer().first_conformer():
            info = gemmi.find_tabulated_residue(residue.name)
            if not info.is_amino_acid():
                continue
            atom = residue.find_atom("CA", "*")
            if atom is None:
                raise StructureError(f"{path}: residue {residue.name} {residue.seqid} has no "
                                     "CA atom")
            code = info.one_letter_code.upper()  # modified residues map to their parent
            letters.append(code if code.isalpha() else "X")
            points.append((atom.pos.x, atom.pos.y, atom.pos.z))
            if index == 0:
                residue_ids.append(str(residue.seqid))
        model_sequence = "".join(letters)
        if index == 0:
            sequence = model_sequence
        elif model_sequence != sequence:
            raise StructureError(f"{path}: model {index + 1} of chain {chain_name} has other "
                                 "residues than model 1")
        models.append(points)
    if len(sequence) < 2:
        raise StructureError(f"{path}: chain {chain_name} has fewer than two residues")
    return Protein(structure.name or path.stem, chain_name, sequence,
                   np.array(models, dtype=np.float64), residue_ids)


def check_ca_spacing(protein: Protein) -> None:
    """Lattice chains have every bond 3.8 Å long: refuse chain breaks, warn on odd bonds."""
    bonds = np.linalg.norm(np.diff(protein.models, axis=1), axis=2)  # (models, residues - 1)
    worst = bonds.max(axis=0)
    breaks = np.flatnonzero(worst > 4.3)
    if breaks.size:
        i = int(breaks[0])
        raise StructureError(
            f"chain {protein.chain}: the C-alpha atoms of residues {protein.residue_ids[i]} and "
            f"{protein.residue_ids[i + 1]} are {worst[i]:.2f} Å apart, not "
            f"about {ARC_LENGTH} Å: residues are missing there. A lattice chain cannot bridge "
            "the gap; choose a structure without breaks.")
    odd = np.flatnonzero(np.abs(bonds - ARC_LENGTH).max(axis=0) > 0.2)
    if odd.size:
        print(f"warning: {odd.size} C-alpha bonds differ from {ARC_LENGTH} Å by more than 0.2 Å "
              f"(range {bonds.min():.2f}-{bonds.max():.2f} Å; cis peptides are about 2.9 Å); "
              "the lattice models them as 3.8 Å", file=sys.stderr)


def load_contact_energies(path: Path) -> Table:
    """Symmetric table of the upper triangle and diagonal; the lower triangle must agree."""
    rows = [line.rstrip("\n").split("\t") for line in path.read_text().splitlines()
            if line.strip() and not line.startswith("#")]
    letters = rows[0][1:]
    table: Table = {a: {} for a in letters}
    for i, row in enumerate(rows[1:]):
        a = row[0]
        if a != letters[i] or len(row) != len(letters) + 1:
            raise ValueError(f"{path}: row {i + 1} is not the row of {letters[i]}")
        for j, b in enumerate(letters[i:], start=i):
            energy = float(row[j + 1])
            table[a][b] = energy
            table[b][a] = energy
    for i, row in enumerate(rows[1:]):
        for j in range(i):
            if float(row[j + 1]) != table[letters[i]][letters[j]]:
                raise ValueError(f"{path}: E({letters[i]}, {letters[j]}) = {row[j + 1]} differs "
                                 f"from E({letters[j]}, {letters[i]}) = "
                                 f"{table[letters[j]][letters[i]]}")
    return table


def hp_table() -> Table:
    """HP model (Lau & Dill 1989, Macromolecules 22:3986): H-H contacts -1, all others 0."""
    return {a: {b: -1.0 if a in HYDROPHOBIC and b in HYDROPHOBIC else 0.0 for b in AMINO_ACIDS}
            for a in AMINO_ACIDS}


def radius_of_gyration(seq: str, coords: list[list[float]]) -> float:
    """A Python cost: the radius of gyration in Å (small = compact)."""
    n = len(coords)
    cx = sum(p[0] for p in coords) / n
    cy = sum(p[1] for p in coords) / n
    cz = sum(p[2] for p in coords) / n
    return math.sqrt(sum((p[0] - cx) ** 2 + (p[1] - cy) ** 2 + (p[2] - cz) ** 2
                         for p in coords) / n)


class ContactEnergy:
    """The contact-energy cost the module computes from a table, evaluated with numpy."""

    def __init__(self, table: Table, seq: str, kmin: int = 1, dmax: float = 7.8) -> None:
        self.i, self.j = np.triu_indices(len(seq), k=kmin)
        self.pair_energy = np.array([table[seq[a]][seq[b]] for a, b in zip(self.i, self.j)],
                                    dtype=np.float64)
        self.dmax = dmax

    def __call__(self, coords: Coordinates) -> float:
        distance = np.linalg.norm(coords[self.i] - coords[self.j], axis=1)
        return float(self.pair_energy[distance <= self.dmax].sum())


class RecordingEnergy:
    """A contact energy as a Python cost that keeps every structure it scores."""

    def __init__(self, energy: ContactEnergy) -> None:
        self.energy = energy
        self.structures: list[list[list[float]]] = []
        self.energies: list[float] = []

    def __call__(self, seq: str, coords: list[list[float]]) -> float:
        value = self.energy(np.array(coords, dtype=np.float64))
        self.structures.append(coords)
        self.energies.append(value)
        return value


Stats = tuple[float, tuple[float, float, float], tuple[float, float, float], tuple[float, float]]


def print_stats_table(rows: list[tuple[str, str, Stats, float]]) -> None:
    header = (f"{'lattice':<12} {'cost':<22} {'Spearman':>8}   {'cost min':>9} {'mean':>9} "
              f"{'max':>9}   {'RMSD min':>8} {'mean':>6} {'max':>6}   {'cheapest':>8} "
              f"{'dearest':>7} {'time':>6}")
    print(header)
    print("-" * len(header))
    for lattice, label, (rho, cost, rmsd, extremes), seconds in rows:
        print(f"{lattice:<12} {label:<22} {rho:>8.3f}   {cost[0]:>9.2f} {cost[1]:>9.2f} "
              f"{cost[2]:>9.2f}   {rmsd[0]:>8.2f} {rmsd[1]:>6.2f} {rmsd[2]:>6.2f}   "
              f"{extremes[0]:>8.2f} {extremes[1]:>7.2f} {seconds:>5.1f}s")
    print("Spearman: rank correlation of cost and RMSD (1 = the cost ranks walks exactly by their "
          "distance to the real structure).\nRMSD in Å to the closest experimental model; "
          "cheapest/dearest: RMSD of the walk of least/greatest cost; MJ and HP costs in RT "
          f"units, over residue pairs at least {KMIN} apart in the chain and at most 7.8 Å "
          "apart in space.")


def draw(panels: list[tuple[str, RecordingEnergy, list[float], float]], protein: Protein,
         output: Path) -> None:
    figure, axes = plt.subplots(2, 2, figsize=(11, 8.5), constrained_layout=True)
    for axis, (lattice, recorder, rmsds, rho) in zip(axes.flat, panels):
        energies = np.array(recorder.energies)
        axis.scatter(rmsds, energies, s=4, alpha=0.35, color="tab:blue", linewidths=0)
        best = int(np.argmin(energies))
        axis.scatter([rmsds[best]], [energies[best]], s=120, marker="*", color="tab:red",
                     label=f"least energy: RMSD {rmsds[best]:.1f} Å", zorder=3)
        axis.set_title(f"{lattice} lattice: Spearman ρ = {rho:.3f}")
        axis.set_xlabel("RMSD to the closest NMR model (Å)")
        axis.set_ylabel("Miyazawa–Jernigan energy (RT units)")
        axis.legend(loc="upper left", fontsize=9)
        axis.grid(alpha=0.3)
    figure.suptitle(f"{protein.name} chain {protein.chain}, {len(protein.sequence)} residues, "
                    f"{len(protein.models)} models: {len(panels[0][1].energies)} pivot-sampled "
                    "walks per lattice", fontsize=12)
    output.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(output, dpi=110)
    plt.close(figure)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("path", nargs="?", type=Path, default=DEFAULT_STRUCTURE,
                        help="PDB or mmCIF file (default: ubiquitin, 1D3Z, from Debian's "
                        "freesasa package)")
    parser.add_argument("--sample-size", type=int, default=None,
                        help=f"walks sampled per lattice and cost (default {DEFAULT_SAMPLE_SIZE})")
    parser.add_argument("--fragment", type=int, default=None,
                        help="residues of the N-terminal fragment searched exhaustively, on "
                        "every lattice (default per lattice: " +
                        ", ".join(f"{k} {v}" for k, v in DEFAULT_FRAGMENT.items()) + ")")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT,
                        help="PNG file for the energy/RMSD picture (default %(default)s)")
    parser.add_argument("--quick", action="store_true",
                        help=f"a smoke run: {QUICK_SAMPLE_SIZE} walks, {QUICK_FRAGMENT}-residue "
                        "fragments")
    args = parser.parse_args(argv)

    sample_size: int = args.sample_size or (QUICK_SAMPLE_SIZE if args.quick
                                            else DEFAULT_SAMPLE_SIZE)
    if sample_size < 2:
        parser.error("--sample-size must be at least 2 (a correlation needs two walks)")

    mj = load_contact_energies(MJ_TABLE)
    try:
        protein = read_ca_models(args.path)
        check_ca_spacing(protein)
        unknown = sorted(set(protein.sequence) - set(mj))
        if unknown:
            raise StructureError(f"residues {' '.join(unknown)} have no Miyazawa-Jernigan "
                                 "energy (non-standard or unknown residues)")
    except (OSError, RuntimeError, StructureError) as error:  # gemmi reports bad files as such
        parser.exit(2, f"{parser.prog}: error: {error}\n")
    seq = protein.sequence
    gt = protein.models
    print(f"{protein.name} chain {protein.chain}: {len(seq)} residues, {len(gt)} models\n{seq}\n")

    costs: list[tuple[str, Cost]] = [
        ("Miyazawa-Jernigan 1996", mj),
        ("HP model", hp_table()),
        ("Lua compactness", LUA_COMPACTNESS),
        ("Python gyration radius", radius_of_gyration),
    ]
    rows: list[tuple[str, str, Stats, float]] = []
    panels: list[tuple[str, RecordingEnergy, list[float], float]] = []
    for lattice in LATTICES:
        for label, cost in costs:
            print(f"{lattice}, {label}:", file=sys.stderr, flush=True)
            start = time.perf_counter()
            summary = vexa_stats.stats(seq, gt, cost, sample_size=sample_size, lattice=lattice,
                                       kmin=KMIN, pbar=True)
            rows.append((lattice, label, summary, time.perf_counter() - start))
        # A fresh sample scored by the same energy through a recording Python cost, so the
        # picture shows every walk and the correlation the module computed for exactly those.
        print(f"{lattice}, MJ energy of every walk for the picture:", file=sys.stderr, flush=True)
        recorder = RecordingEnergy(ContactEnergy(mj, seq, kmin=KMIN))
        rho = vexa_stats.correlation(seq, gt, recorder, sample_size=sample_size, lattice=lattice,
                                     pbar=True)
        rmsds = [vexa_stats.rmsd(s, gt) for s in recorder.structures]
        panels.append((lattice, recorder, rmsds, rho))
    print()
    print_stats_table(rows)

    print("\nClosest lattice walk to the N-terminal fragment (exhaustive search; RMSD in Å)")
    header = (f"{'lattice':<12} {'residues':>8} {'least RMSD':>10} {'MJ optimum RMSD':>15} "
              f"{'time':>6}")
    print(header)
    print("-" * len(header))
    for lattice in LATTICES:
        length = min(len(seq), args.fragment or (QUICK_FRAGMENT if args.quick
                                                 else DEFAULT_FRAGMENT[lattice]))
        fragment = gt[:, :length]
        print(f"{lattice}, {length}-residue fragment:", file=sys.stderr, flush=True)
        start = time.perf_counter()
        closest = vexa_stats.minimize_rmsd(fragment, lattice=lattice, pbar=True)
        cheapest = vexa_stats.minimize_cost(seq[:length], mj, lattice=lattice, kmin=KMIN,
                                            pbar=True)
        seconds = time.perf_counter() - start
        print(f"{lattice:<12} {length:>8} {vexa_stats.rmsd(closest, fragment):>10.3f} "
              f"{vexa_stats.rmsd(cheapest, fragment):>15.3f} {seconds:>5.1f}s")
    print("least RMSD: the best any walk on the lattice can do; MJ optimum RMSD: the walk of "
          "least MJ energy.")

    draw(panels, protein, args.output)
    print(f"\nPicture: {args.output.resolve()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
