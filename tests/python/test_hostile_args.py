"""Arbitrary objects at every parameter. An oracle written from the conversion rules predicts, for
each object, either the converted value or the exception (its type, and its message or at least
the "argument '<name>': " prefix); the module must agree, and must never crash.

The oracle reaches the interpreter's own protocols the way the rules name them: the sequence
check and length through the C API (ctypes), the index protocol through operator.index, and the
float conversion through math.ldexp(x, 0), whose argument goes through that same conversion.
Successful conversions are compared by running the module on the hostile object and on the plain
lists of floats the oracle built from it: equal inputs give bit-identical results."""

import array
import ctypes
import math
import operator
import unicodedata
from fractions import Fraction
from decimal import Decimal

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vexa_stats

# numpy's complex scalars convert to float with a warning; the module and the oracle both see it.
pytestmark = pytest.mark.filterwarnings("ignore:Casting complex values to real")

SETTINGS = settings(max_examples=300, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

_check = ctypes.pythonapi.PySequence_Check
_check.argtypes = [ctypes.py_object]
_check.restype = ctypes.c_int
_size = ctypes.pythonapi.PySequence_Size
_size.argtypes = [ctypes.py_object]
_size.restype = ctypes.c_ssize_t


def is_sequence(x):
    return _check(x) == 1


def type_name(x):
    return type(x).__qualname__


# --- Outcomes -----------------------------------------------------------------------------------


class Raises:
    """An expected exception: its exact type, and its message (None: checked elsewhere)."""

    def __init__(self, kind, message=None, cause=None):
        self.kind, self.message, self.cause = kind, message, cause

    def __repr__(self):
        return f"Raises({self.kind.__name__}, {self.message!r})"


def run(call):
    try:
        return call()
    except BaseException as error:  # PanicException derives from BaseException
        return error


def cast_error(x, target):
    return TypeError(f"'{type_name(x)}' object cannot be cast as '{target}'")


def predict(name, convert, x):
    """The converter's value, or Raises: an exact TypeError comes back prefixed with the
    parameter's name and keeps its cause; every other exception passes unchanged."""
    try:
        return convert(x)
    except BaseException as error:
        if type(error) is TypeError:
            message = None if getattr(error, "unspecified", False) else str(error)
            prefixed = f"argument '{name}': " + (message or "")
            return Raises(TypeError, prefixed if message is not None else None, error.__cause__)
        message = None if isinstance(error, OverflowError) else str(error)
        return Raises(type(error), message)


def check_raised(expected, actual, name):
    assert isinstance(actual, BaseException), f"returned {actual!r}, expected {expected}"
    assert type(actual) is expected.kind, f"{actual!r}, expected {expected}"
    if expected.kind is TypeError:
        assert str(actual).startswith(f"argument '{name}': "), str(actual)
        if expected.cause is not None:
            assert actual.__cause__ is expected.cause
    if expected.message is not None:
        assert str(actual) == expected.message


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(
        1, b))


def same_outcome(a, b):
    """Two module results, or two stops, that are indistinguishable."""
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    return same_float(a, b)


# --- The conversion rules, as an oracle -------------------------------------------------------


def to_float(x):
    if type(x) is float:
        return x
    return math.ldexp(x, 0)


def to_u64(x):
    value = x if isinstance(x, int) else operator.index(x)
    if not 0 <= value < 2**64:
        raise OverflowError("out of range")
    return int(value)


def to_text(x):
    if not isinstance(x, str):
        raise cast_error(x, "str")
    x.encode("utf-8")  # a lone surrogate raises the interpreter's UnicodeEncodeError
    return str(x)


def to_bool(x):
    if type(x) is bool:
        return x
    kind = type(x)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        return bool(x)
    raise cast_error(x, "bool")


def string_as_list():
    error = TypeError()
    error.unspecified = True  # the wording is the module's own
    return error


def to_point(x):
    if not is_sequence(x):
        raise cast_error(x, "Sequence")
    length = _size(x)
    if length != 3:
        raise ValueError(f"expected a sequence of length 3 (got {length})")
    return [to_float(x[k]) for k in range(3)]


