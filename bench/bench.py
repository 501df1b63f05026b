"""vexa_stats side by side with the tools a researcher would otherwise use.

Every figure is the median of repeated runs taken in this one process, the contenders of a
workload interleaved round by round (A B C, C B A, ...) so that machine noise hits them alike.
Times are CPU time of the process by default: on a shared machine wall time mostly measures the
other users; bench/run limits BLAS to one thread so that CPU time is also the time one waits.
Figures of the C++ benches under bench/ come from their own processes and are parsed from their
"RESULT\t" lines: workload, size, vexa seconds, baseline name, baseline seconds ("-" when none).

Run through bench/run, which installs the peers and builds the C++ benches first.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib
import importlib.metadata
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
AMINO_ACIDS = "ACDEFGHIKLMNPQRSTVWY"
ARC_LENGTH = 3.8
DMAX = 7.8
KMIN = 1
NOT_AVAILABLE = "is not available yet !"


# ----------------------------------------------------------------------------------------------
# Results


@dataclass
class Row:
    workload: str
    size: str
    vexa: float | None  # seconds per call (median)
    peer: str
    peer_time: float | None
    notes: str = ""  # footnote numbers

    @property
    def ratio(self) -> float | None:
        if self.vexa is None or self.peer_time is None or self.vexa <= 0:
            return None
        return self.peer_time / self.vexa


@dataclass
class Target:
    text: str
    ratio: float | None
    needed: float  # the ratio peer/vexa_stats must be at least this

    @property
    def verdict(self) -> str:
        if self.ratio is None:
            return "not measured"
        return "met" if self.ratio >= self.needed else "missed"


@dataclass
class External:
    name: str
    command: str
    status: str
    output: str
    results: list[Row] = field(default_factory=list)


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    skipped: list[str] = field(default_factory=list)
    checks: list[str] = field(default_factory=list)
    targets: list[Target] = field(default_factory=list)
    split: list[tuple[str, float, str]] = field(default_factory=list)
    split_method: str = ""
    externals: list[External] = field(default_factory=list)

    def note(self, text: str) -> str:
        """Adds a footnote and returns its marker."""
        if text not in self.notes:
            self.notes.append(text)
        return str(self.notes.index(text) + 1)


# ----------------------------------------------------------------------------------------------
# Timing


@dataclass
class Settings:
    clock_name: str
    rounds: int
    min_seconds: float  # one timed run of a fast call loops until it lasts at least this long
    heavy_rounds: int  # rounds for the headline workload, whose runs last seconds


CLOCK: Callable[[], float] = time.process_time


def time_loop(fn: Callable[[], object], loops: int) -> float:
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = CLOCK()
        for _ in range(loops):
            fn()
        return (CLOCK() - start) / loops
    finally:
        if gc_was_enabled:
            gc.enable()


def calibrate(fn: Callable[[], object], min_seconds: float) -> int:
    once = time_loop(fn, 1)
    if once >= min_seconds:
        return 1
    per_call = time_loop(fn, max(1, int(0.2 * min_seconds / max(once, 1e-9))))
    return max(1, math.ceil(min_seconds / max(per_call, 1e-9)))


def interleaved(contenders: dict[str, Callable[[], object]], rounds: int,
                min_seconds: float) -> dict[str, float]:
    """Median seconds per call of each contender, measured round-robin in alternating order."""
    names = list(contenders)
    loops = {name: calibrate(contenders[name], min_seconds) for name in names}
    samples: dict[str, list[float]] = {name: [] for name in names}
    for round_index in range(rounds):
        order = names if round_index % 2 == 0 else names[::-1]
        for name in order:
            samples[name].append(time_loop(contenders[name], loops[name]))
    return {name: statistics.median(samples[name]) for name in names}


# ----------------------------------------------------------------------------------------------
# The module and its failures


class Unavailable(Exception):
    """The module cannot run this workload (yet); the reason is reported, nothing is timed."""


def load_module():
    try:
        return importlib.import_module("vexa_stats"), None
    except Exception as exc:  # an unbuilt entry point raises ImportError
        return None, f"vexa_stats cannot be imported ({type(exc).__name__}: {exc})"


def probe(what: str, fn: Callable[[], object]):
    """Runs one module call; turns 'not available' and other failures into Unavailable."""
    try:
        return fn()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # PanicException derives from BaseException
        message = str(exc)
        if NOT_AVAILABLE in message:
            raise Unavailable(f"{what}: not available yet in this build ({message})") from None
        raise Unavailable(f"{what}: failed with {type(exc).__name__}: {message}") from None


# ----------------------------------------------------------------------------------------------
# Data


def chain(rng: np.random.Generator, n: int) -> np.ndarray:
    """An off-lattice chain of n points, consecutive points ARC_LENGTH apart."""
    steps = rng.normal(size=(n, 3))
    steps *= ARC_LENGTH / np.linalg.norm(steps, axis=1, keepdims=True)
    steps[0] = 0.0
    return np.cumsum(steps, axis=0)


def off_lattice(rng: np.random.Generator, n: int, count: int) -> np.ndarray:
    """Stand-in structures for the peer side when the module cannot sample: (count, n, 3)."""
    return np.stack([chain(rng, n) for _ in range(count)])


def random_rotation(rng: np.random.Generator) -> np.ndarray:
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q *= np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    return q


def ensemble(rng: np.random.Generator, n: int, k: int) -> np.ndarray:
    """k models of one chain, each moved rigidly and perturbed, like an NMR ensemble: (k, n, 3)."""
    base = chain(rng, n)
    models = [base @ random_rotation(rng).T + rng.normal(scale=5.0, size=3)
              + rng.normal(scale=1.0, size=(n, 3)) for _ in range(k)]
    return np.ascontiguousarray(np.stack(models))


def contact_table(rng: np.random.Generator) -> dict[str, dict[str, float]]:
    """A symmetric 20 x 20 contact-energy table on the usual one-letter codes."""
    energies = rng.uniform(-1.0, 0.5, size=(20, 20))
    energies = (energies + energies.T) / 2
    return {a: {b: float(energies[i, j]) for j, b in enumerate(AMINO_ACIDS)}
            for i, a in enumerate(AMINO_ACIDS)}


def pair_energies(table: dict[str, dict[str, float]], seq: str, kmin: int) -> np.ndarray:
    """Energy of each pair in scipy's pdist order (i < j, row-major); 0 below kmin."""
    n = len(seq)
    i, j = np.triu_indices(n, k=1)
    energies = np.array([table[seq[a]][seq[b]] for a, b in zip(i, j)])
    energies[(j - i) < kmin] = 0.0
    return energies


