#!/usr/bin/env python3
"""Contact-energy evaluations per second: vexa's sum against numpy's on the same structures.

The two sides are two processes: vexa's figures are timed inside cost_bench (`cost_bench time`,
run as a subprocess), one per vector path this processor runs (the last is the one chosen at run
time; sse2 is what every x86-64 build runs), numpy's inside this script, on the structures and
pair energies that `cost_bench export` wrote. The two alternate round by round, the one going
first alternating too; the figures are medians of the rounds. numpy's evaluation is the plain
array one: the condensed distance matrix (scipy.spatial.distance.pdist, whose pair order is the
cost's pair order for kmin 1), a mask, a sum.

    python3 bench/cost_vs_numpy.py BUILD/bench/cost_bench [--rounds 9]
"""

import argparse
import os
import statistics
import subprocess
import tempfile
import time

import numpy as np
from scipy.spatial.distance import pdist


def read_export(path):
    """(structures as a (count, n, 3) array, pair energies, kmin, dmax) from cost_bench export."""
    raw = open(path, "rb").read()
    n, count, kmin = np.frombuffer(raw, dtype=np.uint64, count=3)
    dmax = float(np.frombuffer(raw, dtype=np.float64, count=1, offset=24)[0])
    n, count, kmin = int(n), int(count), int(kmin)
    points = np.frombuffer(raw, dtype=np.float64, count=count * n * 3, offset=32)
    energies = np.frombuffer(raw, dtype=np.float64, offset=32 + points.nbytes)
    # Writable copies, as numpy code would hold them (pdist copies read-only input).
    return points.reshape(count, n, 3).copy(), energies.copy(), kmin, dmax


def numpy_cost(structure, energies, dmax):
    return energies[pdist(structure) <= dmax].sum()


def time_numpy(structures, energies, dmax, repeats):
    """Seconds per evaluation, and the sum of one pass over the structures."""
    checksum = sum(numpy_cost(s, energies, dmax) for s in structures)  # also warms up
    start = time.perf_counter()
    for _ in range(repeats):
        for s in structures:
            numpy_cost(s, energies, dmax)
    return (time.perf_counter() - start) / (repeats * len(structures)), checksum


def time_vexa(bench, file, repeats):
    """{path name: (seconds per evaluation, sum of one pass)}, in cost_bench's order."""
    lines = subprocess.run([bench, "time", file, str(repeats)], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    return {name: (float(t), float(total)) for name, t, total in (l.split() for l in lines)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench", help="path to the cost_bench executable")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--sizes", type=int, nargs="+", default=[50, 100, 300])
    args = parser.parse_args()

    print("contact-energy evaluations per second; vexa timed in cost_bench, numpy in this "
          "process (two processes), alternating rounds, medians of", args.rounds)
    with tempfile.TemporaryDirectory() as folder:
        for n in args.sizes:
            file = os.path.join(folder, f"structures_{n}.bin")
            subprocess.run([args.bench, "export", str(n), file], check=True)
            structures, energies, kmin, dmax = read_export(file)
            if kmin != 1:
                raise SystemExit(f"pdist pairs are the pairs of kmin 1, not {kmin}")
            # Some tens of milliseconds per side and path per round on this machine's figures.
            vexa_repeats = max(1, 2_000_000 // (n * n))
            numpy_repeats = max(1, 400_000 // (n * n))
            vexa_times, numpy_times = {}, []
            for r in range(args.rounds):
                sides = ["vexa", "numpy"] if r % 2 == 0 else ["numpy", "vexa"]
                for side in sides:
                    if side == "vexa":
                        vexa = time_vexa(args.bench, file, vexa_repeats)
                        for name, (t, _) in vexa.items():
                            vexa_times.setdefault(name, []).append(t)
                    else:
                        t, numpy_sum = time_numpy(structures, energies, dmax, numpy_repeats)
                        numpy_times.append(t)
            # numpy adds in another order, so the sums agree only to rounding.
            for name, (_, vexa_sum) in vexa.items():
                if not np.isclose(vexa_sum, numpy_sum, rtol=1e-9, atol=1e-9):
                    raise SystemExit(f"n = {n}: {name} sum {vexa_sum!r}, numpy sum {numpy_sum!r}")
            p = statistics.median(numpy_times)
            print(f"n = {n}: numpy {1 / p:.0f} eval/s")
            for name, times in vexa_times.items():
                v = statistics.median(times)
                print(f"n = {n}: vexa {name:<6} {1 / v:>9.0f} eval/s  {p / v:6.2f} x numpy")


if __name__ == "__main__":
    main()
