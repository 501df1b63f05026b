"""Exhaustive minimisation: walks per second and peak resident memory, side by side.

Three designs are measured, each run in a fresh process so that its peak resident size is its
own, repeated and interleaved, medians reported:

  module  vexa_stats.minimize_cost / minimize_rmsd as Python callers use them;
  fast    the same engine driven from C++ (bench executable minimize_bench);
  plain   the design as first written (every walk from the enumerator kept with its structure
          and value in a list, then a scan), in the same C++ executable.

Costs: a 20-letter contact-energy table, and the RMSD to one and to five helical models; cubic
lattice. Rates are given per second of wall time and per second of the process's own CPU time
(user + system), which is what one core delivers when the machine is shared. Memory is the peak
resident size of the process; for the module also its growth over the interpreter with the
module imported and the arguments built.

    python bench/minimize_bench.py [--build-dir DIR] [--repeats 3] [--lengths 10,11,12]
                                   [--plain-lengths 10,11]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Self-avoiding walks of n points on the cubic lattice (OEIS A001412).
CUBIC_WALKS = {8: 81390, 9: 387966, 10: 1853886, 11: 8809878, 12: 41934150, 13: 198842742}

# Peak resident size of this process image: VmHWM starts afresh at exec, unlike ru_maxrss,
# which keeps the high-water mark of the forked parent.
HWM = """
def hwm_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
"""

MODULE_SCRIPT = HWM + r"""
import math, random, sys, time
import vexa_stats
cost, n = sys.argv[1], int(sys.argv[2])
letters = "ACDEFGHIKLMNPQRSTVWY"
rng = random.Random(2024)
if cost == "contact":
    table = {a: {b: rng.uniform(-7.0, 1.5) for b in letters} for a in letters}
    seq = "".join(letters[(i * 7 + 3) % 20] for i in range(n))
    call = lambda: vexa_stats.minimize_cost(seq, table, lattice="cubic")
else:
    models = [[[2.3 * math.cos(1.745 * i) + rng.gauss(0, 0.8),
                2.3 * math.sin(1.745 * i) + rng.gauss(0, 0.8),
                1.5 * i + rng.gauss(0, 0.8)] for i in range(n)]
              for _ in range(5 if cost == "rmsd5" else 1)]
    call = lambda: vexa_stats.minimize_rmsd(models, lattice="cubic")
idle = hwm_kib()
cpu0 = time.process_time()
t0 = time.perf_counter()
call()
wall = time.perf_counter() - t0
cpu = time.process_time() - cpu0
peak = hwm_kib()
print(wall, cpu, idle, peak)
"""


def run(command):
    """Runs one process; returns its stdout and its CPU seconds (user + system)."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    out = process.stdout.read()
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"failed: {' '.join(command)}")
    return out, usage.ru_utime + usage.ru_stime


def measure_cpp(executable, design, cost, n):
    out, cpu = run([executable, design, cost, "cubic", str(n)])
    fields = dict(item.split("=", 1) for item in out.split() if "=" in item)
    return {"walks": int(fields["walks"]), "wall": float(fields["seconds"]), "cpu": cpu,
            "peak": int(fields["peak_rss_kib"]), "grown": None, "digest": fields["digest"]}


def measure_module(cost, n):
    out, _ = run([sys.executable, "-c", MODULE_SCRIPT, cost, str(n)])
    wall, cpu, idle, peak = out.split()
    return {"walks": CUBIC_WALKS[n], "wall": float(wall), "cpu": float(cpu), "peak": int(peak),
            "grown": int(peak) - int(idle), "digest": None}


def module_ready():
    probe = ("import vexa_stats\n"
             "try:\n"
             "    vexa_stats.minimize_rmsd([[[0.0, 0.0, 0.0]]], lattice='cubic')\n"
             "except BaseException as e:\n"
             "    raise SystemExit(str(e))\n")
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True)
    return result.returncode == 0, (result.stderr.strip().splitlines() or [""])[-1]


def build(build_dir):
    executable = os.path.join(build_dir, "bench", "minimize_bench")
    if not os.path.exists(executable):
        subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DVEXA_BUILD_BENCH=ON",
                        "-DVEXA_BUILD_TESTS=OFF", "-DVEXA_BUILD_MODULE=OFF"], check=True,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build_dir, "-j2", "--target", "minimize_bench"],
                       check=True, stdout=subprocess.DEVNULL)
    return executable


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--lengths", default="10,11,12")
    parser.add_argument("--plain-lengths", default="10,11")
    args = parser.parse_args()
    lengths = [int(n) for n in args.lengths.split(",")]
    plain_lengths = {int(n) for n in args.plain_lengths.split(",") if n}
    executable = build(args.build_dir)
    ready, why = module_ready()
    if not ready:
        print(f"module: skipped ({why})")

    cases = [(cost, n) for cost in ("contact", "rmsd1", "rmsd5") for n in lengths]
    results = {}
    started = time.perf_counter()
    for repeat in range(args.repeats):
        for cost, n in cases:
            runs = [("fast", lambda: measure_cpp(executable, "fast", cost, n))]
            if ready:
                runs.append(("module", lambda: measure_module(cost, n)))
            if n in plain_lengths:
                runs.append(("plain", lambda: measure_cpp(executable, "plain", cost, n)))
            for design, measure in runs:
                results.setdefault((cost, n, design), []).append(measure())
        print(f"repeat {repeat + 1}/{args.repeats} done after "
              f"{time.perf_counter() - started:.0f} s", file=sys.stderr)

    idle_out, _ = run([sys.executable, "-c", HWM + "import vexa_stats\nprint(hwm_kib())"])
    print(f"idle interpreter with vexa_stats imported: peak {int(idle_out) / 1024:.1f} MiB")
    print(f"medians of {args.repeats} interleaved runs; rates in million walks per second")
    header = (f"{'cost':8}{'n':>3}{'walks':>11}  {'design':7}{'wall':>8}{'cpu':>8}"
              f"{'peak MiB':>10}{'grown MiB':>11}{'x plain (cpu)':>15}")
    print(header)
    for cost, n in cases:
        plain = results.get((cost, n, "plain"))
        plain_cpu_rate = None
        if plain:
            plain_cpu_rate = plain[0]["walks"] / statistics.median(r["cpu"] for r in plain)
        for design in ("module", "fast", "plain"):
            rows = results.get((cost, n, design))
            if not rows:
                continue
            walks = rows[0]["walks"]
            wall = walks / statistics.median(r["wall"] for r in rows) / 1e6
            cpu = walks / statistics.median(r["cpu"] for r in rows) / 1e6
            peak = statistics.median(r["peak"] for r in rows) / 1024
            grown = ("" if rows[0]["grown"] is None
                     else f"{statistics.median(r['grown'] for r in rows) / 1024:.2f}")
            ratio = "" if plain_cpu_rate is None else f"{cpu * 1e6 / plain_cpu_rate:.1f}"
            print(f"{cost:8}{n:>3}{walks:>11}  {design:7}{wall:>8.2f}{cpu:>8.2f}{peak:>10.1f}"
                  f"{grown:>11}{ratio:>15}")
        fast = results.get((cost, n, "fast"))
        if plain and fast:
            digests = {r["digest"] for r in plain + fast}
            print(f"{'':24}fast and plain return "
                  f"{'the same walk' if len(digests) == 1 else 'DIFFERENT walks'}")


if __name__ == "__main__":
    main()