# ----------------------------------------------------------------------------------------------
# Peers (imported lazily so that a missing one is reported, not fatal)


def numpy_kabsch_rmsd(p: np.ndarray, q: np.ndarray) -> float:
    """Textbook Kabsch: centre, SVD of the covariance, proper rotation, RMSD after superposition."""
    pc = p - p.mean(axis=0)
    qc = q - q.mean(axis=0)
    u, _, vt = np.linalg.svd(pc.T @ qc)
    d = 1.0 if np.linalg.det(u) * np.linalg.det(vt) >= 0 else -1.0
    rotation = u @ np.diag([1.0, 1.0, d]) @ vt
    diff = pc - qc @ rotation.T
    return float(np.sqrt((diff * diff).sum() / len(p)))


def rmsd_peers(report: Report) -> dict[str, Callable[[np.ndarray, np.ndarray], float]]:
    """Each peer as f(structure, models) -> minimum RMSD over the models."""
    peers: dict[str, Callable[[np.ndarray, np.ndarray], float]] = {}
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from MDAnalysis.analysis import rms as mda_rms

        def mdanalysis(sol, models):
            return min(mda_rms.rmsd(m, sol, center=True, superposition=True) for m in models)

        peers["MDAnalysis rms.rmsd (QCP)"] = mdanalysis
    except ImportError as exc:
        report.skipped.append(f"MDAnalysis peer: not installed ({exc})")
    try:
        import rmsd as rmsd_package

        def kabsch_package(sol, models):
            sol_c = sol - sol.mean(axis=0)
            return min(rmsd_package.kabsch_rmsd(sol_c, m - m.mean(axis=0)) for m in models)

        peers["rmsd.kabsch_rmsd"] = kabsch_package
    except ImportError as exc:
        report.skipped.append(f"rmsd package peer: not installed ({exc})")
    try:
        from Bio.SVDSuperimposer import SVDSuperimposer

        def bio_svd(sol, models):
            sup = SVDSuperimposer()
            best = math.inf
            for m in models:
                sup.set(sol, m)
                sup.run()
                best = min(best, sup.get_rms())
            return best

        peers["Bio SVDSuperimposer"] = bio_svd
    except ImportError as exc:
        report.skipped.append(f"Biopython SVDSuperimposer peer: not installed ({exc})")
    try:
        from Bio.PDB.qcprot import QCPSuperimposer

        def bio_qcp(sol, models):
            sup = QCPSuperimposer()
            best = math.inf
            for m in models:
                sup.set(sol, m)
                sup.run()
                best = min(best, sup.get_rms())
            return best

        peers["Bio QCPSuperimposer"] = bio_qcp
    except ImportError as exc:
        report.skipped.append(f"Biopython QCPSuperimposer peer: not in this Biopython ({exc})")

    def numpy_kabsch(sol, models):
        return min(numpy_kabsch_rmsd(sol, m) for m in models)

    peers["numpy SVD Kabsch"] = numpy_kabsch
    return peers


