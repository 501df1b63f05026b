"""Several Python threads in the module at once. The interpreter lock is handed over inside
Python costs (the switch interval is made tiny), so calls interleave mid-sampling: each thread
must still get its own correct results, and the progress displays of all of them must close with
intact final lines, leaving no display behind."""

import collections
import re
import sys
import threading
import time

import numpy as np
import pytest

import vexa_stats

THREADS = 4
GT4 = [[[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0], [0.0, 3.8, 0.0]]]
LUA = ("f", "function f(seq, c) return c[#c][1] + 2 * c[#c][2] + 4 * c[#c][3] end")
TABLE = {a: {b: float(ord(a) - ord(b)) for b in "ACDE"} for a in "ACDE"}
ENUMERATE = dict(method="enumerate", lattice="cubic")


def far_end(seq, coordinates):
    x, y, z = coordinates[-1]
    return x + 2 * y + 4 * z


def reentrant(seq, coordinates):
    """far_end, after asking the module for the structure's RMSD to itself. It lets the other
    threads run first, so their calls start while this one is in the middle of its sample."""
    time.sleep(0)
    assert vexa_stats.rmsd(coordinates, [coordinates]) < 1e-9
    return far_end(seq, coordinates)


@pytest.fixture(autouse=True)
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def in_threads(work, count=THREADS):
    """Runs work(i) on `count` threads started together; returns their results in order."""
    results = [None] * count
    failures = []
    start = threading.Barrier(count)

    def target(i):
        start.wait()
        try:
            results[i] = work(i)
        except BaseException as error:  # PanicException included
            failures.append((i, error))

    threads = [threading.Thread(target=target, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    assert not failures, failures
    return results


DETERMINISTIC = [
    ("python-reentrant", lambda pbar: vexa_stats.stats("ACDE", GT4, reentrant, pbar=pbar,
                                                       **ENUMERATE)),
    ("lua", lambda pbar: vexa_stats.stats("ACDE", GT4, LUA, pbar=pbar, **ENUMERATE)),
    ("table", lambda pbar: vexa_stats.correlation("ACDE", GT4, TABLE, pbar=pbar, **ENUMERATE)),
    ("walks", lambda pbar: vexa_stats.sample_solutions(4, pbar=pbar, **ENUMERATE)),
    ("rmsd", lambda pbar: vexa_stats.rmsd(GT4[0][::-1], GT4 * 3)),
]


@pytest.mark.parametrize("pbar", [False, True], ids=["quiet", "pbar"])
def test_each_thread_gets_the_single_threaded_results(pbar):
    reference = [call(False) for _, call in DETERMINISTIC]

    events = []  # +1 when a call starts, -1 when it returns, in the order they happen

    def call(k):
        events.append(1)
        try:
            return DETERMINISTIC[k][1](pbar)
        finally:
            events.append(-1)

    def work(i):
        # Each thread runs the calls in its own rotation, so different calls overlap.
        order = [(k + i) % len(DETERMINISTIC) for k in range(len(DETERMINISTIC))]
        return {k: call(k) for k in order for _ in range(2)}

    for results in in_threads(work):
        for k, (name, _) in enumerate(DETERMINISTIC):
            assert results[k] == reference[k], name
    # The calls did run side by side: at some moment several were inside the module.
    open_calls = [sum(events[: j + 1]) for j in range(len(events))]
    assert max(open_calls) >= 2, open_calls


def check_walks(walks, n, arc_length):
    for walk in walks:
        points = np.array(walk)
        assert points.shape == (n, 3)
        assert not points[0].any()
        steps = np.linalg.norm(np.diff(points, axis=0), axis=1)
        np.testing.assert_allclose(steps, arc_length, rtol=1e-12)
        assert len({tuple(np.round(p, 6)) for p in points}) == n, "the walk meets itself"


def test_random_samples_stay_with_their_thread():
    """Each thread's statistics are those of the costs its own cost function computed."""

    def work(i):
        n = 5 + i
        seq = "ACDE"[: min(4, n)] + "A" * (n - 4)
        seen = []

        def recording(seq, coordinates):
            value = reentrant(seq, coordinates)
            seen.append((value, coordinates))
            return value

        gt = [vexa_stats.sample_solutions(n, 1, "dimerize", lattice="fcc")[0]]
        method = "pivot" if i % 2 else "dimerize"
        summary = vexa_stats.stats(seq, gt, recording, 60 + i, method, 5, 2, "fcc", pbar=i == 1)
        walks = vexa_stats.sample_solutions(n, 30, method, 5, 2, "bcc", 2.5)
        return n, summary, seen, walks

    for n, summary, seen, walks in in_threads(work):
        costs = [value for value, _ in seen]
        assert len(costs) == 60 + n - 5
        assert summary[1] == (min(costs), sum(costs) / len(costs), max(costs))
        check_walks([coordinates for _, coordinates in seen], n, 3.8)
        check_walks(walks, n, 2.5)


FINAL_TOTAL = re.compile(r"\r100%\|[^\r\n]*\| (\d+)/\1 \[[^\r\n\]]*it/s\](?:\x1b\[K)?\n")
FINAL_COUNT = re.compile(r"\r(\d+)it \[\d\d:\d\d, [0-9.?]+it/s\](?:\x1b\[K)?\n")
CURSOR_UP = re.compile(r"\x1b\[\d+A")


def test_every_display_closes_with_its_final_line(capfd):
    capfd.readouterr()

    def nested(seq, coordinates):
        # A display of its own, opened while the caller's is open.
        vexa_stats.sample_solutions(2, 3, "dimerize", pbar=True)
        return far_end(seq, coordinates)

    def work(i):
        vexa_stats.sample_solutions(4, pbar=True, **ENUMERATE)  # 150 walks
        vexa_stats.sample_solutions(3, 40 + i, "dimerize", pbar=True)
        vexa_stats.correlation("AC", [GT4[0][:2]], nested, 7, "pivot", 2,
                               pbar=True, lattice="cubic")
        return i

    in_threads(work)
    err = capfd.readouterr().err
    totals = collections.Counter(int(m) for m in FINAL_TOTAL.findall(err))
    counts = collections.Counter(int(m) for m in FINAL_COUNT.findall(err))
    assert counts == {150: THREADS}
    expected = collections.Counter({40 + i: 1 for i in range(THREADS)})
    expected[7] = THREADS  # the analyses
    expected[3] = THREADS * 7  # one nested display per structure
    assert totals == expected
    # Displays were open side by side at times: the redraws stacked them.
    assert CURSOR_UP.search(err)

    # None is left registered: a new display is drawn alone, on one line.
    vexa_stats.sample_solutions(3, 5, "dimerize", pbar=True)
    alone = capfd.readouterr().err
    assert not CURSOR_UP.search(alone), repr(alone)
    assert FINAL_TOTAL.findall(alone) == ["5"]