def to_list(x, convert_item):
    if isinstance(x, str):
        raise string_as_list()
    if not is_sequence(x):
        raise cast_error(x, "Sequence")
    try:
        _size(x)  # a length hint only: its failure is forgotten
    except BaseException:
        pass
    return [convert_item(item) for item in x]


def to_structure(x):
    return to_list(x, to_point)


def to_ground_truth(x):
    return to_list(x, to_structure)


# --- Hostile objects ----------------------------------------------------------------------------

CAUSE = ValueError("the cause")


class TypeErrorSubclass(TypeError):
    pass


def raise_chained():
    raise TypeError("chained") from CAUSE


ERRORS = [
    lambda: TypeError("type"),
    lambda: ValueError("value"),
    lambda: KeyError("key"),
    lambda: IndexError("index"),
    lambda: OverflowError("overflow"),
    lambda: TypeErrorSubclass("subclass"),
    lambda: ZeroDivisionError("zero"),
    lambda: KeyboardInterrupt(),
]
errors = st.sampled_from(ERRORS)


class Hostile:
    """An object with one special method that raises or returns the given value."""

    def __init__(self, method, behaviour):
        self.method, self.behaviour = method, behaviour

    def _act(self):
        if self.behaviour == "chained":
            raise_chained()
        if callable(self.behaviour):
            raise self.behaviour()
        return self.behaviour

    def __repr__(self):
        return f"Hostile({self.method}, {self.behaviour!r})"


def hostile_class(method):
    name = method.strip("_")
    kind = type(name, (Hostile,), {method: lambda self: self._act()})
    kind.__qualname__ = "Hostile." + name  # messages show the qualified name, not __name__
    return kind


HOSTILE_CLASSES = {m: hostile_class(m) for m in ("__index__", "__float__", "__bool__", "__str__",
                                                   "__len__")}
behaviours = st.one_of(
    errors,
    st.just("chained"),
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.sampled_from([True, None, "1.5", 2.5, np.float32(1.25), np.int64(7), Fraction(1, 3)]),
)
hostile_scalars = st.builds(lambda m, b: HOSTILE_CLASSES[m](m, b),
                            st.sampled_from(sorted(HOSTILE_CLASSES)), behaviours)

NUMPY_SCALAR_TYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32,
                      np.int64, np.uint64, np.float16, np.float32, np.float64, np.longdouble,
                      np.complex64, np.complex128]
numpy_scalars = st.builds(lambda t, v: t(v) if t is not np.bool_ else t(v % 2),
                          st.sampled_from(NUMPY_SCALAR_TYPES), st.integers(0, 100))

scalars = st.one_of(
    st.integers(-(2**70), 2**70),
    st.sampled_from([0, 1, 2**63, 2**64 - 1, 2**64, -1, -(2**63)]),
    st.booleans(),
    st.floats(),
    st.text(max_size=4),
    st.none(),
    st.binary(max_size=3),
    st.complex_numbers(max_magnitude=1e6),
    st.builds(Decimal, st.integers(-100, 100)),
    st.builds(Fraction, st.integers(-10, 10), st.integers(1, 5)),
    numpy_scalars,
    st.builds(np.array, numpy_scalars),  # 0-d arrays
    st.builds(lambda v: np.array([v]), st.integers(0, 9)),
    hostile_scalars,
)


class FakeSequence:
    """A sequence whose length may lie and whose items or length may raise."""

    def __init__(self, items, reported, failing_index, error):
        self.items, self.reported = items, reported
        self.failing_index, self.error = failing_index, error

    def __len__(self):
        if self.reported == "raise":
            raise self.error()
        return self.reported

    def __getitem__(self, index):
        if index == self.failing_index:
            raise self.error()
        return self.items[index]  # IndexError past the end ends iteration

    def __repr__(self):
        return (f"FakeSequence({self.items!r}, reported={self.reported!r}, "
                f"failing={self.failing_index}, error={self.error})")