def numpy_analysis_loop(structures: np.ndarray, models: np.ndarray, energies: np.ndarray):
    """The analysis as a researcher writes it: per structure pdist + mask + sum, a numpy Kabsch
    against each model, then spearmanr."""
    from scipy.spatial.distance import pdist
    from scipy.stats import spearmanr

    count = len(structures)
    costs = np.empty(count)
    rmsds = np.empty(count)
    for i in range(count):
        s = structures[i]
        costs[i] = energies[pdist(s) <= DMAX].sum()
        rmsds[i] = min(numpy_kabsch_rmsd(s, m) for m in models)
    return spearmanr(costs, rmsds).statistic, costs, rmsds


def numpy_analysis_batched(structures: np.ndarray, models: np.ndarray, energies: np.ndarray,
                           chunk: int = 1000):
    """The same analysis vectorised over all structures: distances from Gram matrices, one
    batched SVD (singular values only) of all covariance matrices, the RMSD from the singular
    values with the handedness from det(H), then spearmanr."""
    from scipy.stats import spearmanr

    count, n, _ = structures.shape
    i, j = np.triu_indices(n, k=1)
    pair_index = i * n + j  # pdist order
    centred_models = models - models.mean(axis=1, keepdims=True)
    model_norms = np.einsum("knc,knc->k", centred_models, centred_models)
    costs = np.empty(count)
    rmsds = np.empty(count)
    for start in range(0, count, chunk):
        block = structures[start:start + chunk]
        gram = block @ block.transpose(0, 2, 1)
        squares = np.einsum("bnc,bnc->bn", block, block)
        distance2 = squares[:, :, None] + squares[:, None, :] - 2.0 * gram
        contact = distance2.reshape(len(block), -1)[:, pair_index] <= DMAX * DMAX
        costs[start:start + chunk] = contact.astype(np.float64) @ energies
        centred = block - block.mean(axis=1, keepdims=True)
        norms = np.einsum("bnc,bnc->b", centred, centred)
        covariance = np.matmul(centred.transpose(0, 2, 1)[:, None], centred_models[None])
        s = np.linalg.svd(covariance, compute_uv=False)
        d = np.where(np.linalg.det(covariance) < 0, -1.0, 1.0)
        overlap = s[..., 0] + s[..., 1] + d * s[..., 2]
        squared = (norms[:, None] + model_norms[None, :] - 2.0 * overlap) / n
        rmsds[start:start + chunk] = np.sqrt(np.maximum(squared, 0.0)).min(axis=1)
    return spearmanr(costs, rmsds).statistic, costs, rmsds


# ----------------------------------------------------------------------------------------------
# Workloads


def bench_rmsd_numpy(vexa, report: Report, settings: Settings) -> None:
    peers = rmsd_peers(report)
    rng = np.random.default_rng(20240601)
    for n in (20, 100, 1000):
        for k in (1, 10):
            workload = f"rmsd, numpy (n,3) inputs, {k} model{'s' if k > 1 else ''}"
            size = f"n={n}"
            models = ensemble(rng, n, k)
            sol = np.ascontiguousarray(chain(rng, n))
            contenders: dict[str, Callable[[], object]] = {}
            marker = ""
            if vexa is not None:
                try:
                    value = probe("rmsd", lambda: vexa.rmsd(sol, models))
                    contenders["vexa_stats"] = lambda: vexa.rmsd(sol, models)
                    check_agreement(report, workload, size, value,
                                    {name: peer(sol, models) for name, peer in peers.items()})
                except Unavailable as exc:
                    marker = report.note(str(exc))
            for name, peer in peers.items():
                contenders[name] = (lambda peer=peer: peer(sol, models))
            times = interleaved(contenders, settings.rounds, settings.min_seconds)
            vexa_time = times.get("vexa_stats")
            for name in peers:
                report.rows.append(Row(workload, size, vexa_time, name, times[name], marker))
            if n == 100 and k == 10:
                ratios = [times[name] / vexa_time for name in peers] if vexa_time else []
                fastest = min(peers, key=lambda name: times[name])
                report.targets.append(Target(
                    f"rmsd with numpy inputs, n=100, 10 models: >= 10x faster than the fastest "
                    f"peer ({fastest})", min(ratios) if ratios else None, 10.0))


def bench_rmsd_lists(vexa, report: Report, settings: Settings) -> None:
    rng = np.random.default_rng(7)
    n = 100
    models = ensemble(rng, n, 1)
    sol_list = chain(rng, n).tolist()
    gt_list = models.tolist()
    workload = "rmsd, list inputs, 1 model"
    size = f"n={n}"
    peer = "numpy.asarray of the same lists alone"
    contenders: dict[str, Callable[[], object]] = {}
    if vexa is None:
        report.skipped.append(f"{workload}: the module cannot be imported")
        return
    try:
        probe("rmsd", lambda: vexa.rmsd(sol_list, gt_list))
        contenders["vexa_stats"] = lambda: vexa.rmsd(sol_list, gt_list)
    except Unavailable as exc:
        report.skipped.append(f"{workload}: {exc}")
        return
    marker = report.note("The list-input row compares the whole rmsd call with the cost of only "
                         "converting its two arguments with numpy.asarray (no RMSD computed).")
    contenders[peer] = lambda: (np.asarray(sol_list), np.asarray(gt_list))
    times = interleaved(contenders, settings.rounds, settings.min_seconds)
    row = Row(workload, size, times["vexa_stats"], peer, times[peer], marker)
    report.rows.append(row)
    report.targets.append(Target("rmsd with list inputs, n=100, 1 model: within 1.5x of "
                                 "numpy.asarray on the same lists (ratio >= 0.667)",
                                 row.ratio, 1 / 1.5))


