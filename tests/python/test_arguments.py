"""Binding and conversion of the six functions' arguments, the option words, and the numpy
buffer fast path (checked against the sequence path on the same values)."""

import math
import struct
import operator
import unicodedata
import warnings

import numpy as np
import pytest

import vexa_stats
from vexa_stats import correlation, minimize_cost, minimize_rmsd, rmsd, sample_solutions, stats

P = [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [1.0, 1.0, 1.0]]
GT = [P]


class Outer:
    class Inner:
        pass


class NoLen:
    """Passes the sequence check but cannot report a length."""

    def __getitem__(self, index):
        return 0.0


class Chained:
    def __float__(self):
        raise TypeError("inner text") from KeyError("root")


class TypeErrorSubclass(TypeError):
    pass


class RaisesSubclass:
    def __float__(self):
        raise TypeErrorSubclass("subclass text")


class RaisesValueError:
    def __float__(self):
        raise ValueError("value text")


def fake_numpy_bool(with_bool):
    namespace = {"__module__": "numpy"}
    if with_bool:
        namespace["__bool__"] = lambda self: True
    return type("bool_", (), namespace)()


def interpreter_message(call, *args):
    """The interpreter's own text for a conversion failure."""
    with pytest.raises(TypeError) as info:
        call(*args)
    return str(info.value)


