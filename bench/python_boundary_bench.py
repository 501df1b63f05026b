"""What crossing the Python boundary costs, side by side with plain Python and numpy.

1. sample_solutions: structures per second for n = 50 and 200 with each method, and the cost of
   turning the walks into Python lists. A pivot chain with both factors 0 makes no moves, so
   such a call is almost entirely the conversion of k structures of n points; it is compared
   with numpy's tolist() of a float64 array of the same shape (k, n, 3).
2. Cost kinds at n = 50: evaluations per second for a contact-energy table, a Lua function and
   a Python function, and the module's own overhead per Python evaluation (building the str and
   the coordinate lists, the call, the float conversion) against doing the same from Python:
   building those arguments from the structure and calling the same empty function.

Times are process CPU times, medians of interleaved rounds. Prints a table and RESULT lines.
"""

from __future__ import annotations

import statistics
import sys
import time

import numpy as np

import vexa_stats

ROUNDS = 9
clock = time.process_time


def median_time(function, repeat: int) -> float:
    start = clock()
    for _ in range(repeat):
        function()
    return (clock() - start) / repeat


def interleaved(contenders: dict[str, tuple[object, int]]) -> dict[str, float]:
    samples: dict[str, list[float]] = {name: [] for name in contenders}
    names = list(contenders)
    for round_index in range(ROUNDS):
        order = names if round_index % 2 == 0 else names[::-1]
        for name in order:
            function, repeat = contenders[name]
            samples[name].append(median_time(function, repeat))
    return {name: statistics.median(values) for name, values in samples.items()}


def result(workload: str, size: str, vexa: float, baseline: str, other: float | None) -> None:
    other_text = "-" if other is None else f"{other:.9g}"
    print(f"RESULT\t{workload}\t{size}\t{vexa:.9g}\t{baseline}\t{other_text}")


def sampling_rows() -> None:
    print("sample_solutions: structures per second, and conversion against numpy tolist()")
    print(f"{'method':<10} {'n':>4} {'structures/s':>14}")
    k = 2000
    for n in (50, 200):
        for method in ("pivot", "dimerize"):
            count = k if method == "pivot" else k // (10 if n == 200 else 2)
            seconds = interleaved(
                {method: (lambda: vexa_stats.sample_solutions(n, count, method=method), 1)}
            )[method]
            print(f"{method:<10} {n:>4} {count / seconds:>14,.0f}")
            result(f"sample_solutions {method}, per structure", f"n={n}", seconds / count, "-",
                   None)
        array = np.asarray(vexa_stats.sample_solutions(n, k, method="pivot"), dtype=np.float64)
        times = interleaved({
            "conversion": (lambda: vexa_stats.sample_solutions(
                n, k, method="pivot", thermalization_factor=0, autocorrelation_factor=0), 3),
            "tolist": (array.tolist, 3),
        })
        share = times["conversion"]
        print(f"  n={n}: k={k} structures without moves {share * 1e3:.2f} ms, "
              f"numpy tolist() {times['tolist'] * 1e3:.2f} ms, "
              f"ratio {share / times['tolist']:.2f} (target at most 1.5)")
        result("sample_solutions, structures to lists (no moves)", f"k={k} n={n}", share,
               "numpy ndarray.tolist()", times["tolist"])
    enumerate_n = 8
    seconds = interleaved({"enumerate": (
        lambda: vexa_stats.sample_solutions(enumerate_n, method="enumerate", lattice="cubic"),
        1)})["enumerate"]
    print(f"enumerate  cubic n={enumerate_n}: {81390 / seconds:,.0f} structures/s")


def cost_rows() -> None:
    n = 50
    letters = "ACDEFGHIKLMNPQRSTVWY"
    rng = np.random.default_rng(7)
    sequence = "".join(rng.choice(list(letters), size=n))
    table = {a: {b: float(rng.normal()) for b in letters} for a in letters}
    model = vexa_stats.sample_solutions(n, 1, lattice="cubic")[0]
    ground_truth = [model]
    samples = 2000

    def empty(sequence: str, coordinates: list[list[float]]) -> float:
        return 0.0

    lua = ("f", "function f(sequence, coordinates) return 0 end")

    def run(cost: object) -> None:
        vexa_stats.correlation(sequence, ground_truth, cost, sample_size=samples,
                               method="pivot", thermalization_factor=0,
                               autocorrelation_factor=0, lattice="cubic")

    structure = vexa_stats.sample_solutions(n, 1, lattice="cubic")[0]
    as_array = np.asarray(structure)

    def from_python() -> None:
        for _ in range(samples):
            empty(str(sequence), [[float(x), float(y), float(z)] for x, y, z in as_array.tolist()])

    times = interleaved({
        "contact": (lambda: run(table), 1),
        "lua": (lambda: run(lua), 1),
        "python": (lambda: run(empty), 1),
        "python by hand": (from_python, 1),
    })
    base = times["contact"]
    print(f"\ncosts at n = {n}: correlation over {samples} structures (no pivot moves)")
    for name in ("contact", "lua", "python"):
        per_eval = (times[name] - base) / samples
        print(f"{name:<8} {samples / times[name]:>12,.0f} structures/s"
              + ("" if name == "contact" else f"   {per_eval * 1e6:.2f} µs per evaluation "
                 "beyond the contact table"))
    overhead = (times["python"] - base) / samples
    by_hand = times["python by hand"] / samples
    print(f"module overhead per Python evaluation {overhead * 1e6:.2f} µs; the same arguments "
          f"built in Python and the call: {by_hand * 1e6:.2f} µs; ratio "
          f"{overhead / by_hand:.2f} (target at most 1.5)")
    result("Python cost, per evaluation beyond a contact table", f"n={n}", overhead,
           "Python: build str + lists, call", by_hand)
    result("Lua cost, per evaluation beyond a contact table", f"n={n}",
           (times["lua"] - base) / samples, "-", None)


def main() -> int:
    sampling_rows()
    cost_rows()
    return 0


if __name__ == "__main__":
    sys.exit(main())