def fake_sequences(items):
    return st.builds(
        FakeSequence,
        st.lists(items, max_size=4),
        st.one_of(st.integers(0, 6), st.just(2**62), st.just("raise")),
        st.one_of(st.none(), st.integers(0, 4)),
        errors,
    )


def generator_of(items):
    return (item for item in items)


NUMERIC_DTYPES = ["f8", "f4", "f2", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?", "c16",
                  ">f8", "<i4", ">u8", "g", "O", "U3", "S3", "m8[s]", "M8[D]"]


@st.composite
def arrays(draw, ndim=None, points=False):
    """Arrays of many dtypes, shapes and layouts; with points, of shape (..., 3) and a dtype
    that converts to float."""
    dtype = np.dtype(draw(st.sampled_from(NUMERIC_DTYPES[:16] if points else NUMERIC_DTYPES)))
    if points:
        shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim - 1,
                                    max_size=ndim - 1))) + (3,)
    else:
        shape = draw(hnp.array_shapes(min_dims=ndim or 0, max_dims=ndim or 4, min_side=0,
                                      max_side=4))
    if dtype.kind in "fc":
        elements = st.floats(width=32) if dtype.itemsize <= 4 else None
        if dtype.kind == "f" and dtype.itemsize == 2:
            elements = st.floats(width=16)
        value = draw(hnp.arrays(dtype, shape, elements=elements))
    elif dtype.kind == "O":
        value = np.empty(shape, dtype=object)
        for index in np.ndindex(*shape):
            value[index] = draw(st.one_of(st.floats(), st.integers(-5, 5), st.text(max_size=2)))
    elif dtype.kind in "mM":
        value = np.zeros(shape, dtype=dtype)
    else:
        value = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["C", "F", "strided", "reversed", "transposed", "readonly",
                                   "unaligned"]))
    if layout == "F":
        value = np.asfortranarray(value)
    elif layout == "strided" and value.ndim:
        value = np.repeat(value, 2, axis=0)[::2]
    elif layout == "reversed" and value.ndim:
        value = value[::-1]
    elif layout == "transposed":
        value = value.T
    elif layout == "readonly":
        value.flags.writeable = False
    elif layout == "unaligned" and dtype.kind != "O":
        # C-contiguous, but one byte off the allocator's alignment.
        raw = np.frombuffer(b"\0" + value.tobytes(), dtype=np.uint8)[1:]
        value = raw.view(dtype).reshape(value.shape)
    return value


leaves = st.one_of(st.floats(), st.integers(-10, 10), scalars)
plain_points = st.lists(st.floats(allow_nan=True), min_size=3, max_size=3)
points = st.one_of(
    plain_points,
    plain_points.map(tuple),
    st.lists(leaves, max_size=4),
    st.lists(leaves, max_size=4).map(tuple),
    fake_sequences(leaves),
    arrays(ndim=1),
    st.builds(lambda v: array.array("d", v), plain_points),
    st.builds(range, st.integers(0, 4)),
    leaves,
)


def sequences_of(items):
    return st.one_of(
        st.lists(items, max_size=4),
        st.lists(items, max_size=4).map(tuple),
        fake_sequences(items),
        st.lists(items, max_size=3).map(generator_of),
        st.lists(items, max_size=3).map(lambda v: {i: item for i, item in enumerate(v)}),
        st.text(max_size=3),
        scalars,
    )


valid_structures = st.one_of(
    st.lists(plain_points, max_size=5),
    st.lists(plain_points.map(tuple), max_size=5).map(tuple),
    arrays(ndim=2, points=True),
)
structures = st.one_of(valid_structures, sequences_of(points), arrays())
# Models of one length, as the RMSD needs them.
valid_ground_truths = st.one_of(
    st.integers(0, 4).flatmap(lambda n: st.lists(
        st.one_of(st.lists(plain_points, min_size=n, max_size=n),
                  st.builds(np.array, st.lists(plain_points, min_size=n, max_size=n))),
        min_size=1, max_size=3)),
    arrays(ndim=3, points=True),
)
ground_truths = st.one_of(valid_ground_truths, sequences_of(structures), arrays())