FAILURES = [
    # Binding: counts, keywords, missing arguments.
    pytest.param(lambda: rmsd(P, GT, 3), TypeError,
                 "rmsd() takes 2 positional arguments but 3 were given", id="rmsd-3-positional"),
    pytest.param(lambda: minimize_rmsd(GT, "fcc", 3.8, False, 5), TypeError,
                 "minimize_rmsd() takes from 1 to 4 positional arguments but 5 were given",
                 id="minimize_rmsd-5-positional"),
    pytest.param(lambda: stats("A", GT, None, 1, None, 1, 1, "fcc", 1.0, 1, 1.0, False, 0),
                 TypeError, "stats() takes from 3 to 12 positional arguments but 13 were given",
                 id="stats-13-positional"),
    pytest.param(lambda: rmsd(P, GT, 3, foo=1), TypeError,
                 "rmsd() takes 2 positional arguments but 3 were given",
                 id="count-checked-before-keywords"),
    pytest.param(lambda: stats(), TypeError,
                 "stats() missing 3 required positional arguments: 'seq', 'gt', and 'cost'",
                 id="stats-no-argument"),
    pytest.param(lambda: rmsd(sol=P), TypeError,
                 "rmsd() missing 1 required positional argument: 'gt'", id="rmsd-only-sol"),
    pytest.param(lambda: correlation("A"), TypeError,
                 "correlation() missing 2 required positional arguments: 'gt' and 'cost'",
                 id="two-missing-joined-with-and"),
    pytest.param(lambda: minimize_cost(cost=None), TypeError,
                 "minimize_cost() missing 1 required positional argument: 'seq'",
                 id="missing-after-keyword-fill"),
    pytest.param(lambda: sample_solutions(), TypeError,
                 "sample_solutions() missing 1 required positional argument: 'len'",
                 id="sample_solutions-no-argument"),
    pytest.param(lambda: rmsd(P, GT, sol=P), TypeError,
                 "rmsd() got multiple values for argument 'sol'", id="multiple-values"),
    pytest.param(lambda: rmsd(P, GT, foo=1), TypeError,
                 "rmsd() got an unexpected keyword argument 'foo'", id="unexpected-keyword"),
    pytest.param(lambda: rmsd(P, foo=1, sol=P), TypeError,
                 "rmsd() got an unexpected keyword argument 'foo'", id="keywords-in-given-order"),
    pytest.param(lambda: rmsd(P, sol=P, foo=1), TypeError,
                 "rmsd() got multiple values for argument 'sol'",
                 id="keywords-in-given-order-2"),
    pytest.param(lambda: rmsd("abc", foo=1), TypeError,
                 "rmsd() got an unexpected keyword argument 'foo'",
                 id="binding-before-conversion"),
    pytest.param(lambda: rmsd(P, GT, Sol=P), TypeError,
                 "rmsd() got an unexpected keyword argument 'Sol'", id="keyword-case-sensitive"),
    # Lists and points.
    pytest.param(lambda: rmsd("abc", GT), TypeError,
                 "argument 'sol': a str cannot be extracted as a list", id="str-as-sol"),
    pytest.param(lambda: rmsd(5, GT), TypeError,
                 "argument 'sol': 'int' object cannot be cast as 'Sequence'", id="int-as-sol"),
    pytest.param(lambda: rmsd({0: [0, 0, 0]}, GT), TypeError,
                 "argument 'sol': 'dict' object cannot be cast as 'Sequence'", id="dict-as-sol"),
    pytest.param(lambda: rmsd((p for p in P), GT), TypeError,
                 "argument 'sol': 'generator' object cannot be cast as 'Sequence'",
                 id="generator-as-sol"),
    pytest.param(lambda: rmsd(Outer.Inner(), GT), TypeError,
                 "argument 'sol': 'Outer.Inner' object cannot be cast as 'Sequence'",
                 id="qualified-type-name"),
    pytest.param(lambda: rmsd([[1.0, 2.0]], GT), ValueError,
                 "expected a sequence of length 3 (got 2)", id="two-coordinates-unprefixed"),
    pytest.param(lambda: rmsd([[1, 2, 3, 4]], GT), ValueError,
                 "expected a sequence of length 3 (got 4)", id="four-coordinates"),
    pytest.param(lambda: rmsd([5], GT), TypeError,
                 "argument 'sol': 'int' object cannot be cast as 'Sequence'", id="int-as-point"),
    pytest.param(lambda: rmsd([NoLen()], GT), TypeError,
                 "argument 'sol': object of type 'NoLen' has no len()", id="point-without-len"),
    pytest.param(lambda: rmsd(["abc"], GT), TypeError,
                 "argument 'sol': " + interpreter_message(math.sqrt, "a"),
                 id="three-letter-str-point-fails-on-first-letter"),
    pytest.param(lambda: rmsd([[0, 0, "x"]], GT), TypeError,
                 "argument 'sol': " + interpreter_message(math.sqrt, "x"), id="str-coordinate"),
    pytest.param(lambda: rmsd(P, "abc"), TypeError,
                 "argument 'gt': a str cannot be extracted as a list", id="str-as-gt"),
    pytest.param(lambda: rmsd(P, ["abc"]), TypeError,
                 "argument 'gt': a str cannot be extracted as a list", id="str-as-model"),
    pytest.param(lambda: rmsd(P, [P, [[0, 0, None]]]), TypeError,
                 "argument 'gt': " + interpreter_message(math.sqrt, None),
                 id="deep-coordinate-prefixed-with-gt"),
    pytest.param(lambda: rmsd(P, [[[0, 0]]]), ValueError,
                 "expected a sequence of length 3 (got 2)", id="short-point-in-gt"),
    pytest.param(lambda: rmsd([[RaisesValueError(), 0, 0]], GT), ValueError, "value text",
                 id="other-errors-pass-unchanged"),
    pytest.param(lambda: rmsd([[RaisesSubclass(), 0, 0]], GT), TypeErrorSubclass,
                 "subclass text", id="typeerror-subclass-passes-unchanged"),
    pytest.param(lambda: rmsd(np.array(1.0), GT), TypeError,
                 "argument 'sol': iteration over a 0-d array", id="zero-dim-array"),
    # Text.
    pytest.param(lambda: stats(5, GT, None), TypeError,
                 "argument 'seq': 'int' object cannot be cast as 'str'", id="int-as-seq"),
    pytest.param(lambda: minimize_cost(b"AAA", None), TypeError,
                 "argument 'seq': 'bytes' object cannot be cast as 'str'", id="bytes-as-seq"),
    pytest.param(lambda: sample_solutions(3, lattice=None), TypeError,
                 "argument 'lattice': 'NoneType' object cannot be cast as 'str'",
                 id="none-lattice"),
    pytest.param(lambda: sample_solutions(3, method=None), TypeError,
                 "argument 'method': 'NoneType' object cannot be cast as 'str'",
                 id="none-method-sample_solutions"),
    pytest.param(lambda: stats("A", GT, None, method=3), TypeError,
                 "argument 'method': 'int' object cannot be cast as 'str'",
                 id="int-method-stats"),
    # Integers.
    pytest.param(lambda: sample_solutions(3.0), TypeError,
                 "argument 'len': " + interpreter_message(operator.index, 3.0), id="float-len"),
    pytest.param(lambda: sample_solutions("3"), TypeError,
                 "argument 'len': " + interpreter_message(operator.index, "3"), id="str-len"),
    pytest.param(lambda: minimize_cost("A", None, kmin=None), TypeError,
                 "argument 'kmin': " + interpreter_message(operator.index, None),
                 id="none-kmin"),
    # Floats.
    pytest.param(lambda: sample_solutions(3, arc_length="4"), TypeError,
                 "argument 'arc_length': " + interpreter_message(math.sqrt, "4"),
                 id="str-arc_length"),
    pytest.param(lambda: correlation("A", GT, None, dmax=1j), TypeError,
                 "argument 'dmax': " + interpreter_message(math.sqrt, 1j), id="complex-dmax"),
    # Booleans.
    pytest.param(lambda: sample_solutions(3, pbar=1), TypeError,
                 "argument 'pbar': 'int' object cannot be cast as 'bool'", id="int-pbar"),
    pytest.param(lambda: minimize_rmsd(GT, pbar=None), TypeError,
                 "argument 'pbar': 'NoneType' object cannot be cast as 'bool'", id="none-pbar"),
    pytest.param(lambda: minimize_rmsd(GT, pbar=np.array(True)), TypeError,
                 "argument 'pbar': 'ndarray' object cannot be cast as 'bool'",
                 id="numpy-array-pbar"),
    pytest.param(lambda: minimize_rmsd(GT, pbar=fake_numpy_bool(False)), TypeError,
                 "argument 'pbar': object of type 'bool_' does not define a '__bool__' "
                 "conversion", id="numpy-bool-without-truth-slot"),
    # The first bad argument in parameter order wins, whatever the keyword order.
    pytest.param(lambda: sample_solutions(3, pbar=1, sample_size="x"), TypeError,
                 "argument 'sample_size': " + interpreter_message(operator.index, "x"),
                 id="first-bad-argument-wins"),
    pytest.param(lambda: rmsd(P, 5, ), TypeError,
                 "argument 'gt': 'int' object cannot be cast as 'Sequence'", id="gt-after-sol"),
    pytest.param(lambda: rmsd(gt=5, sol="x"), TypeError,
                 "argument 'sol': a str cannot be extracted as a list",
                 id="parameter-order-not-keyword-order"),
]


