"""minimize_cost and minimize_rmsd against a brute force written here: every walk from
sample_solutions(..., method="enumerate"), scored in Python, the first least one in the IEEE 754
total order. Also n = 1, n = 0, the order of failures, and the progress line."""

import math
import struct

import pytest

import vexa_stats

LATTICES = ["tetrahedral", "fcc", "bcc", "cubic"]
# Short enough for a Python brute force, long enough for contacts beyond neighbours.
LENGTHS = {"tetrahedral": 8, "fcc": 5, "bcc": 5, "cubic": 7}


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


pytestmark = pytest.mark.skipif(
    _not_wired(vexa_stats.minimize_cost, "A", _zero, lattice="cubic")
    or _not_wired(vexa_stats.minimize_rmsd, [[[0.0, 0.0, 0.0]]], lattice="cubic")
    or _not_wired(vexa_stats.sample_solutions, 1, method="enumerate"),
    reason="minimize_cost, minimize_rmsd or sample_solutions is not wired yet",
)


def total_order_key(value):
    """IEEE 754 totalOrder as an integer key: -NaN < -inf < ... < -0.0 < 0.0 < ... < +NaN."""
    bits = struct.unpack("<Q", struct.pack("<d", value))[0]
    return bits ^ 0xFFFFFFFFFFFFFFFF if bits >> 63 else bits | (1 << 63)


def brute_force(length, lattice, score, arc_length=3.8):
    """The first structure of least score in enumeration order."""
    structures = vexa_stats.sample_solutions(
        length, method="enumerate", lattice=lattice, arc_length=arc_length
    )
    best = None
    for structure in structures:
        key = total_order_key(score(structure))
        if best is None or key < best[0]:
            best = (key, structure)
    return best[1]


def exact(structure):
    """Coordinates as hex strings, so that equality is bit for bit (-0.0 differs from 0.0)."""
    return [[float(c).hex() for c in point] for point in structure]


def contact_energy(table, seq, kmin, dmax):
    """The contact-energy cost as documented: pairs j < k with k - j >= kmin, distance from the
    squares added x, y, then z, compared with dmax, energies added in pair order."""

    def score(structure):
        total = 0.0
        for j in range(len(structure)):
            for k in range(j + kmin, len(structure)):
                dx = structure[j][0] - structure[k][0]
                dy = structure[j][1] - structure[k][1]
                dz = structure[j][2] - structure[k][2]
                if dmax >= math.sqrt((dx * dx + dy * dy) + dz * dz):
                    total += table[seq[j]][seq[k]]
        return total

    return score


def rounding_table():
    """Inexact decimals of both signs: which walk wins depends on every rounding."""
    energies = [0.1, -0.7, 0.3, -0.2, -1.1, 0.6]
    letters = "ACDEFG"
    return {
        a: {
            b: energies[(i * 5 + j * 3) % 6] * (1e-3 if a == b else 1.0)
            for j, b in enumerate(letters)
        }
        for i, a in enumerate(letters)
    }


CONTACT_CASES = [
    (lattice, kmin, dmax)
    for lattice in LATTICES
    for kmin, dmax in [(1, 7.8), (2, 6.6), (0, 5.4)]
]


@pytest.mark.parametrize(
    "lattice,kmin,dmax", CONTACT_CASES, ids=[f"{l}-kmin{k}-dmax{d}" for l, k, d in CONTACT_CASES]
)
def test_contact_table_matches_brute_force(lattice, kmin, dmax):
    seq = "GACEFDGACE"[: LENGTHS[lattice]]
    table = rounding_table()
    got = vexa_stats.minimize_cost(seq, table, lattice=lattice, kmin=kmin, dmax=dmax)
    expected = brute_force(len(seq), lattice, contact_energy(table, seq, kmin, dmax))
    assert exact(got) == exact(expected)


def python_cost(seq, coordinates):
    """Weighted coordinates with a NaN (sign bit clear) for walks ending below the plane z = 0:
    those never win while a number is on offer."""
    if coordinates[-1][2] < 0.0:
        return float("nan")
    total = 0
    for letter, (x, y, z) in zip(seq, coordinates):
        total += (ord(letter) - 64) * (x * 0.5 - y + z * z * 0.01)
    return total


@pytest.mark.parametrize("lattice", LATTICES)
def test_python_cost_matches_brute_force(lattice):
    seq = "BADCABDC"[: LENGTHS[lattice]]
    got = vexa_stats.minimize_cost(seq, python_cost, lattice=lattice)
    expected = brute_force(len(seq), lattice, lambda s: python_cost(seq, s))
    assert exact(got) == exact(expected)
    assert got[-1][2] >= 0.0


LUA_CODE = """
function cost(seq, xyz)
  local total = 0
  for i = 1, #xyz do
    local w = string.byte(seq, i) - 64
    total = total + w * (xyz[i][1] * 0.5 - xyz[i][2] + xyz[i][3] * xyz[i][3] * 0.01)
  end
  return total
end
"""


def lua_twin(seq):
    """The Lua function above, written in Python with the same operations in the same order."""

    def score(structure):
        total = 0.0
        for letter, (x, y, z) in zip(seq, structure):
            total = total + (ord(letter) - 64) * (x * 0.5 - y + z * z * 0.01)
        return total

    return score


@pytest.mark.parametrize("lattice", LATTICES)
def test_lua_cost_matches_brute_force(lattice):
    seq = "CABDDCBA"[: LENGTHS[lattice]]
    got = vexa_stats.minimize_cost(seq, ("cost", LUA_CODE), lattice=lattice)
    expected = brute_force(len(seq), lattice, lua_twin(seq))
    assert exact(got) == exact(expected)