def relative(path: Path) -> str:
    return str(path.relative_to(ROOT)) if path.is_relative_to(ROOT) else str(path)


def run_binary(path: Path, args: list[str], timeout: float) -> tuple[str, str]:
    try:
        done = subprocess.run([str(path), *args], capture_output=True, text=True,
                              timeout=timeout, check=False)
    except subprocess.TimeoutExpired as exc:
        out = exc.stdout.decode() if isinstance(exc.stdout, bytes) else (exc.stdout or "")
        return f"timed out after {timeout:.0f} s", out
    status = "ok" if done.returncode == 0 else f"exit code {done.returncode}"
    return status, done.stdout + (("\n" + done.stderr) if done.stderr.strip() else "")


RESULT_LINE = re.compile(r"^RESULT\t([^\t]+)\t([^\t]+)\t([^\t]+)\t([^\t]+)\t([^\t\n]+)$")


def parse_results(output: str) -> list[Row]:
    rows = []
    for line in output.splitlines():
        match = RESULT_LINE.match(line.rstrip("\r"))
        if not match:
            continue
        workload, size, vexa_s, peer, peer_s = match.groups()
        rows.append(Row(workload, size, to_seconds(vexa_s), peer if peer != "-" else "",
                        to_seconds(peer_s)))
    return rows


def to_seconds(text: str) -> float | None:
    try:
        value = float(text)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def bench_rank_correlation(report: Report, settings: Settings, bench_dir: Path | None) -> None:
    from scipy.stats import spearmanr

    rng = np.random.default_rng(11)
    count = 10_000
    # Costs of contact tables repeat (sums of few energies): ties are the common case.
    x = np.round(rng.normal(size=count) * 4) / 4
    y = x + rng.normal(scale=2.0, size=count)
    workload = "Spearman rank correlation"
    size = f"{count} pairs"
    peer = "scipy.stats.spearmanr"
    times = interleaved({peer: lambda: spearmanr(x, y)}, settings.rounds, settings.min_seconds)
    expected = spearmanr(x, y).statistic
    binary = bench_dir / "rank_correlation_bench" if bench_dir else None
    marker = report.note("The Spearman row's two sides come from two processes: vexa_stats's "
                         "rank_correlation timed in the C++ bench rank_correlation_bench, "
                         "spearmanr in this Python process, on the same 10,000 pairs.")
    if binary is None or not binary.exists():
        report.skipped.append(f"{workload}, vexa_stats side: rank_correlation_bench was not built")
        report.rows.append(Row(workload, size, None, peer, times[peer], marker))
        return
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "pairs.f64"
        np.concatenate([x, y]).astype("<f8").tofile(data)
        status, output = run_binary(binary, [str(data), str(settings.rounds)], 120)
    report.externals.append(External("rank_correlation_bench",
                                     f"{relative(binary)} PAIRS {settings.rounds}", status,
                                     output))
    parsed = [r for r in parse_results(output) if r.workload == "rank_correlation"]
    value = re.search(r"coefficient\s*=\s*(\S+)", output)
    if value:
        check_agreement(report, workload, size, float(value.group(1)), {peer: expected})
    vexa_time = parsed[0].vexa if parsed else None
    if vexa_time is None:
        report.skipped.append(f"{workload}, vexa_stats side: rank_correlation_bench: {status}")
    report.rows.append(Row(workload, size, vexa_time, peer, times[peer], marker))


@dataclass
class Instance:
    """The headline's protein: sequence, contact table and ground-truth models."""
    seq: str
    table: dict[str, dict[str, float]]
    models: np.ndarray  # (k, n, 3)


def headline_instance() -> Instance:
    rng = np.random.default_rng(42)
    n = 50
    seq = "".join(rng.choice(list(AMINO_ACIDS), size=n))
    return Instance(seq, contact_table(rng), ensemble(rng, n, 10))


def write_instance(instance: Instance, path: Path) -> None:
    """Plain text for correlation_split_bench: the sequence, the table's letters and rows, then
    the models' shape and coordinates."""
    letters = "".join(instance.table)
    lines = [instance.seq, letters]
    lines += [" ".join(repr(instance.table[a][b]) for b in letters) for a in letters]
    k, n, _ = instance.models.shape
    lines.append(f"{k} {n}")
    lines += [" ".join(repr(float(c)) for c in point) for point in instance.models.reshape(-1, 3)]
    path.write_text("\n".join(lines) + "\n")