@pytest.mark.parametrize("call, error, message", FAILURES)
def test_binding_and_conversion_failures(call, error, message):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("call, error", [
    pytest.param(lambda: sample_solutions(-1), OverflowError, id="negative-len"),
    pytest.param(lambda: sample_solutions(2**64), OverflowError, id="len-2**64"),
    pytest.param(lambda: sample_solutions(3, sample_size=-(2**70)), OverflowError,
                 id="huge-negative"),
    pytest.param(lambda: stats("\ud800", GT, None), UnicodeEncodeError, id="lone-surrogate"),
    pytest.param(lambda: sample_solutions(3, arc_length=2**2000), OverflowError,
                 id="int-too-large-for-float"),
])
def test_interpreter_errors_pass_unprefixed(call, error):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is error
    assert not str(info.value).startswith("argument '")


def test_prefixed_error_keeps_the_original_cause():
    with pytest.raises(TypeError) as info:
        rmsd([[Chained(), 0, 0]], GT)
    assert str(info.value) == "argument 'sol': inner text"
    assert isinstance(info.value.__cause__, KeyError)
    assert info.value.__cause__.args == ("root",)


def test_prefixed_error_without_cause_has_none():
    with pytest.raises(TypeError) as info:
        rmsd([[0, 0, "x"]], GT)
    assert info.value.__cause__ is None


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __float__(self):
        return 2.5


