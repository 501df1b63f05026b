"""The demo on real data: its parser, its cost tables and costs, and a quick end-to-end run."""

from __future__ import annotations

import importlib.util
import math
import re
import subprocess
import sys
import zlib
from pathlib import Path
from types import ModuleType

import pytest

pytest.importorskip("gemmi", reason="demo requirements not installed (requirements-demo.txt)")
pytest.importorskip("matplotlib", reason="demo requirements not installed (requirements-demo.txt)")

import numpy as np  # noqa: E402

import vexa_stats  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
DEMO = ROOT / "examples" / "demo.py"
UBIQUITIN = Path("/usr/share/freesasa/test-data/1d3z.pdb")
needs_ubiquitin = pytest.mark.skipif(not UBIQUITIN.exists(),
                                     reason="1D3Z comes with the Debian package freesasa")
LATTICES = ("tetrahedral", "fcc", "bcc", "cubic")
# Kyte & Doolittle (1982) J Mol Biol 157:105-132: hydropathy index.
KYTE_DOOLITTLE = {"I": 4.5, "V": 4.2, "L": 3.8, "F": 2.8, "C": 2.5, "M": 1.9, "A": 1.8,
                  "G": -0.4, "T": -0.7, "S": -0.8, "W": -0.9, "Y": -1.3, "P": -1.6, "H": -3.2,
                  "E": -3.5, "Q": -3.5, "D": -3.5, "N": -3.5, "K": -3.9, "R": -4.5}
# UniProt P0CG48 (polyubiquitin-C), residues 1-76: the ubiquitin chain of 1D3Z.
UBIQUITIN_SEQUENCE = ("MQIFVKTLTGKTITLEVEPSDTIENVKAKIQDKEGIPPDQQRLIFAGKQLEDGRTLSDYNIQKEST"
                      "LHLVLRLRGG")


@pytest.fixture(scope="module")
def demo() -> ModuleType:
    found = importlib.util.spec_from_file_location("demo", DEMO)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules["demo"] = module  # dataclasses look their module up there
    found.loader.exec_module(module)
    return module


def ca_models_from_pdb_text(path: Path) -> np.ndarray:
    """C-alpha coordinates read straight from the fixed PDB columns, without gemmi."""
    models: list[list[tuple[float, float, float]]] = [[]]
    for line in path.read_text().splitlines():
        if line.startswith("ENDMDL"):
            models.append([])
        elif line.startswith("ATOM") and line[12:16] == " CA ":
            models[-1].append((float(line[30:38]), float(line[38:46]), float(line[46:54])))
    return np.array([m for m in models if m])


# Table 3 of Miyazawa & Jernigan (1996), J Mol Biol 256:623-644, in RT units.
@pytest.mark.parametrize("a, b, energy", [
    ("C", "C", -5.44), ("L", "L", -7.37), ("K", "K", -0.12), ("F", "L", -7.28),
    ("L", "F", -7.28), ("R", "K", -0.59), ("K", "R", -0.59), ("W", "P", -3.73),
    ("P", "W", -3.73), ("E", "D", -1.02), ("Y", "C", -4.16),
], ids=lambda v: str(v))
def test_miyazawa_jernigan_values(demo: ModuleType, a: str, b: str, energy: float) -> None:
    assert demo.load_contact_energies(demo.MJ_TABLE)[a][b] == energy


def test_miyazawa_jernigan_table_is_complete_and_symmetric(demo: ModuleType) -> None:
    table = demo.load_contact_energies(demo.MJ_TABLE)
    letters = set("ACDEFGHIKLMNPQRSTVWY")
    assert set(table) == letters
    for a in letters:
        assert set(table[a]) == letters
        for b in letters:
            assert table[a][b] == table[b][a], (a, b)


def test_miyazawa_jernigan_file_keeps_its_citation(demo: ModuleType) -> None:
    assert "J Mol Biol 256:623-644" in demo.MJ_TABLE.read_text().splitlines()[0]