def bench_headline(vexa, report: Report, settings: Settings, samples: int,
                   split_output: str | None) -> None:
    instance = headline_instance()
    rng = np.random.default_rng(43)
    seq, table, models = instance.seq, instance.table, instance.models
    n = len(seq)
    gt = models.tolist()
    energies = pair_energies(table, seq, KMIN)
    workload = "correlation, end to end"
    size = f"n={n}, 10 models, {samples} pivot samples"
    if vexa is None:
        report.skipped.append(f"{workload}: the module cannot be imported")
        bench_contact(report, settings, off_lattice(rng, n, 1000), energies, split_output)
        return
    try:
        structures_list = probe("sample_solutions",
                                lambda: vexa.sample_solutions(n, samples, lattice="tetrahedral"))
    except Unavailable as exc:
        report.skipped.append(f"{workload}: {exc}")
        bench_contact(report, settings, off_lattice(rng, n, 1000), energies, split_output)
        return
    structures = np.ascontiguousarray(np.asarray(structures_list, dtype=np.float64))
    del structures_list

    loop_value, loop_costs, loop_rmsds = numpy_analysis_loop(structures, models, energies)
    batch_value, batch_costs, batch_rmsds = numpy_analysis_batched(structures, models, energies)
    agree_cost = float(np.max(np.abs(loop_costs - batch_costs)))
    agree_rmsd = float(np.max(np.abs(loop_rmsds - batch_rmsds)))
    report.checks.append(f"{workload}: the loop and batched numpy analyses agree (max |cost "
                         f"diff| {agree_cost:.2g}, max |RMSD diff| {agree_rmsd:.2g}, "
                         f"coefficients {loop_value:.6f} / {batch_value:.6f}).")
    module_rmsd = np.array([vexa.rmsd(structures[i], models) for i in range(20)])
    report.checks.append(f"{workload}: vexa_stats.rmsd and the numpy Kabsch agree on 20 sampled "
                         f"structures (max |diff| "
                         f"{float(np.max(np.abs(module_rmsd - loop_rmsds[:20]))):.2g}).")

    loop_name = "numpy/scipy per structure"
    batch_name = "numpy/scipy batched"
    marker = report.note(
        f"Headline: vexa_stats.correlation samples its own {samples:,} pivot walks "
        "(thermalisation included) and scores them. The numpy/scipy sides only score "
        f"{samples:,} walks from sample_solutions(50, {samples}, lattice=\"tetrahedral\") "
        "already in an array; their sampling is not timed. Per structure: scipy pdist + mask + "
        "sum, a numpy SVD Kabsch against each of the 10 models, then spearmanr. Batched: "
        "distances from Gram matrices, one batched SVD of all covariance matrices (singular "
        "values only, handedness from det), then spearmanr.")
    contenders = {
        loop_name: lambda: numpy_analysis_loop(structures, models, energies),
        batch_name: lambda: numpy_analysis_batched(structures, models, energies),
    }
    try:
        probe("correlation", lambda: vexa.correlation(seq, gt, table, sample_size=10))
        contenders["vexa_stats"] = lambda: vexa.correlation(seq, gt, table, sample_size=samples,
                                                            lattice="tetrahedral")
    except Unavailable as exc:
        report.skipped.append(f"{workload}, vexa_stats side: {exc}")
    times = interleaved(contenders, settings.heavy_rounds, 0.0)
    vexa_time = times.get("vexa_stats")
    for name in (loop_name, batch_name):
        report.rows.append(Row(workload, size, vexa_time, name, times[name], marker))
    report.targets.append(Target("correlation end to end: >= 20x faster than the per-structure "
                                 "numpy/scipy analysis",
                                 times[loop_name] / vexa_time if vexa_time else None, 20.0))
    report.targets.append(Target("(same target against the batched numpy/scipy analysis)",
                                 times[batch_name] / vexa_time if vexa_time else None, 20.0))

    bench_contact(report, settings, structures, energies, split_output)
    if vexa_time:
        python_split(vexa, report, settings, samples, vexa_time, split_output)