def test_accepted_argument_kinds_reach_the_driver(panic_type):
    # An unknown method word is reported only after every argument converted.
    accepted = [
        dict(len=True),
        dict(len=np.int64(3), sample_size=np.uint8(2)),
        dict(len=Index(3), thermalization_factor=Index(2**64 - 1)),
        dict(len=2**64 - 1, autocorrelation_factor=0),
        dict(len=3, arc_length=4),
        dict(len=3, arc_length=FloatOnly()),
        dict(len=3, arc_length=Index(7)),
        dict(len=3, arc_length=np.float32(1.5)),
        dict(len=3, pbar=True),
        dict(len=3, pbar=np.bool_(False)),
        dict(len=3, pbar=fake_numpy_bool(True)),
        dict(len=3, lattice=type("Word", (str,), {})("fcc")),
    ]
    for kwargs in accepted:
        with pytest.raises(panic_type) as info:
            sample_solutions(method="unknown", **kwargs)
        assert str(info.value) == 'Method "unknown" is not recognized !', kwargs


def test_index_overflow_from_index_protocol():
    with pytest.raises(OverflowError):
        sample_solutions(Index(-1))


@pytest.mark.parametrize("sol", [
    pytest.param([(0, 0, 0), (1, 0, 0), (1, 1, 0), (1, 1, 1)], id="tuples-of-ints"),
    pytest.param(tuple(tuple(p) for p in P), id="tuple-of-tuples"),
    pytest.param(np.array(P), id="array"),
    pytest.param([np.array(p) for p in P], id="list-of-rows"),
    pytest.param([[True, False, False], [0, 0, 0], [1, 1, 0], [1, 1, 1]], id="bools"),
])
def test_point_forms_are_accepted(sol):
    expected = rmsd([[float(x) for x in p] for p in sol], GT)
    assert rmsd(sol, GT) == expected
    assert rmsd(sol, [sol]) == pytest.approx(0.0, abs=1e-12)


@pytest.mark.parametrize("method", [None, "unknown"])
def test_method_none_is_accepted_by_the_analyses(method, panic_type):
    # The cost object is never a cost, so whatever the drivers do, they stop with a panic
    # rather than refuse the None.
    for function in (correlation, stats):
        with pytest.raises(panic_type):
            function("AAAA", GT, object(), method=method)


# --- Option words ------------------------------------------------------------------------------