# --- Lists of points: sol and gt ----------------------------------------------------------------


def reference_model(n, seed=7):
    return np.random.default_rng(seed + n).normal(size=(n, 3)).tolist()


def check_structure(sol):
    expected = predict("sol", to_structure, sol)
    model = None if isinstance(expected, Raises) else reference_model(len(expected))
    actual = run(lambda: vexa_stats.rmsd(sol, [model] if model is not None else []))
    if isinstance(expected, Raises):
        check_raised(expected, actual, "sol")
    else:
        assert same_outcome(actual, vexa_stats.rmsd(expected, [model])), (actual, expected)


def check_ground_truth(gt):
    expected = predict("gt", to_ground_truth, gt)
    if isinstance(expected, Raises):
        check_raised(expected, run(lambda: vexa_stats.rmsd([[0, 0, 0]], gt)), "gt")
        return
    sol = reference_model(len(expected[0]) if expected else 0, seed=11)
    actual = run(lambda: vexa_stats.rmsd(sol, gt))
    assert same_outcome(actual, run(lambda: vexa_stats.rmsd(sol, expected))), (actual, expected)


@SETTINGS
@given(structures)
def test_sol(sol):
    check_structure(sol)


@SETTINGS
@given(ground_truths)
def test_gt(gt):
    check_ground_truth(gt)


@pytest.mark.parametrize(
    "sol, gt",
    [
        (np.zeros((0, 3)), np.zeros((2, 0, 3))),
        (np.zeros((0, 3), dtype=np.float32), np.zeros((1, 0, 3), dtype=np.float32)),
        (np.zeros((0, 3)), np.zeros((0, 0, 3))),
    ],
    ids=["float64-empty-models", "float32-empty-models", "no-model"],
)
def test_arrays_with_no_points(sol, gt):
    check_structure(sol)
    check_ground_truth(gt)


def test_sequences_of_a_million():
    # Zero, one million, and a length hint of a million on a short sequence: the same values.
    million = [[float(i % 7), 1.0, -2.0] for i in range(10**6)]
    model = reference_model(10**6)
    assert same_outcome(vexa_stats.rmsd(million, [model]),
                        vexa_stats.rmsd(np.array(million), [np.array(model)]))
    check_structure(FakeSequence([[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]], 10**6, None, ValueError))
    check_structure(FakeSequence([[0.0, 1.0, 2.0]], 2**62, None, ValueError))
    assert math.isnan(vexa_stats.rmsd([], [[]] * 10**6))
    assert str(run(lambda: vexa_stats.correlation("A" * 10**6, [[[0, 0, 0]]], zero_cost,
                                                  method="nope"))) == METHOD_STOP
    word = "x\u0301" * 10**6
    assert str(run(lambda: vexa_stats.sample_solutions(2, lattice=word))) == (
        f"Lattice {quoted(word)} is not recognized !")
    check_raised(Raises(ValueError, "expected a sequence of length 3 (got 0)"),
                 run(lambda: vexa_stats.rmsd([[]] * 10**6, [[]])), "sol")
    check_raised(Raises(ValueError, f"expected a sequence of length 3 (got {10**6})"),
                 run(lambda: vexa_stats.rmsd([[0.0] * 10**6], [[]])), "sol")


# --- Integers -----------------------------------------------------------------------------------

METHOD_STOP = 'Method "nope" is not recognized !'
LATTICE_STOP = 'Lattice "nope" is not recognized !'


def zero_cost(seq, coordinates):
    return 0.0