def test_contact_table_refuses_a_lower_triangle_that_disagrees(demo: ModuleType,
                                                               tmp_path: Path) -> None:
    path = tmp_path / "asymmetric.tsv"
    path.write_text("# made up\n-\tA\tG\nA\t-1.0\t-2.0\nG\t-2.5\t-3.0\n")
    with pytest.raises(ValueError, match=r"E\(G, A\) = -2.5 differs from E\(A, G\) = -2.0"):
        demo.load_contact_energies(path)


@needs_ubiquitin
@pytest.mark.parametrize("file_format", ["pdb", "mmcif"])
def test_reads_every_model_of_ubiquitin(demo: ModuleType, tmp_path: Path,
                                        file_format: str) -> None:
    import gemmi
    path = UBIQUITIN
    if file_format == "mmcif":
        path = tmp_path / "1d3z.cif"
        gemmi.read_structure(str(UBIQUITIN)).make_mmcif_document().write_file(str(path))
    protein = demo.read_ca_models(path)
    assert protein.sequence == UBIQUITIN_SEQUENCE
    assert protein.models.shape == (10, 76, 3)
    np.testing.assert_array_equal(protein.models, ca_models_from_pdb_text(UBIQUITIN))
    demo.check_ca_spacing(protein)  # 1D3Z has no break and no cis peptide


@needs_ubiquitin
def test_chain_break_is_refused_with_the_residues_named(demo: ModuleType,
                                                        tmp_path: Path) -> None:
    import gemmi
    structure = gemmi.read_structure(str(UBIQUITIN))
    for model in structure:
        del model[0][29]  # residue 30
    path = tmp_path / "gap.pdb"
    structure.write_pdb(str(path))
    protein = demo.read_ca_models(path)
    assert len(protein.sequence) == 75
    with pytest.raises(demo.StructureError, match="residues 29 and 31 are .* Å apart"):
        demo.check_ca_spacing(protein)