# (word, quoted form, the category of the character that decides it or None)
WORDS = [
    ("iterate", '"iterate"', None),
    ("FCC", '"FCC"', None),
    (" fcc", '" fcc"', "Zs"),  # the ASCII space stays printable
    ("pivot ", '"pivot "', "Zs"),
    ("it's", "\"it's\"", None),
    ('say "x"', '"say \\"x\\""', None),
    ("back\\slash", '"back\\\\slash"', None),
    ("a\tb\rc\nd\0e", '"a\\tb\\rc\\nd\\0e"', "Cc"),
    ("\x01", '"\\u{1}"', "Cc"),
    ("\x7f", '"\\u{7f}"', "Cc"),
    ("\x85", '"\\u{85}"', "Cc"),
    ("\u00ad", '"\\u{ad}"', "Cf"),
    ("zero\u200bwidth", '"zero\\u{200b}width"', "Cf"),
    ("\u00a0", '"\\u{a0}"', "Zs"),
    ("\u2028", '"\\u{2028}"', "Zl"),
    ("\u2029", '"\\u{2029}"', "Zp"),
    ("\ue000", '"\\u{e000}"', "Co"),
    ("\u0378", '"\\u{378}"', "Cn"),
    ("e\u0301", '"e\\u{301}"', "Mn"),
    ("\u20dd", '"\\u{20dd}"', "Me"),
    ("\u09be", '"\\u{9be}"', "Mc"),  # spacing mark, but Other_Grapheme_Extend
    ("\u0903", '"\u0903"', "Mc"),  # spacing mark that does not extend: printed
    ("t\u00e9traedre", '"t\u00e9traedre"', "Ll"),
    ("\u683c\u5b50", '"\u683c\u5b50"', "Lo"),
    ("\U0001f600", '"\U0001f600"', "So"),
    ("\U000e0041", '"\\u{e0041}"', "Cf"),
]


@pytest.mark.parametrize("word, quoted, category", WORDS, ids=[repr(w[0]) for w in WORDS])
def test_unknown_words_are_quoted(word, quoted, category, panic_type):
    if category is not None:
        assert category in {unicodedata.category(c) for c in word}
    with pytest.raises(panic_type) as info:
        sample_solutions(3, method=word)
    assert str(info.value) == f"Method {quoted} is not recognized !"
    with pytest.raises(panic_type) as info:
        minimize_rmsd(GT, lattice=word)
    assert str(info.value) == f"Lattice {quoted} is not recognized !"


def test_method_is_resolved_before_lattice(panic_type):
    with pytest.raises(panic_type) as info:
        sample_solutions(3, method="Pivot", lattice="FCC")
    assert str(info.value) == 'Method "Pivot" is not recognized !'


@pytest.mark.parametrize("method", ["pivot", "dimerize", "enumerate"])
def test_method_words_are_recognised(method, panic_type):
    with pytest.raises(panic_type) as info:
        sample_solutions(3, method=method, lattice="square")
    assert str(info.value) == 'Lattice "square" is not recognized !'


@pytest.mark.parametrize("lattice", ["tetrahedral", "fcc", "bcc", "cubic"])
def test_lattice_words_are_recognised(lattice):
    try:
        minimize_rmsd([[[0.0, 0.0, 0.0]]], lattice=lattice)
    except BaseException as error:  # noqa: BLE001 - any stop but the lattice one is fine here
        assert "is not recognized" not in str(error)


def test_empty_ground_truth_is_reported_before_the_lattice(panic_type):
    with pytest.raises(panic_type) as info:
        minimize_rmsd([], lattice="FCC")
    assert str(info.value) == "assertion failed: gt.len() > 0"


# --- numpy arrays: the buffer path must give what the sequence path gives ---------------------

def as_nested_scalars(array):
    """The same values as plain lists of numpy scalars: conversion takes the sequence path."""
    if type(array) is np.ndarray and array.ndim > 0:
        return [as_nested_scalars(row) for row in array]
    if isinstance(array, np.ndarray) and array.ndim > 0:
        return list(array)  # a subclass (numpy.matrix) keeps its own items
    return array


def outcome(call):
    """A call's result or error in a comparable form (NaN compared by its bits)."""
    try:
        return ("value", struct.pack("<d", call()))
    except BaseException as error:  # noqa: BLE001 - the error itself is compared
        return (type(error), str(error))


BASE = np.array([[0.5, -1.25, 2.0], [3.0, 0.0, -4.5], [1.0, 7.0, 0.25], [-2.0, 2.5, 9.0],
                 [6.0, -3.0, 1.5]])
REFERENCE_GT = [[[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [1.0, 1.0, 1.0],
                 [3.0, 1.0, 2.0]]]

with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)  # numpy.matrix is discouraged
    MATRIX = np.asmatrix(BASE)