def check_unsigned(name, x):
    expected = predict(name, to_u64, x)
    if name == "kmin":
        actual = run(lambda: vexa_stats.correlation("A", [[[0, 0, 0]]], zero_cost, kmin=x,
                                                    method="nope"))
    else:
        arguments = {"len": 2, name: x}
        actual = run(lambda: vexa_stats.sample_solutions(**arguments, method="nope"))
    if isinstance(expected, Raises):
        check_raised(expected, actual, name)
        return
    assert type(actual).__name__ == "PanicException" and str(actual) == METHOD_STOP, actual
    # The value itself, where it is cheap to observe.
    if name == "len" and expected <= 20:
        walks = vexa_stats.sample_solutions(x, 1, "dimerize", lattice="cubic")
        assert len(walks[0]) == expected
    elif name == "sample_size" and expected <= 200:
        assert len(vexa_stats.sample_solutions(2, x, "dimerize")) == expected
    elif name == "kmin" and expected <= 6:
        # Four residues, every pair within dmax: kmin decides how many pairs count.
        table = {"A": {"A": 1.0}}
        summary = vexa_stats.stats("AAAA", [[[0, 0, 0]] * 4], table, kmin=x, dmax=1e9,
                                   method="enumerate", lattice="cubic")
        pairs = sum(4 - d for d in range(expected, 4))
        assert summary[1] == (pairs, pairs, pairs)


UNSIGNED = ["len", "sample_size", "thermalization_factor", "autocorrelation_factor", "kmin"]


@SETTINGS
@given(st.sampled_from(UNSIGNED), scalars)
def test_unsigned_integers(name, x):
    check_unsigned(name, x)


# --- Floats -------------------------------------------------------------------------------------


def check_float(name, x):
    expected = predict(name, to_float, x)
    if name == "arc_length":
        actual = run(lambda: vexa_stats.sample_solutions(2, 1, "enumerate", lattice="cubic",
                                                         arc_length=x))
    else:
        table = {"A": {"A": 1.0}}
        actual = run(lambda: vexa_stats.stats("AAA", [[[0, 0, 0]] * 3], table, dmax=x,
                                              method="enumerate", lattice="cubic"))
    if isinstance(expected, Raises):
        check_raised(expected, actual, name)
        return
    assert not isinstance(actual, BaseException), actual
    if name == "arc_length":
        # The first cubic walk of two points is (0, 0, 0), (0, 0, -1) in lattice units.
        assert same_float(actual[0][1][2], -expected) or (
            math.isnan(expected) and math.isnan(actual[0][1][2]))
    else:
        # Pairs (0, 1) and (1, 2) lie 3.8 apart, (0, 2) at most 7.6.
        low, high = actual[1][0], actual[1][2]
        if expected >= 7.6:
            assert (low, high) == (3.0, 3.0)
        elif not expected >= 3.8:  # NaN included: nothing is in contact
            assert (low, high) == (0.0, 0.0)
        else:
            assert 2.0 <= low <= high <= 3.0


@SETTINGS
@given(st.sampled_from(["arc_length", "dmax"]), scalars)
def test_floats(name, x):
    check_float(name, x)


# --- Booleans -----------------------------------------------------------------------------------


@SETTINGS
@given(st.one_of(scalars, st.sampled_from([np.bool_(True), np.bool_(False), np.array(True)])))
def test_pbar(x):
    expected = predict("pbar", to_bool, x)
    for function, arguments in [
        (vexa_stats.sample_solutions, (2,)),
        (vexa_stats.correlation, ("A", [[[0, 0, 0]]], zero_cost)),
        (vexa_stats.minimize_cost, ("A", zero_cost)),
        (vexa_stats.minimize_rmsd, ([[[0, 0, 0]]],)),
    ]:
        actual = run(lambda: function(*arguments, lattice="nope", pbar=x))
        if isinstance(expected, Raises):
            check_raised(expected, actual, "pbar")
        elif not str(actual).endswith("is not available yet !"):
            assert str(actual) == LATTICE_STOP, actual


# --- Text: seq and the option words ---------------------------------------------------------------

