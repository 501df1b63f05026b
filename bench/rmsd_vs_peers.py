#!/usr/bin/env python3
"""Per-call time of vexa_stats.rmsd on numpy (n, 3) inputs beside MDAnalysis's QCP rms.rmsd.

Every contender runs in this one process, round-robin in alternating order; each figure is the
median of the rounds (process CPU time). `--before PATH` adds a second build of the module (its
.so file, loaded under the same name from its own path) so that a change is measured against
the build it replaces in the same run. Workloads follow bench.py's rmsd rows: an off-lattice
chain against an ensemble of k rigidly moved, perturbed copies, n = 20, 100, 1000, k = 1, 10.

    python3 bench/rmsd_vs_peers.py [--before OLD.so] [--rounds 9] [--min-seconds 0.05]
"""

import argparse
import gc
import importlib.machinery
import importlib.util
import math
import statistics
import time
import warnings

import numpy as np

ARC_LENGTH = 3.8
CLOCK = time.process_time


def load_extension(path):
    """The module built at `path`, kept out of sys.modules so the installed one stays too."""
    loader = importlib.machinery.ExtensionFileLoader("vexa_stats", path)
    found = importlib.util.spec_from_file_location("vexa_stats", path, loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def chain(rng, n):
    steps = rng.normal(size=(n, 3))
    steps *= ARC_LENGTH / np.linalg.norm(steps, axis=1, keepdims=True)
    steps[0] = 0.0
    return np.cumsum(steps, axis=0)


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q *= np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    return q


def ensemble(rng, n, k):
    base = chain(rng, n)
    models = [base @ random_rotation(rng).T + rng.normal(scale=5.0, size=3)
              + rng.normal(scale=1.0, size=(n, 3)) for _ in range(k)]
    return np.ascontiguousarray(np.stack(models))


def time_loop(fn, loops):
    gc.disable()
    try:
        start = CLOCK()
        for _ in range(loops):
            fn()
        return (CLOCK() - start) / loops
    finally:
        gc.enable()


def calibrate(fn, min_seconds):
    once = time_loop(fn, 1)
    per_call = time_loop(fn, max(1, int(0.2 * min_seconds / max(once, 1e-9))))
    return max(1, math.ceil(min_seconds / max(per_call, 1e-9)))


def interleaved(contenders, rounds, min_seconds):
    names = list(contenders)
    loops = {name: calibrate(contenders[name], min_seconds) for name in names}
    samples = {name: [] for name in names}
    for round_index in range(rounds):
        for name in (names if round_index % 2 == 0 else names[::-1]):
            samples[name].append(time_loop(contenders[name], loops[name]))
    return {name: statistics.median(samples[name]) for name in names}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="an earlier build of the module (.so) to time as well")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--min-seconds", type=float, default=0.05)
    args = parser.parse_args()

    import vexa_stats

    contenders = {"vexa_stats": vexa_stats}
    if args.before:
        contenders["before"] = load_extension(args.before)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from MDAnalysis.analysis import rms as mda_rms
    except ImportError:
        mda_rms = None
        print("MDAnalysis is not installed: no peer column")

    rng = np.random.default_rng(20240601)
    header = f"{'n':>5} {'k':>3} " + " ".join(f"{name + ' us':>14}" for name in contenders)
    if mda_rms is not None:
        header += f" {'MDAnalysis us':>14} {'ratio':>7}"
    if args.before:
        header += f" {'speed-up':>9}"
    print(header)
    for n in (20, 100, 1000):
        for k in (1, 10):
            models = ensemble(rng, n, k)
            sol = np.ascontiguousarray(chain(rng, n))
            calls = {name: (lambda m=module: m.rmsd(sol, models))
                     for name, module in contenders.items()}
            values = {name: call() for name, call in calls.items()}
            if mda_rms is not None:
                calls["MDAnalysis"] = lambda: min(
                    mda_rms.rmsd(m, sol, center=True, superposition=True) for m in models)
                values["MDAnalysis"] = calls["MDAnalysis"]()
            spread = max(values.values()) - min(values.values())
            if spread > 1e-9 * max(values.values()):
                print(f"  n={n} k={k}: values disagree: {values}")
            times = interleaved(calls, args.rounds, args.min_seconds)
            line = f"{n:>5} {k:>3} " + " ".join(f"{times[name] * 1e6:>14.2f}"
                                                 for name in contenders)
            if mda_rms is not None:
                ratio = times["MDAnalysis"] / times["vexa_stats"]
                line += f" {times['MDAnalysis'] * 1e6:>14.2f} {ratio:>6.1f}x"
            if args.before:
                line += f" {times['before'] / times['vexa_stats']:>8.2f}x"
            print(line, flush=True)


if __name__ == "__main__":
    main()