ARRAYS = {
    "float64": BASE,
    "float64-view-at-an-offset": np.vstack([BASE[2:3], BASE])[1:],  # contiguous, buf not at 0
    "float32": BASE.astype(np.float32) / np.float32(3),  # values not exact in float32
    "float16": BASE.astype(np.float16),
    "longdouble": BASE.astype(np.longdouble) / 3,
    "int64": (BASE * 4).astype(np.int64),
    "int64-beyond-2**53": (BASE * 4).astype(np.int64) + 2**60 + 1,
    "uint64-beyond-2**63": np.abs(BASE * 4).astype(np.uint64) + np.uint64(2**64 - 3),
    "int32": (BASE * 4).astype(np.int32),
    "uint32": np.abs(BASE * 4).astype(np.uint32) + np.uint32(4_000_000_000),
    "int16": (BASE * 4).astype(np.int16),
    "uint16": np.abs(BASE * 4).astype(np.uint16),
    "int8": (BASE * 4).astype(np.int8),
    "uint8": np.abs(BASE * 4).astype(np.uint8),
    "bool": BASE > 0,
    "bool-bytes-not-0-or-1": np.frombuffer(bytes(range(15)), dtype=np.bool_).reshape(5, 3),
    "big-endian": BASE.astype(">f8"),
    "object": BASE.astype(object),
    "complex": BASE.astype(complex),
    "fortran-order": np.asfortranarray(BASE),
    "strided-rows": np.repeat(BASE, 2, axis=0)[::2],
    "column-slice": np.hstack([BASE, BASE])[:, 1:4],
    "transposed": np.ascontiguousarray(BASE.T).T,
    "read-only": np.frombuffer(BASE.tobytes(), dtype=np.float64).reshape(5, 3),
    "matrix": MATRIX,
    "empty": np.zeros((0, 3)),
    "empty-wrong-width": np.zeros((0, 2)),
    "width-2": BASE[:, :2].copy(),
    "width-4": np.hstack([BASE, BASE[:, :1]]),
    "three-dim": BASE.reshape(5, 1, 3),
    "one-dim": BASE[0].copy(),
}


@pytest.mark.filterwarnings("ignore:Casting complex values to real")
@pytest.mark.parametrize("name", list(ARRAYS))
def test_array_as_structure_matches_the_sequence_path(name):
    array = ARRAYS[name]
    gt = REFERENCE_GT if len(array) == 5 else [[[0.0, 0.0, 0.0]] * len(array)]
    assert outcome(lambda: rmsd(array, gt)) == outcome(lambda: rmsd(as_nested_scalars(array), gt))


@pytest.mark.parametrize("name", ["float64", "float64-view-at-an-offset", "float32", "int64",
                                  "bool", "fortran-order", "width-2", "empty"])
@pytest.mark.parametrize("best_last", [False, True], ids=["best-first", "best-last"])
def test_array_as_ground_truth_matches_the_sequence_path(name, best_last):
    # With the matching model last, a later model read from the wrong place shows in the least.
    pair = [ARRAYS[name], ARRAYS[name][::-1]]
    models = np.stack(pair[::-1] if best_last else pair)
    sol = BASE[: models.shape[1]] + 0.125
    fast = outcome(lambda: rmsd(sol, models))
    assert fast == outcome(lambda: rmsd(sol, as_nested_scalars(models)))
    assert fast == outcome(lambda: rmsd(sol, list(models)))


def test_float32_values_are_widened_not_rounded_again():
    # Each float32 coordinate must arrive as its exact double value.
    values = np.array([[0.1, 0.2, 0.3], [1.1, 1.2, 1.3], [2.1, 2.2, 2.9]], dtype=np.float32)
    widened = values.astype(np.float64)
    assert rmsd(values, [widened.tolist()]) == rmsd(widened.tolist(), [widened.tolist()])
    assert rmsd(values, [values]) == rmsd(widened, [widened])