# Characters whose class is beyond doubt: printable ones, combining marks (Mn, Me), and controls,
# format characters, private use and unassigned code points, which all print escaped.
PRINTABLE = "aZ09 ~!-_éß中😀"
ESCAPED = "\u0301\u0300\u20d7\u0489\x01\x1f\x7f\x85\x9f\u200b\u200e\ufeff\ue000\u0378"
NAMED = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def quoted(word):
    out = []
    for c in word:
        if c in NAMED:
            out.append(NAMED[c])
        elif c in ESCAPED:
            out.append("\\u{%x}" % ord(c))
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


words = st.one_of(
    st.text(alphabet=PRINTABLE + ESCAPED + "".join(NAMED), max_size=6),
    st.sampled_from(["pivot", "dimerize", "enumerate", "tetrahedral", "fcc", "bcc", "cubic",
                     "FCC", " cubic", "cubic\0", "iterate", "pivot\u0301", "\ud800", "a\udfff",
                     "e\u0301", "\U0001F600\u200d"]),
)
hostile_words = st.one_of(words, words.map(type("StrSubclass", (str,), {})), scalars)


def expected_word_outcome(x, allowed, kind):
    """(Raises or None, message of the stop or None when the word is accepted)."""
    expected = predict(kind, to_text, x)
    if isinstance(expected, Raises):
        return expected, None
    if expected in allowed:
        return None, None
    label = "Lattice" if kind == "lattice" else "Method"
    if all(c in PRINTABLE + ESCAPED or c in NAMED for c in expected):
        return None, f"{label} {quoted(expected)} is not recognized !"
    return None, f"{label} "  # other characters: only the shape of the message is checked


@SETTINGS
@given(hostile_words)
def test_lattice_word(x):
    raises, stop = expected_word_outcome(x, {"tetrahedral", "fcc", "bcc", "cubic"}, "lattice")
    actual = run(lambda: vexa_stats.minimize_rmsd([], lattice=x))
    if raises is not None:
        check_raised(raises, actual, "lattice")
        return
    # minimize_rmsd stops on the empty ground truth before it reads the word.
    assert str(actual) == "assertion failed: gt.len() > 0"
    actual = run(lambda: vexa_stats.sample_solutions(1, 0, "dimerize", lattice=x))
    if stop is None:
        assert actual == []
    else:
        assert type(actual).__name__ == "PanicException"
        assert str(actual).startswith(stop) and str(actual).endswith(" is not recognized !")


@SETTINGS
@given(hostile_words)
def test_method_word(x):
    raises, stop = expected_word_outcome(x, {"pivot", "dimerize", "enumerate"}, "method")
    actual = run(lambda: vexa_stats.sample_solutions(1, 0, method=x, lattice="nope"))
    analysis = run(lambda: vexa_stats.correlation("A", [[[0, 0, 0]]], zero_cost, 0, x,
                                                  lattice="nope"))
    if raises is not None:
        check_raised(raises, actual, "method")
        if x is None:  # None is the absent word for correlation and stats
            assert str(analysis) == LATTICE_STOP
        else:
            check_raised(raises, analysis, "method")
        return
    for outcome in (actual, analysis):
        assert type(outcome).__name__ == "PanicException"
        if stop is None:
            assert str(outcome) == LATTICE_STOP
        else:
            assert str(outcome).startswith(stop) and " is not recognized !" in str(outcome)


@SETTINGS
@given(hostile_words)
def test_seq(x):
    expected = predict("seq", to_text, x)
    received = []

    def recording_cost(seq, coordinates):
        received.append((seq, len(coordinates)))
        return 0.0

    actual = run(lambda: vexa_stats.correlation(x, [[[0, 0, 0]]], recording_cost, 1,
                                                "dimerize", lattice="nope"))
    if isinstance(expected, Raises):
        check_raised(expected, actual, "seq")
        return
    assert str(actual) == LATTICE_STOP
    # One walk of as many points as the sequence has UTF-8 bytes; the cost sees the text itself.
    n = len(expected.encode("utf-8"))
    if 0 < n <= 24:
        gt = [[[3.8 * i, 0.0, 0.0] for i in range(n)]]
        vexa_stats.stats(x, gt, recording_cost, 1, "dimerize", lattice="cubic")
        assert received == [(expected, n)]
        assert type(received[0][0]) is str