def bench_contact(report: Report, settings: Settings, structures: np.ndarray,
                  energies: np.ndarray, split_output: str | None) -> None:
    from scipy.spatial.distance import pdist

    workload = "contact energy of one structure"
    size = "n=50"
    some = structures[:1000]

    def per_structure():
        for s in some:
            energies[pdist(s) <= DMAX].sum()

    times = interleaved({"pdist": per_structure}, settings.rounds, settings.min_seconds)
    peer_time = times["pdist"] / len(some)
    vexa_time = None
    if split_output:
        for row in parse_results(split_output):
            if row.workload == "contact_energy":
                vexa_time = row.vexa
    marker = report.note("Contact-energy row: the vexa_stats side is the module's contact "
                         "evaluation per structure timed in the C++ bench "
                         "correlation_split_bench (a separate process, its own pivot samples, "
                         "the headline's sequence and table); the peer side is scipy pdist + "
                         "mask + sum per structure in Python on the headline's walks "
                         "(off-lattice stand-ins when the module cannot sample).")
    if vexa_time is None:
        report.skipped.append(f"{workload}, vexa_stats side: correlation_split_bench gave no "
                              "contact_energy figure")
    report.rows.append(Row(workload, size, vexa_time, "scipy pdist + mask + sum", peer_time,
                           marker))


def python_split(vexa, report: Report, settings: Settings, samples: int, total: float,
                 split_output: str | None) -> None:
    if split_output:
        phases = {row.workload: row.vexa for row in parse_results(split_output)}
        names = [("split_sampling", "sampling (pivot chain incl. thermalisation, to coordinates)"),
                 ("split_rmsd", "RMSD (10 models per structure)"),
                 ("split_cost", "contact cost"),
                 ("split_statistics", "rank correlation")]
        if all(phases.get(key) is not None for key, _ in names):
            whole = sum(phases[key] for key, _ in names)
            for key, label in names:
                report.split.append((label, phases[key], f"{100 * phases[key] / whole:.1f} %"))
            report.split.append(("sum of the four phases (C++)", whole, "100 %"))
            report.split.append(("correlation end to end from Python (this run)", total,
                                 f"{100 * total / whole:.1f} % of the sum"))
            report.split_method = ("C++ bench correlation_split_bench: the module's own sampling, "
                                   "RMSD, contact-cost and rank-correlation functions timed phase "
                                   "by phase on the headline's sequence, table and 10 models, "
                                   "10,000 pivot samples, tetrahedral lattice, factors 100 and 10 "
                                   "(CPU time, medians).")
            return
    # Without the C++ bench only the sampling can be separated from Python.
    try:
        probe("sample_solutions", lambda: vexa.sample_solutions(50, 10, lattice="tetrahedral"))
    except Unavailable:
        return
    sampled = interleaved({"s": lambda: vexa.sample_solutions(
        50, samples, thermalization_factor=100, lattice="tetrahedral")},
        settings.heavy_rounds, 0.0)["s"]
    report.split.append(("sampling (sample_solutions, incl. building the Python lists)", sampled,
                         f"{100 * sampled / total:.1f} %"))
    rest = max(total - sampled, 0.0)
    report.split.append(("RMSD + cost + statistics + conversions (the rest)", rest,
                         f"{100 * rest / total:.1f} %"))
    report.split.append(("correlation end to end", total, "100 %"))
    report.split_method = ("Python approximation: sample_solutions with the same factors timed "
                           "alone, the rest by difference (an upper bound for sampling, since it "
                           "includes building the Python lists).")


def check_agreement(report: Report, workload: str, size: str, value: float,
                    peers: dict[str, float]) -> None:
    worst = max(abs(v - value) / max(abs(value), 1e-300) for v in peers.values())
    verdict = "agree" if worst < 1e-6 else "DISAGREE"
    report.checks.append(f"{workload}, {size}: vexa_stats and {len(peers)} peer(s) {verdict} "
                         f"(max relative difference {worst:.2g})")


# ----------------------------------------------------------------------------------------------
# The other benches under bench/


def run_cpp_benches(report: Report, bench_dir: Path | None, own: set[str]) -> None:
    """Runs every bench executable in the build folder except those this script drives itself
    and those driven by a script of their own."""
    if bench_dir is None or not bench_dir.is_dir():
        report.skipped.append("C++ benches: no build folder (configure with -DVEXA_BUILD_BENCH=ON)")
        return
    for path in sorted(bench_dir.iterdir()):
        if not (path.is_file() and os.access(path, os.X_OK)) or path.name in own:
            continue
        if path.suffix in (".so", ".a") or not path.name.endswith("_bench"):
            continue
        if (ROOT / "bench" / f"{path.name}.py").exists():
            continue  # driven by its own script, with the arguments it needs
        print(f"  running {path.name} ...", file=sys.stderr, flush=True)
        status, output = run_binary(path, [], 300)
        rows = parse_results(output)
        report.externals.append(External(path.name, relative(path), status, output, rows))


# Scripts that drive a C++ bench, with the arguments they need given the folder of the built
# benches; every other script in bench/ (this one aside) runs without arguments.
# minimize_bench.py enumerates 41.9 million walks per run at its default n = 12, and its
# keep-everything baseline needs minutes at n = 11: n <= 11 with the baseline at n = 10 keeps the
# whole of bench/run within minutes (run it alone for the larger sizes).
SCRIPT_DRIVES = {
    "cost_vs_numpy.py": ("cost_bench", lambda built: [str(built / "cost_bench")]),
    "minimize_bench.py": ("minimize_bench",
                          lambda built: ["--build-dir", str(built.parent), "--lengths", "10,11",
                                         "--plain-lengths", "10"]),
}