@pytest.mark.parametrize("coords, expected", [
    ([[0.0, 0.0, 0.0], [3.8, 0.0, 0.0]], 1.9),
    ([[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [7.6, 0.0, 0.0]], 3.8 * math.sqrt(2 / 3)),
    ([[1.0, 2.0, 3.0]], 0.0),
], ids=["pair", "rod of three", "single residue"])
def test_radius_of_gyration_worked_examples(demo: ModuleType, coords: list[list[float]],
                                            expected: float) -> None:
    assert demo.radius_of_gyration("A" * len(coords), coords) == pytest.approx(expected)


# The costs the demo hands to the module, recomputed in Python on the same enumerated walks:
# the module's minimum, mean and maximum must be those of the independent evaluation.
@pytest.mark.parametrize("cost_name", ["mj", "hp", "lua", "python"])
def test_costs_agree_with_an_independent_evaluation(demo: ModuleType, cost_name: str) -> None:
    seq = "LWAYKV"  # W and Y are hydrophobic on some scales, not on Kyte-Doolittle's
    gt = [[[3.8 * i, 0.0, 0.0] for i in range(len(seq))]]
    walks = np.array(vexa_stats.sample_solutions(len(seq), method="enumerate", lattice="cubic"))
    assert len(walks) == 3534  # OEIS A001412: self-avoiding walks of 5 steps, cubic lattice
    mj = demo.load_contact_energies(demo.MJ_TABLE)

    def compactness(coords: np.ndarray) -> float:
        i, j = np.triu_indices(len(coords), k=2)
        return float(-(1.0 / np.linalg.norm(coords[i] - coords[j], axis=1)).sum())

    def hh_contacts(coords: np.ndarray) -> float:
        i, j = np.triu_indices(len(coords), k=demo.KMIN)
        hydrophobic = np.array([KYTE_DOOLITTLE[a] > 0 for a in seq])
        close = np.linalg.norm(coords[i] - coords[j], axis=1) <= 7.8
        return -float(np.count_nonzero(close & hydrophobic[i] & hydrophobic[j]))

    cost, independent = {
        "mj": (mj, demo.ContactEnergy(mj, seq, kmin=demo.KMIN)),
        "hp": (demo.hp_table(), hh_contacts),
        "lua": (demo.LUA_COMPACTNESS, compactness),
        "python": (demo.radius_of_gyration,
                   lambda c: demo.radius_of_gyration(seq, c.tolist())),
    }[cost_name]
    expected = np.array([independent(w) for w in walks])
    _, (low, mean, high), _, _ = vexa_stats.stats(seq, gt, cost, method="enumerate",
                                                  lattice="cubic", kmin=demo.KMIN)
    assert (low, high) == pytest.approx((expected.min(), expected.max()), rel=1e-12)
    assert mean == pytest.approx(expected.mean(), rel=1e-9)


# One quick run of the whole demo, as a user starts it.
@pytest.fixture(scope="module")
def quick_run(tmp_path_factory: pytest.TempPathFactory) -> tuple[subprocess.CompletedProcess[str],
                                                                 Path]:
    if not UBIQUITIN.exists():
        pytest.skip("1D3Z comes with the Debian package freesasa")
    picture = tmp_path_factory.mktemp("demo") / "picture.png"
    result = subprocess.run([sys.executable, str(DEMO), "--quick", "--output", str(picture)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    return result, picture


def test_quick_run_writes_a_valid_png(quick_run: tuple[subprocess.CompletedProcess[str],
                                                       Path]) -> None:
    result, picture = quick_run
    data = picture.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    # The first chunk is IHDR (13 bytes) with a correct CRC; the last is IEND.
    assert data[8:16] == b"\x00\x00\x00\x0dIHDR"
    assert int.from_bytes(data[29:33], "big") == zlib.crc32(data[12:29])
    width, height = int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big")
    assert width >= 800 and height >= 600
    assert data[-12:] == b"\x00\x00\x00\x00IEND\xaeB`\x82"
    import matplotlib.image
    assert matplotlib.image.imread(picture).shape[:2] == (height, width)
    assert f"Picture: {picture.resolve()}" in result.stdout


STATS_ROW = re.compile(r"^(tetrahedral|fcc|bcc|cubic)\s+(\S.*?\S)\s+(-?\d+\.\d+|nan)\s+"
                       + r"\s+".join([r"(-?\d+\.\d+)"] * 8) + r"\s+\d+\.\ds$", re.M)
FRAGMENT_ROW = re.compile(r"^(tetrahedral|fcc|bcc|cubic)\s+(\d+)\s+(\d+\.\d+)\s+(\d+\.\d+)\s+"
                          r"\d+\.\ds$", re.M)


def test_quick_run_prints_every_lattice_and_cost(
        quick_run: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    result, _ = quick_run
    rows = STATS_ROW.findall(result.stdout)
    assert [(r[0], r[1]) for r in rows] == [
        (lattice, cost) for lattice in LATTICES for cost in (
            "Miyazawa-Jernigan 1996", "HP model", "Lua compactness", "Python gyration radius")]
    for row in rows:
        rho = float(row[2])
        cost_min, cost_mean, cost_max, rmsd_min, rmsd_mean, rmsd_max, cheapest, dearest = map(
            float, row[3:])
        assert math.isnan(rho) or -1.0 <= rho <= 1.0
        assert cost_min <= cost_mean <= cost_max, row
        assert 0.0 < rmsd_min <= rmsd_mean <= rmsd_max, row
        assert rmsd_min <= cheapest <= rmsd_max and rmsd_min <= dearest <= rmsd_max, row


def test_quick_run_searches_a_fragment_on_every_lattice(
        quick_run: tuple[subprocess.CompletedProcess[str], Path]) -> None:
    result, _ = quick_run
    rows = FRAGMENT_ROW.findall(result.stdout)
    assert [r[0] for r in rows] == list(LATTICES)
    for lattice, residues, least, mj_optimum in rows:
        assert int(residues) == 4
        # The exhaustive least RMSD bounds every walk, the MJ optimum among them.
        assert 0.0 <= float(least) <= float(mj_optimum), lattice