# --- Sanity of the oracle itself ------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, expected",
    [
        (True, 1),
        (np.uint8(200), 200),
        (2**64 - 1, 2**64 - 1),
    ],
    ids=["bool", "numpy-uint8", "largest"],
)
def test_oracle_accepts_what_the_rules_accept(x, expected):
    assert predict("len", to_u64, x) == expected


def test_oracle_prefixes_only_exact_type_errors():
    assert predict("len", to_u64, 3.0).message.startswith("argument 'len': ")
    subclass = predict("len", to_u64, HOSTILE_CLASSES["__index__"]("__index__", ERRORS[5]))
    assert subclass.kind is TypeErrorSubclass and subclass.message == "subclass"
    chained = predict("len", to_u64, HOSTILE_CLASSES["__index__"]("__index__", "chained"))
    assert chained.cause is CAUSE
    assert predict("sol", to_structure, "abc").message is None
    assert unicodedata.category("\u0301") == "Mn" and not "\u200b".isprintable()


# --- The cost object ------------------------------------------------------------------------------


def converts_to_float(x):
    try:
        to_float(x)
    except BaseException:
        return False
    return True


def one_letter(x):
    return isinstance(x, str) and len(x) == 1


def is_energy_table(x):
    return isinstance(x, dict) and all(
        one_letter(letter) and isinstance(row, dict) and all(
            one_letter(other) and converts_to_float(energy) for other, energy in row.items())
        for letter, row in x.items())


def printed(x):
    try:
        text = str(x)
        text.encode("utf-8")
        return text
    except BaseException:
        return f"<unprintable {type(x).__name__} object>"


def utf8_text(x):
    try:
        x.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


letters = st.sampled_from(["A", "C", "é", "AB", "", "\ud800"])
tables = st.dictionaries(
    st.one_of(letters, st.integers(0, 2)),
    st.one_of(st.dictionaries(st.one_of(letters, st.none()), scalars, max_size=3), scalars),
    max_size=3)
valid_tables = st.dictionaries(
    st.sampled_from(["A", "C", "é"]),
    st.dictionaries(st.sampled_from(["A", "C", "é"]),
                    st.one_of(st.floats(), st.integers(-3, 3), st.booleans(), numpy_scalars),
                    max_size=3),
    max_size=3)
lua_pairs = st.tuples(st.sampled_from(["f", "g", "\ud800"]),
                      st.sampled_from(["function f() return 1 end", "f = 2", "function (",
                                       "error('x')", "error({})", "\ud800", ""]))
costs = st.one_of(
    valid_tables,
    lua_pairs,
    lua_pairs.map(type("TupleSubclass", (tuple,), {})),
    tables,
    st.tuples(letters, letters, letters),
    st.lists(scalars, max_size=2),
    st.just(zero_cost),
    st.builds(HOSTILE_CLASSES["__str__"], st.just("__str__"),
              st.one_of(errors, st.just("text"), st.just("\ud800"), st.integers())),
    scalars,
)


@SETTINGS
@given(costs)
def test_cost(x):
    actual = run(lambda: vexa_stats.correlation("A", [[[0, 0, 0]]], x, method="nope"))
    assert type(actual).__name__ == "PanicException", actual
    message = str(actual)
    if callable(x):
        assert message == METHOD_STOP  # a Python cost is not called before the words are read
    elif (type(x) is tuple or isinstance(x, tuple)) and len(x) == 2 and all(
            isinstance(item, str) and utf8_text(item) for item in x):
        # Lua code runs first; then the function is looked up; only then the word.
        assert message == METHOD_STOP or message.startswith(
            ("Lua code returned an error when run:\n", f"Lua function {x[0]} cannot be found !: ")
        ), message
    elif is_energy_table(x):
        # One residue and kmin 1: no pair, so no letter is looked up.
        assert message == METHOD_STOP
    else:
        assert message == f"Cannot recognize {printed(x)} !"