def run_python_benches(report: Report, bench_dir: Path | None) -> None:
    for script in sorted((ROOT / "bench").glob("*.py")):
        if script.name == Path(__file__).name:
            continue
        args: list[str] = []
        if script.name in SCRIPT_DRIVES:
            binary, make_args = SCRIPT_DRIVES[script.name]
            if bench_dir is None or not (bench_dir / binary).exists():
                report.skipped.append(f"{script.name}: {binary} was not built")
                continue
            args = make_args(bench_dir)
        print(f"  running {script.name} ...", file=sys.stderr, flush=True)
        try:
            done = subprocess.run([sys.executable, str(script), *args], capture_output=True,
                                  text=True, timeout=400, check=False, cwd=ROOT)
            status = "ok" if done.returncode == 0 else f"exit code {done.returncode}"
            output = done.stdout + (("\n" + done.stderr) if done.stderr.strip() else "")
        except subprocess.TimeoutExpired:
            status, output = "timed out after 400 s", ""
        shown = " ".join(["python", f"bench/{script.name}", *args]).replace(f"{ROOT}/", "")
        report.externals.append(External(script.name, shown, status, output,
                                         parse_results(output)))


# ----------------------------------------------------------------------------------------------
# Output


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "—"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(ratio: float | None) -> str:
    return "—" if ratio is None else f"{ratio:.3g}x"


def table_lines(rows: list[Row], markdown: bool) -> list[str]:
    header = ["workload", "size", "vexa_stats", "peer", "peer time", "peer / vexa_stats"]
    body = [[r.workload + (f" [{r.notes}]" if r.notes else ""), r.size, fmt_time(r.vexa),
             r.peer or "—", fmt_time(r.peer_time), fmt_ratio(r.ratio)] for r in rows]
    if markdown:
        lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        lines += ["| " + " | ".join(cells) + " |" for cells in body]
        return lines
    widths = [max(len(h), *(len(c[i]) for c in body)) if body else len(h)
              for i, h in enumerate(header)]

    def line(cells):
        return "  ".join(c.ljust(w) if i < 4 else c.rjust(w)
                         for i, (c, w) in enumerate(zip(cells, widths)))

    return [line(header), line(["-" * w for w in widths])] + [line(c) for c in body]


def environment() -> list[str]:
    cpu = platform.processor() or "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    lines = [f"- Processor: {cpu}",
             f"- Cores: {os.cpu_count()} (usable by this process: {usable})",
             f"- Python {platform.python_version()} on {platform.system()} {platform.release()}"]
    versions = []
    for dist in ("vexa_stats", "numpy", "scipy", "MDAnalysis", "rmsd", "biopython"):
        try:
            versions.append(f"{dist} {importlib.metadata.version(dist)}")
        except importlib.metadata.PackageNotFoundError:
            versions.append(f"{dist} (not installed)")
    lines.append("- Packages: " + ", ".join(versions))
    commit = subprocess.run(["git", "-C", str(ROOT), "describe", "--always", "--dirty"],
                            capture_output=True, text=True, check=False).stdout.strip()
    if commit:
        lines.append(f"- Source tree at run time: {commit}")
    try:
        from threadpoolctl import threadpool_info

        blas = [f"{i.get('internal_api')} {i.get('version')} ({i.get('architecture')}, "
                f"{i.get('num_threads')} thread(s))" for i in threadpool_info()
                if i.get("user_api") == "blas"]
        if blas:
            lines.append("- BLAS: " + "; ".join(sorted(set(blas))))
    except ImportError:
        pass
    cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True, check=False)
    if cxx.returncode == 0:
        lines.append(f"- C++ benches: {cxx.stdout.splitlines()[0]}, Release build")
    return lines


