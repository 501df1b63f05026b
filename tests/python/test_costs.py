"""Cost kinds seen from Python: how the cost argument is classified, contact energies against an
independent numpy computation, Lua costs and Python callables."""

import math

import numpy as np
import pytest

import vexa_stats


def _not_wired(function, *args, **kwargs):
    """True while the operation still answers that it is not available."""
    try:
        function(*args, **kwargs)
    except BaseException as error:  # PanicException derives from BaseException
        return type(error).__name__ == "PanicException" and str(error).endswith(
            "is not available yet !"
        )
    return False


def _zero(seq, coordinates):
    return 0.0


needs_minimize = pytest.mark.skipif(
    _not_wired(vexa_stats.minimize_cost, "A", _zero, lattice="cubic"),
    reason="minimize_cost is not wired yet",
)
needs_stats = pytest.mark.skipif(
    _not_wired(
        vexa_stats.stats, "A", [[[0.0, 0.0, 0.0]]], _zero, sample_size=1, method="enumerate",
        lattice="cubic",
    ),
    reason="stats is not wired yet",
)


def panic_message(function, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    assert not isinstance(info.value, Exception)
    return str(info.value)


STEPS = [(1, 0, 0), (-1, 0, 0), (0, 1, 0), (0, -1, 0), (0, 0, 1), (0, 0, -1)]


def cubic_walks(n, arc_length=3.8):
    """Every self-avoiding walk of n points on the cubic lattice from the origin, scaled."""
    walks = []

    def extend(walk, seen):
        if len(walk) == n:
            walks.append(np.array(walk, dtype=float) * arc_length)
            return
        x, y, z = walk[-1]
        for dx, dy, dz in STEPS:
            p = (x + dx, y + dy, z + dz)
            if p not in seen:
                seen.add(p)
                walk.append(p)
                extend(walk, seen)
                walk.pop()
                seen.remove(p)

    extend([(0, 0, 0)], {(0, 0, 0)})
    return walks


def contact_energy(points, seq, table, kmin=1, dmax=7.8):
    """Sum of E(seq[j], seq[k]) over pairs with k - j >= kmin and distance <= dmax."""
    n = len(points)
    d = points[:, None, :] - points[None, :, :]
    distance = np.sqrt((d[..., 0] ** 2 + d[..., 1] ** 2) + d[..., 2] ** 2)
    j, k = np.triu_indices(n, kmin) if kmin < n else (np.array([], int), np.array([], int))
    energies = np.array([table[seq[a]][seq[b]] for a, b in zip(j, k)], dtype=float)
    return float(np.sum(energies[dmax >= distance[j, k]]))


def summary(result):
    correlation, (min_cost, avg_cost, max_cost), _rmsd, _cost_rmsd = result
    return correlation, min_cost, avg_cost, max_cost


def test_cubic_walk_counts():
    # OEIS A001412: 6, 30, 150 self-avoiding walks of 1, 2, 3 steps on the cubic lattice.
    assert [len(cubic_walks(n)) for n in (2, 3, 4)] == [6, 30, 150]


# --- Classification ---------------------------------------------------------------------------


def named(seq, coordinates):
    return 0.0


class Scorer:
    def score(self, seq, coordinates):
        return 0.0

    def __call__(self, seq, coordinates):
        return 0.0


class CallableDict(dict):
    def __call__(self, seq, coordinates):
        return 0.0


class Text(str):
    pass


class Pair(tuple):
    pass


class Table(dict):
    pass


class Real(float):
    pass


class Index:
    def __index__(self):
        return 2


class Floaty:
    def __float__(self):
        return 0.5


class BadFloat:
    def __float__(self):
        raise ValueError("no float")

    def __repr__(self):
        return "BadFloat()"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no str")


LUA_ZERO = "function f() return 0 end"

CLASSIFICATION = [
    # (id, cost, expected message or None when the cost works)
    ("function", named, None),
    ("lambda", lambda seq, coordinates: 0.0, None),
    ("bound method", Scorer().score, None),
    ("callable instance", Scorer(), None),
    ("callable dict subclass", CallableDict({"AB": "not a table"}), None),
    ("builtin with the wrong arity", len, "Python function failed to run !: TypeError("),
    ("lua tuple", ("f", LUA_ZERO), None),
    ("tuple and str subclasses", Pair((Text("f"), Text(LUA_ZERO))), None),
    ("name and code swapped", (LUA_ZERO, "f"), "Lua code returned an error when run:\n"),
    ("lua code failing is not a table", ("f", "error('x')"),
     "Lua code returned an error when run:\nruntime error: src/cost:39:1: x"),
    ("three strings", ("f", "g", "h"), "Cannot recognize ('f', 'g', 'h') !"),
    ("one string", ("f",), "Cannot recognize ('f',) !"),
    ("non-string item", ("f", 1), "Cannot recognize ('f', 1) !"),
    ("list of two strings", ["f", LUA_ZERO], f"Cannot recognize ['f', '{LUA_ZERO}'] !"),
    ("int", 3, "Cannot recognize 3 !"),
    ("float", 2.5, "Cannot recognize 2.5 !"),
    ("None", None, "Cannot recognize None !"),
    ("str", "abc", "Cannot recognize abc !"),
    ("table", {"A": {"B": -1.0}}, None),
    ("table subclasses, int, bool and convertible energies",
     Table({"A": Table({"B": True, "A": 1}), "B": {"A": Index(), "B": Floaty()}}), None),
    ("float subclass energy", {"A": {"B": Real(1.5)}}, None),
    ("two-character outer key", {"AB": {"A": 1.0}}, "Cannot recognize {'AB': {'A': 1.0}} !"),
    ("two-character inner key", {"A": {"BB": 1.0}}, "Cannot recognize {'A': {'BB': 1.0}} !"),
    ("empty key", {"": {"B": 1.0}}, "Cannot recognize {'': {'B': 1.0}} !"),
    ("non-str key", {1: {"B": 1.0}}, "Cannot recognize {1: {'B': 1.0}} !"),
    ("string energy", {"A": {"B": "1.0"}}, "Cannot recognize {'A': {'B': '1.0'}} !"),
    ("row that is not a dict", {"A": [1.0]}, "Cannot recognize {'A': [1.0]} !"),
    ("energy whose __float__ raises", {"A": {"B": BadFloat()}},
     "Cannot recognize {'A': {'B': BadFloat()}} !"),
    ("empty table is a table", {}, "Contact energies for amino acid A could not be found !"),
    ("unprintable object", Unprintable(), "Cannot recognize <unprintable Unprintable object> !"),
]


@needs_minimize
@pytest.mark.parametrize("cost, expected", [c[1:] for c in CLASSIFICATION],
                         ids=[c[0] for c in CLASSIFICATION])
def test_classification(cost, expected):
    if expected is None:
        structure = vexa_stats.minimize_cost("AB", cost, lattice="cubic")
        assert len(structure) == 2 and structure[0] == [0.0, 0.0, 0.0]
    else:
        assert panic_message(vexa_stats.minimize_cost, "AB", cost, lattice="cubic").startswith(
            expected)
    # A failed probe leaves no Python error behind: the next call works normally.
    assert vexa_stats.minimize_cost("A", named, lattice="cubic") == [[0.0, 0.0, 0.0]]


@needs_minimize
def test_unrecognised_cost_is_reported_before_the_lattice_word():
    assert panic_message(vexa_stats.minimize_cost, "AB", None, lattice="square") == (
        "Cannot recognize None !")


# --- Contact energies -------------------------------------------------------------------------

# Dyadic energies: every sum is exact, whatever the order of the additions.
TABLE = {
    "A": {"A": -1.0, "C": 0.5, "D": -2.25, "E": 1.0},
    "C": {"A": 0.75, "C": -0.5, "D": 2.0, "E": -1.5},
    "D": {"A": -0.25, "C": 1.25, "D": 0.0, "E": 3.0},
    "E": {"A": 2.5, "C": -3.0, "D": -0.125, "E": 0.25},
}


@needs_stats
@pytest.mark.parametrize(
    "seq, kmin, dmax",
    [
        ("ACDE", 1, 7.8),
        ("EDCA", 1, 7.8),
        ("ACDAE", 2, 7.8),
        ("ACDE", 0, 7.8),
        ("ACDAE", 1, 7.6),  # second neighbours on a line are exactly 7.6 apart
        ("ACDAE", 1, math.nextafter(7.6, 0.0)),
        ("ACDAE", 3, 11.4),
        ("ACDAE", 1, 100.0),
    ],
    ids=["kmin1", "reversed", "kmin2", "kmin0", "dmax-exact", "dmax-below", "kmin3", "all"],
)
def test_contact_energies_on_every_walk(seq, kmin, dmax):
    walks = cubic_walks(len(seq))
    energies = [contact_energy(w, seq, TABLE, kmin, dmax) for w in walks]
    gt = [walks[0].tolist()]
    _, min_cost, avg_cost, max_cost = summary(vexa_stats.stats(
        seq, gt, TABLE, method="enumerate", lattice="cubic", kmin=kmin, dmax=dmax))
    assert (min_cost, max_cost) == (min(energies), max(energies))
    assert avg_cost == pytest.approx(np.mean(energies), rel=1e-12, abs=1e-12)


@needs_minimize
@pytest.mark.parametrize("seq", ["ACDE", "EACDA"])
def test_minimum_contact_energy(seq):
    walks = cubic_walks(len(seq))
    best = np.array(vexa_stats.minimize_cost(seq, TABLE, lattice="cubic"))
    assert any(np.array_equal(best, w) for w in walks)
    assert contact_energy(best, seq, TABLE) == min(contact_energy(w, seq, TABLE) for w in walks)


@needs_stats
@pytest.mark.parametrize("kmin", [4, 5, 2**64 - 1], ids=["length", "beyond", "largest"])
def test_no_pair_needs_no_table(kmin):
    walks = cubic_walks(4)
    correlation, min_cost, avg_cost, max_cost = summary(vexa_stats.stats(
        "ACDE", [walks[0].tolist()], {}, method="enumerate", lattice="cubic", kmin=kmin))
    assert (min_cost, avg_cost, max_cost) == (0.0, 0.0, 0.0)
    assert math.isnan(correlation)


@needs_stats
@pytest.mark.parametrize(
    "arc_length, expected",
    [(3.8, -1.0), (math.nextafter(3.8, math.inf), 0.0)],
    ids=["at-dmax", "next-distance-above"],
)
def test_pair_at_exactly_dmax(arc_length, expected):
    result = vexa_stats.stats("AB", [[[0.0, 0.0, 0.0], [0.0, 0.0, arc_length]]],
                              {"A": {"B": -1.0}}, method="enumerate", lattice="cubic",
                              arc_length=arc_length, dmax=3.8)
    assert summary(result)[1:] == (expected, expected, expected)


@needs_minimize
@pytest.mark.parametrize(
    "seq, table, kmin, message",
    [
        ("AB", {"B": {"A": 1.0}}, 1, "Contact energies for amino acid A could not be found !"),
        ("AB", {"A": {}, "B": {"A": 1.0}}, 1,
         "Contact energy for amino acid's pair A-B could not be found !"),
        ("BA", {"A": {"B": 1.0}}, 1,
         "Contact energies for amino acid B could not be found !"),
        ("AA", {"a": {"a": 1.0, "A": 1.0}}, 1,
         "Contact energies for amino acid A could not be found !"),
        ("AB", {"A": {"B": 1.0}}, 0,
         "Contact energy for amino acid's pair A-A could not be found !"),
        ("Aé", {"A": {"A": 1.0}}, 1,
         "Contact energy for amino acid's pair A-é could not be found !"),
        # Walks have one point per UTF-8 byte: three points for two residues.
        ("Aé", {"A": {"é": 1.0}}, 1,
         "Contact energies cover 2 residues but the structure has 3 points !"),
    ],
    ids=["row", "asymmetric", "reversed", "case", "self-pair", "non-ascii", "byte-length-walk"],
)
def test_contact_energy_stops(seq, table, kmin, message):
    assert panic_message(vexa_stats.minimize_cost, seq, table, lattice="cubic",
                         kmin=kmin) == message


# --- Lua --------------------------------------------------------------------------------------


@needs_stats
@pytest.mark.parametrize(
    "code, expected",
    [
        ("function f() return '1.5' end", 1.5),
        ("function f() return 2, 3 end", 2.0),
        ("function f(seq, c) return #seq * 100 + #c + #c[4] * 10 end", 4 * 100 + 4 + 30),
        # Residue 2 is one bond from the origin in every walk.
        ("function f(seq, c) return c[1][1]^2 + c[2][1]^2 + c[2][2]^2 + c[2][3]^2 end", 3.8 ** 2),
        ("function f() return (debug == nil and ffi == nil) and 1 or 0 end", 1.0),
        ("function f() return select('#', pcall(require, 'ffi')) == 2 "
         "and not pcall(require, 'ffi') and 1 or 0 end", 1.0),
    ],
    ids=["numeric-string", "two-results", "arguments", "coordinates", "debug-ffi-nil",
         "no-ffi-module"],
)
def test_lua_results(code, expected):
    walks = cubic_walks(4)
    result = vexa_stats.stats("ACDE", [walks[0].tolist()], ("f", code), method="enumerate",
                              lattice="cubic")
    assert summary(result)[1:] == pytest.approx((expected, expected, expected), rel=1e-15)


@needs_stats
def test_lua_globals_last_one_operation():
    walks = cubic_walks(4)
    cost = ("count", "n = 0\nfunction count() n = n + 1 return n end")
    for _ in range(2):
        result = vexa_stats.stats("ACDE", [walks[0].tolist()], cost, method="enumerate",
                                  lattice="cubic")
        # One call per walk, counting from the chunk's initial value each operation.
        assert summary(result)[1:] == (1.0, 75.5, 150.0)


@needs_minimize
@pytest.mark.parametrize(
    "function, code, message",
    [
        ("f", "function f() return true end",
         "Lua function did not return a floating number !: expected number or string coercible "
         "to number, got boolean"),
        ("f", "function f() return {} end",
         "Lua function did not return a floating number !: expected number or string coercible "
         "to number, got table"),
        ("f", "function f() end",
         "Lua function did not return a floating number !: expected number or string coercible "
         "to number, got no value"),
        ("f", "function f()\n  error('boom')\nend",
         "Lua function did not return a floating number !: src/cost:39:2: boom\nstack traceback:"),
        ("f", "function f() return require('socket') end",
         "Lua function did not return a floating number !: module 'socket' not found:"),
        ("f", "x = 1\n\nfunction f(",
         "Lua code returned an error when run:\nsyntax error: src/cost:39:3: "),
        ("f", "f = setmetatable({}, {__call = function() return 1 end})",
         "Lua function f cannot be found !: expected function, got table"),
        ("g", "function f() return 1 end",
         "Lua function g cannot be found !: expected function, got nil"),
    ],
    ids=["true", "table", "nothing", "runtime-error", "native-require", "syntax-error",
         "callable-table", "absent"],
)
def test_lua_stops(function, code, message):
    text = panic_message(vexa_stats.minimize_cost, "AB", (function, code), lattice="cubic")
    assert text.startswith(message)


@needs_minimize
def test_lua_native_require_names_safe_mode():
    text = panic_message(vexa_stats.minimize_cost, "AB",
                         ("f", "function f() return require('socket') end"), lattice="cubic")
    assert "\n\tcan't load C modules in safe mode" in text


# --- Python callables -------------------------------------------------------------------------


class Keeper:
    """Keeps every pair of arguments it receives."""

    def __init__(self):
        self.calls = []

    def __call__(self, seq, coordinates):
        self.calls.append((seq, coordinates))
        return float(len(self.calls))


@needs_stats
@pytest.mark.parametrize(
    "cost, expected",
    [
        (lambda seq, c: 3, 3.0),
        (lambda seq, c: True, 1.0),
        (lambda seq, c: Real(2.5), 2.5),
        (lambda seq, c: Index(), 2.0),
        (lambda seq, c: Floaty(), 0.5),
        (lambda seq, c: -0.0, -0.0),
    ],
    ids=["int", "bool", "float-subclass", "index", "float-method", "negative-zero"],
)
def test_python_results(cost, expected):
    walks = cubic_walks(3)
    result = vexa_stats.stats("ACD", [walks[0].tolist()], cost, method="enumerate",
                              lattice="cubic")
    values = summary(result)[1:]
    assert values == (expected, expected, expected)
    assert all(type(v) is float for v in values)
    assert math.copysign(1.0, values[0]) == math.copysign(1.0, expected)


@needs_stats
def test_python_nan_passes_through():
    walks = cubic_walks(3)
    result = vexa_stats.stats("ACD", [walks[0].tolist()], lambda seq, c: math.nan,
                              method="enumerate", lattice="cubic")
    assert all(math.isnan(v) for v in summary(result)[1:])


@needs_stats
def test_python_arguments_are_fresh_each_call():
    keeper = Keeper()
    walks = cubic_walks(4)
    vexa_stats.stats("ACDE", [walks[0].tolist()], keeper, method="enumerate", lattice="cubic")
    assert len(keeper.calls) == 150
    outer_ids = {id(coordinates) for _, coordinates in keeper.calls}
    inner_ids = {id(point) for _, coordinates in keeper.calls for point in coordinates}
    assert len(outer_ids) == 150 and len(inner_ids) == 150 * 4
    for seq, coordinates in keeper.calls:
        assert type(seq) is str and seq == "ACDE"
        assert type(coordinates) is list and len(coordinates) == 4
        assert all(type(p) is list and len(p) == 3 and all(type(x) is float for x in p)
                   for p in coordinates)
        assert coordinates[0] == [0.0, 0.0, 0.0]
    got = sorted(tuple(map(tuple, c)) for _, c in keeper.calls)
    assert got == sorted(tuple(map(tuple, w.tolist())) for w in walks)


def raises_value_error(seq, coordinates):
    raise ValueError("bad cost")


def raises_interrupt(seq, coordinates):
    raise KeyboardInterrupt


def raises_exit(seq, coordinates):
    raise SystemExit(3)


@needs_minimize
@pytest.mark.parametrize(
    "cost, starts, contains",
    [
        (lambda seq, c: None, "Python function did not return a float !: TypeError(",
         "TypeError: must be real number, not NoneType"),
        (lambda seq, c: "1.0", "Python function did not return a float !: TypeError(", "str"),
        (lambda seq: 0.0, "Python function failed to run !: TypeError(",
         "takes 1 positional argument but 2 were given"),
        (raises_value_error, "Python function failed to run !: ValueError('bad cost')",
         "Traceback (most recent call last):"),
        (raises_interrupt, "Python function failed to run !: KeyboardInterrupt()",
         "in raises_interrupt"),
        (raises_exit, "Python function failed to run !: SystemExit(3)", "in raises_exit"),
    ],
    ids=["none", "string", "one-argument", "raises", "keyboard-interrupt", "system-exit"],
)
def test_python_stops(cost, starts, contains):
    with pytest.raises(BaseException) as info:
        vexa_stats.minimize_cost("AB", cost, lattice="cubic")
    assert type(info.value).__name__ == "PanicException"
    text = str(info.value)
    assert text.startswith(starts)
    assert contains in text
    # The callable's exception was consumed, not chained or left pending.
    assert info.value.__context__ is None and info.value.__cause__ is None
    assert vexa_stats.minimize_cost("A", named, lattice="cubic") == [[0.0, 0.0, 0.0]]
