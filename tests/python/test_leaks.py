"""Nothing outlives a call: each of the six functions runs many times on a success path or on one
kind of failure, and neither the interpreter's live blocks, nor the bytes in use in the C heap,
nor the process's resident memory may grow. The harness itself is checked first: it must see one
leaked object per call, one small native allocation per call, and a leaked mapping the size of a
small Lua state per call (LuaJIT maps its memory itself, outside the C heap)."""

import ctypes
import gc
import mmap
import os
import sys

import pytest

import vexa_stats

pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0 or bool(os.environ.get("VEXA_SANITIZED")),
    reason="needs pymalloc's block count and the C heap's own figures, not a sanitizer's",
)

WARMUP = 100
CALLS = 300
# A leak of one object per call adds CALLS blocks in every window. Caches and free lists that
# fill on first use (interned strings, type caches, the traceback module's line cache) settle
# within the warm-up or the first window, so the smaller of two windows' growths is compared.
BLOCK_BOUND = CALLS // 3
# Below CALLS native allocations of 64 bytes.
HEAP_BOUND = 8 << 10
# Below CALLS mappings of 16 KiB; freed heap memory that stays resident is reused first, so a
# small heap leak may not show here: the heap figure above covers it.
RSS_BOUND = 1 << 20

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                      ctypes.c_long]
libc.memset.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


libc.mallinfo2.restype = MallInfo2


def heap_bytes():
    """Bytes handed out by malloc and not freed, mapped chunks included (glibc)."""
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks(), heap_bytes(), resident_bytes()


def outcome(call):
    try:
        call()
    except BaseException as error:  # PanicException derives from BaseException
        return type(error).__name__, str(error)
    return None, None


def growth(call):
    """The smaller (blocks, heap bytes, resident bytes) gained over two windows of CALLS calls
    after WARMUP calls."""
    for _ in range(WARMUP):
        outcome(call)
    windows = []
    for _ in range(2):
        before = measure()
        for _ in range(CALLS):
            outcome(call)
        windows.append([after - first for after, first in zip(measure(), before)])
    return tuple(min(window[i] for window in windows) for i in range(3))


# --- The harness sees leaks ---------------------------------------------------------------------


def test_harness_sees_one_leaked_object_per_call():
    kept = []
    blocks, _, _ = growth(lambda: kept.append(object()))
    assert blocks >= CALLS > BLOCK_BOUND


def test_harness_sees_a_small_native_leak_per_call():
    _, heap, _ = growth(lambda: libc.malloc(64))
    assert heap >= CALLS * 64 > HEAP_BOUND