def render(report: Report, settings: Settings, markdown: bool, started: str) -> str:
    out: list[str] = []
    if markdown:
        out += ["# Benchmark results", "",
                "Generated by `bench/run`; do not edit by hand. Every time is the median of "
                f"{settings.rounds} runs ({settings.heavy_rounds} for the headline) measured in "
                "one run, the contenders interleaved round by round, as "
                f"{settings.clock_name} (BLAS limited to one thread, like the module). Ratios "
                "above 1 mean vexa_stats is faster.", "",
                f"Run started {started}.", ""]
        out += environment() + [""]
        out += ["## vexa_stats and its peers", ""]
    out += table_lines(report.rows, markdown)
    if report.notes:
        out += [""] + [f"{'- ' if markdown else ''}[{i + 1}] {text}"
                       for i, text in enumerate(report.notes)]
    if report.split:
        out += ["", "## Where the time of correlation goes" if markdown
                else "Where the time of correlation goes:", "", f"Method: {report.split_method}",
                ""]
        if markdown:
            out += ["| phase | time | share |", "|---|---|---|"]
            out += [f"| {label} | {fmt_time(t)} | {share} |" for label, t, share in report.split]
        else:
            out += [f"  {label:<62} {fmt_time(t):>10}  {share}" for label, t, share in report.split]
    if report.targets:
        out += ["", "## Targets" if markdown else "Targets:", ""]
        out += [f"- {t.text}: ratio {fmt_ratio(t.ratio)} — **{t.verdict}**" if markdown
                else f"  {t.verdict:<12} {t.text}: ratio {fmt_ratio(t.ratio)}"
                for t in report.targets]
    if report.checks:
        out += ["", "## Agreement checks" if markdown else "Agreement checks:", ""]
        out += [f"- {c}" for c in report.checks]
    if report.skipped:
        out += ["", "## Skipped" if markdown else "Skipped:", ""]
        out += [f"- {s}" for s in report.skipped]
    external_rows = [r for e in report.externals for r in e.results]
    if external_rows and markdown:
        out += ["", "## Figures from the C++ and Python benches under bench/", "",
                "Parsed from their `RESULT` lines; each from its own process and timed with the "
                "bench's own clock. \"peer\" is the bench's own baseline.", ""]
        out += table_lines(external_rows, True)
    for e in report.externals:
        if markdown:
            out += ["", f"### {e.name} ({e.status})", "", f"`{e.command}`", "", "```",
                    e.output.rstrip(), "```"]
        else:
            out += ["", f"== {e.name} ({e.status})", e.output.rstrip()]
    return "\n".join(out) + "\n"


# ----------------------------------------------------------------------------------------------


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="few rounds and short runs, for trying the harness")
    parser.add_argument("--rounds", type=int, help="rounds per workload (default 15, quick 3)")
    parser.add_argument("--samples", type=int, default=10_000,
                        help="pivot samples in the headline workload (default 10000)")
    parser.add_argument("--bench-dir", type=Path, default=ROOT / "build" / "bench" / "bench",
                        help="folder holding the built C++ benches")
    parser.add_argument("--results", type=Path, default=ROOT / "bench" / "RESULTS.md",
                        help="Markdown file to write (default bench/RESULTS.md)")
    parser.add_argument("--no-results", action="store_true", help="print only")
    parser.add_argument("--wall", action="store_true",
                        help="time the Python sides with the wall clock instead of the "
                             "process's CPU time (the C++ benches keep their own clocks)")
    args = parser.parse_args()

    global CLOCK
    CLOCK = time.perf_counter if args.wall else time.process_time

    # Many short runs: on a shared machine a median over many rounds shrugs off bursts of load
    # that a few long runs would absorb.
    settings = Settings(clock_name="wall-clock time" if args.wall else "CPU time of the process",
                        rounds=args.rounds or (3 if args.quick else 15),
                        min_seconds=0.01 if args.quick else 0.02,
                        heavy_rounds=args.rounds or (1 if args.quick else 5))
    started = datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z")
    report = Report()
    bench_dir = args.bench_dir if args.bench_dir.is_dir() else None

    vexa, why = load_module()
    if vexa is None:
        report.skipped.append(f"every vexa_stats side: {why}")

    own = {"rank_correlation_bench", "correlation_split_bench"}
    print("C++ and Python benches under bench/ ...", file=sys.stderr, flush=True)
    run_cpp_benches(report, bench_dir, own)
    split_output = None
    split_binary = bench_dir / "correlation_split_bench" if bench_dir else None
    if split_binary is not None and split_binary.exists():
        print("  running correlation_split_bench ...", file=sys.stderr, flush=True)
        with tempfile.TemporaryDirectory() as tmp:
            instance_file = Path(tmp) / "instance.txt"
            write_instance(headline_instance(), instance_file)
            status, split_output = run_binary(
                split_binary, [str(settings.heavy_rounds), str(instance_file)], 300)
        report.externals.append(External("correlation_split_bench",
                                         f"{relative(split_binary)} {settings.heavy_rounds} "
                                         "INSTANCE", status,
                                         split_output, parse_results(split_output)))
    run_python_benches(report, bench_dir)

    print("rmsd against its peers ...", file=sys.stderr, flush=True)
    bench_rmsd_numpy(vexa, report, settings)
    bench_rmsd_lists(vexa, report, settings)
    print("rank correlation ...", file=sys.stderr, flush=True)
    bench_rank_correlation(report, settings, bench_dir)
    print("correlation end to end (the headline) ...", file=sys.stderr, flush=True)
    bench_headline(vexa, report, settings, args.samples, split_output)

    print(render(report, settings, markdown=False, started=started))
    if not args.no_results:
        args.results.write_text(render(report, settings, markdown=True, started=started))
        shown = (args.results.relative_to(ROOT) if args.results.is_relative_to(ROOT)
                 else args.results)
        print(f"wrote {shown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