ONE_POINT_COSTS = {
    "contact": {"W": {"W": -3.0}},
    "python": lambda seq, coordinates: -1.0,
    "lua": ("f", "function f(seq, xyz) return #xyz end"),
}


@pytest.mark.parametrize("lattice", LATTICES)
@pytest.mark.parametrize("kind", list(ONE_POINT_COSTS))
def test_one_letter_gives_the_origin(lattice, kind):
    got = vexa_stats.minimize_cost("W", ONE_POINT_COSTS[kind], lattice=lattice, kmin=0)
    assert exact(got) == exact([[0.0, 0.0, 0.0]])


def test_constant_cost_returns_the_first_walk():
    # Documented example: cubic, n = 2, default arc length.
    got = vexa_stats.minimize_cost("AB", lambda seq, coordinates: 7, lattice="cubic")
    assert exact(got) == exact([[0.0, 0.0, 0.0], [0.0, 0.0, -3.8]])


@pytest.mark.parametrize("lattice", LATTICES)
def test_rmsd_to_a_lattice_model_is_zero_and_matches_brute_force(lattice):
    length = LENGTHS[lattice] - 1
    walks = vexa_stats.sample_solutions(length, method="enumerate", lattice=lattice)
    # A walk from the middle of the enumeration, moved away from the origin.
    model = [[x + 1.5, y - 2.0, z + 0.25] for x, y, z in walks[len(walks) // 2]]
    got = vexa_stats.minimize_rmsd([model], lattice=lattice)
    assert len(got) == length
    assert vexa_stats.rmsd(got, [model]) < 1e-6
    expected = brute_force(length, lattice, lambda s: vexa_stats.rmsd(s, [model]))
    assert exact(got) == exact(expected)


def test_rmsd_with_several_models_matches_brute_force(rng):
    models = [
        [[3.8 * i + rng.normal(), 2.0 * math.sin(i) + rng.normal(), rng.normal()] for i in range(7)]
        for _ in range(3)
    ]
    got = vexa_stats.minimize_rmsd(models, lattice="cubic", arc_length=3.8)
    expected = brute_force(7, "cubic", lambda s: vexa_stats.rmsd(s, models))
    assert exact(got) == exact(expected)


def test_default_arguments_give_a_tetrahedral_walk_of_the_model_length():
    model = [[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0], [7.6, 3.8, 1.0]]
    got = vexa_stats.minimize_rmsd([model])
    assert len(got) == 4
    assert got[0] == [0.0, 0.0, 0.0]
    for a, b in zip(got, got[1:]):
        assert math.dist(a, b) == pytest.approx(3.8)


FAILURES = [
    ("empty gt before the lattice word", lambda: vexa_stats.minimize_rmsd([], lattice="nope"),
     "assertion failed: gt.len() > 0"),
    ("lattice word", lambda: vexa_stats.minimize_rmsd([[[0.0, 0.0, 0.0]]], lattice="nope"),
     'Lattice "nope" is not recognized !'),
    ("cost before the lattice word", lambda: vexa_stats.minimize_cost("AB", 42, lattice="nope"),
     "Cannot recognize 42 !"),
    ("lattice word before evaluation",
     lambda: vexa_stats.minimize_cost("AB", lambda s, c: 1 / 0, lattice="nope"),
     'Lattice "nope" is not recognized !'),
    ("empty sequence", lambda: vexa_stats.minimize_cost("", {}, lattice="cubic"),
     "There is no walk to minimise over: the walk length is 0 !"),
    ("empty first model", lambda: vexa_stats.minimize_rmsd([[]], lattice="cubic"),
     "There is no walk to minimise over: the walk length is 0 !"),
]


@pytest.mark.parametrize("call,message", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures_come_in_order(panic_type, call, message):
    with pytest.raises(panic_type) as info:
        call()
    assert str(info.value) == message


def test_failing_cost_stops_with_its_message(panic_type):
    with pytest.raises(panic_type) as info:
        vexa_stats.minimize_cost("ABC", lambda s, c: 1 / 0, lattice="cubic")
    assert str(info.value).startswith("Python function failed to run !: ")
    assert "ZeroDivisionError" in str(info.value)


def test_progress_line_counts_every_walk(capfd):
    vexa_stats.minimize_cost("AAAA", {"A": {"A": -1.0}}, lattice="cubic", pbar=True)
    err = capfd.readouterr().err
    # 150 walks of four points on the cubic lattice (OEIS A001412).
    assert "150it [" in err
    assert err.endswith("\n")


def test_progress_line_closes_when_the_cost_fails(capfd, panic_type):
    def fails_on_the_fourth_walk(seq, coordinates):
        # Cubic, three points: the fourth walk is the first that ends with y > 0.
        if coordinates[-1][1] > 0.0:
            raise RuntimeError("no")
        return 0.0

    with pytest.raises(panic_type):
        vexa_stats.minimize_cost("ABC", fails_on_the_fourth_walk, lattice="cubic", pbar=True)
    err = capfd.readouterr().err
    assert "4it [" in err
    assert err.endswith("\n")


def test_nothing_on_stderr_without_pbar(capfd):
    vexa_stats.minimize_cost("AAAA", {"A": {"A": -1.0}}, lattice="cubic")
    assert capfd.readouterr().err == ""