def test_harness_sees_a_leaked_mapping_per_call():
    def leak():
        size = 16 << 10
        block = libc.mmap(None, size, mmap.PROT_READ | mmap.PROT_WRITE,
                          mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
        libc.memset(block, 1, size)  # resident only once written

    _, _, rss = growth(leak)
    assert rss >= CALLS * (16 << 10) > RSS_BOUND


# --- The module ---------------------------------------------------------------------------------

P3 = [[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0]]
P4 = P3 + [[0.0, 3.8, 0.0]]
GT4 = [P4, [[0.0, 0.0, 0.0], [0.0, 3.8, 0.0], [0.0, 3.8, 3.8], [3.8, 3.8, 3.8]]]
LUA = ("f", "function f(seq, c) return c[#c][1] + #seq end")
TABLE = {a: {b: -1.0 for b in "ACDE"} for a in "ACDE"}


def spread(seq, coordinates):
    return coordinates[-1][0] + coordinates[-1][1] * 0.5


def raises(seq, coordinates):
    raise ValueError("cost failed")


def returns_none(seq, coordinates):
    return None


class BadFloat:
    def __float__(self):
        raise ValueError("no float")


OK = None
PANIC = "PanicException"
SMALL = dict(sample_size=40, thermalization_factor=5)

CASES = [
    # rmsd
    ("rmsd", lambda: vexa_stats.rmsd(P4, GT4), OK),
    ("rmsd-numpy", lambda: vexa_stats.rmsd(__import__("numpy").array(P4), GT4), OK),
    ("rmsd-too-many", lambda: vexa_stats.rmsd(P4, GT4, 1), "TypeError"),
    ("rmsd-unknown-keyword", lambda: vexa_stats.rmsd(sol=P4, gt=GT4, foo=1), "TypeError"),
    ("rmsd-missing", lambda: vexa_stats.rmsd(), "TypeError"),
    ("rmsd-str", lambda: vexa_stats.rmsd("abc", GT4), "TypeError"),
    ("rmsd-short-point", lambda: vexa_stats.rmsd([[0.0, 1.0]], GT4), "ValueError"),
    ("rmsd-deep-type-error", lambda: vexa_stats.rmsd(P4, [P4, P3[:2] + [[0, 0, "x"]]]),
     "TypeError"),
    ("rmsd-float-raises", lambda: vexa_stats.rmsd([[0, 0, BadFloat()]], GT4), "ValueError"),
    ("rmsd-empty-truth", lambda: vexa_stats.rmsd(P4, []), PANIC),
    ("rmsd-length-mismatch", lambda: vexa_stats.rmsd(P3, GT4), PANIC),
    ("rmsd-short-model", lambda: vexa_stats.rmsd(P4, [P4, P3]), PANIC),
    # sample_solutions
    ("sample-pivot", lambda: vexa_stats.sample_solutions(12, **SMALL), OK),
    ("sample-dimerize", lambda: vexa_stats.sample_solutions(60, 5, "dimerize", lattice="fcc"), OK),
    ("sample-enumerate", lambda: vexa_stats.sample_solutions(4, method="enumerate",
                                                             lattice="cubic"), OK),
    ("sample-pbar", lambda: vexa_stats.sample_solutions(6, 20, "dimerize", pbar=True), OK),
    ("sample-negative", lambda: vexa_stats.sample_solutions(-1), "OverflowError"),
    ("sample-float-len", lambda: vexa_stats.sample_solutions(3.0), "TypeError"),
    ("sample-pbar-int", lambda: vexa_stats.sample_solutions(3, pbar=1), "TypeError"),
    ("sample-surrogate", lambda: vexa_stats.sample_solutions(3, lattice="\ud800"),
     "UnicodeEncodeError"),
    ("sample-method", lambda: vexa_stats.sample_solutions(3, method="iterate"), PANIC),
    ("sample-lattice", lambda: vexa_stats.sample_solutions(3, lattice="FCC"), PANIC),
    ("sample-one-point-pivot", lambda: vexa_stats.sample_solutions(1, 3), PANIC),
    # correlation and stats
    ("correlation-python", lambda: vexa_stats.correlation("ACDE", GT4, spread, **SMALL), OK),
    ("correlation-lua", lambda: vexa_stats.correlation("ACDE", GT4, LUA, **SMALL), OK),
    ("correlation-table", lambda: vexa_stats.correlation("ACDE", GT4, TABLE, **SMALL), OK),
    ("stats-enumerate-pbar", lambda: vexa_stats.stats("ACDE", GT4, LUA, method="enumerate",
                                                      lattice="cubic", pbar=True), OK),
    ("correlation-missing", lambda: vexa_stats.correlation("ACDE", GT4), "TypeError"),
    ("correlation-seq-int", lambda: vexa_stats.correlation(5, GT4, spread), "TypeError"),
    ("correlation-unrecognised", lambda: vexa_stats.correlation("ACDE", GT4, [1, 2]), PANIC),
    ("correlation-lua-syntax", lambda: vexa_stats.correlation("ACDE", GT4, ("f", "function (")),
     PANIC),
    ("correlation-lua-runtime", lambda: vexa_stats.correlation("ACDE", GT4, ("f", "error('x')")),
     PANIC),
    ("correlation-lua-missing", lambda: vexa_stats.correlation("ACDE", GT4, ("g", LUA[1])), PANIC),
    ("correlation-lua-raises", lambda: vexa_stats.correlation(
        "ACDE", GT4, ("f", "function f() error({}) end"), **SMALL), PANIC),
    ("correlation-lua-nil", lambda: vexa_stats.correlation(
        "ACDE", GT4, ("f", "function f() end"), **SMALL), PANIC),
    ("correlation-lua-then-method", lambda: vexa_stats.correlation("ACDE", GT4, LUA,
                                                                   method="nope"), PANIC),
    ("correlation-lua-then-lattice", lambda: vexa_stats.correlation("ACDE", GT4, LUA,
                                                                    lattice="nope"), PANIC),
    ("correlation-python-raises", lambda: vexa_stats.correlation("ACDE", GT4, raises, **SMALL),
     PANIC),
    ("correlation-python-none", lambda: vexa_stats.correlation("ACDE", GT4, returns_none,
                                                               **SMALL), PANIC),
    ("correlation-table-letter", lambda: vexa_stats.correlation("ACDX", GT4, TABLE,
                                                                kmin=0), PANIC),
    ("correlation-table-pair", lambda: vexa_stats.correlation("ACDX", GT4, TABLE), PANIC),
    ("correlation-empty-truth", lambda: vexa_stats.correlation("ACDE", [], LUA), PANIC),
    ("correlation-length-mismatch", lambda: vexa_stats.correlation("ACD", GT4, LUA, pbar=True),
     PANIC),
    ("stats-empty-sample", lambda: vexa_stats.stats("ACDE", GT4, LUA, sample_size=0), PANIC),
    # minimize_cost and minimize_rmsd
    ("minimize-cost-lua", lambda: vexa_stats.minimize_cost("ACDE", LUA, lattice="cubic"), OK),
    ("minimize-cost-python", lambda: vexa_stats.minimize_cost("ACD", spread, pbar=True), OK),
    ("minimize-cost-table", lambda: vexa_stats.minimize_cost("ACDE", TABLE, lattice="cubic"), OK),
    ("minimize-cost-lattice", lambda: vexa_stats.minimize_cost("ACDE", LUA, lattice="x"), PANIC),
    ("minimize-cost-raises", lambda: vexa_stats.minimize_cost("ACD", raises), PANIC),
    ("minimize-cost-lua-raises", lambda: vexa_stats.minimize_cost(
        "ACD", ("f", "function f() error('no') end"), pbar=True), PANIC),
    ("minimize-cost-kmin", lambda: vexa_stats.minimize_cost("ACD", LUA, kmin=-1),
     "OverflowError"),
    ("minimize-rmsd", lambda: vexa_stats.minimize_rmsd(GT4, lattice="cubic"), OK),
    ("minimize-rmsd-empty", lambda: vexa_stats.minimize_rmsd([]), PANIC),
    ("minimize-rmsd-short-model", lambda: vexa_stats.minimize_rmsd([P4, P3]), PANIC),
    ("minimize-rmsd-lattice", lambda: vexa_stats.minimize_rmsd(GT4, "hex"), PANIC),
    ("minimize-rmsd-arc", lambda: vexa_stats.minimize_rmsd(GT4, arc_length="3.8"), "TypeError"),
]


@pytest.mark.parametrize("call, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_growth_over_many_calls(call, expected):
    kind, message = outcome(call)
    if kind == PANIC and message.endswith("is not available yet !"):
        pytest.skip(message)
    assert kind == expected, message  # the case takes the path it is named after
    blocks, heap, rss = growth(call)
    assert blocks <= BLOCK_BOUND, f"{blocks} blocks more after {CALLS} calls"
    assert heap <= HEAP_BOUND, f"{heap} heap bytes more after {CALLS} calls"
    assert rss <= RSS_BOUND, f"{rss} bytes more resident after {CALLS} calls"
