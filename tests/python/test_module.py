"""The module object: function table, text signatures, docstrings, PanicException, re-init."""

import ctypes
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vexa_stats

NAMES = ["stats", "correlation", "sample_solutions", "minimize_rmsd", "minimize_cost", "rmsd"]

SIGNATURES = {
    "rmsd": "(sol, gt)",
    "sample_solutions": '(len, sample_size=10000, method="pivot", thermalization_factor=10, '
    'autocorrelation_factor=10, lattice="tetrahedral", arc_length=3.8, pbar=False)',
    "correlation": '(seq, gt, cost, sample_size=10000, method=None, thermalization_factor=100, '
    'autocorrelation_factor=10, lattice="tetrahedral", arc_length=3.8, kmin=1, dmax=7.8, '
    "pbar=False)",
    "stats": '(seq, gt, cost, sample_size=10000, method=None, thermalization_factor=100, '
    'autocorrelation_factor=10, lattice="tetrahedral", arc_length=3.8, kmin=1, dmax=7.8, '
    "pbar=False)",
    "minimize_cost": '(seq, cost, lattice="tetrahedral", arc_length=3.8, kmin=1, dmax=7.8, '
    "pbar=False)",
    "minimize_rmsd": '(gt, lattice="tetrahedral", arc_length=3.8, pbar=False)',
}

# The user documentation, parameter by parameter: (description, type).
GT = ("The groudn truth. A list of 3D strctures (list of lists of 3D vectors).",
      "list of floats of shape (k,n,3)")
PARAMS = {
    "sol": ("A 3D structure (list of 3D vectors).", "list of floats of shape (n, 3)"),
    "gt": GT,
    "seq": ("The sequence of the protein.", "str"),
    "cost": ("The cost function to be calculated. Can be a string tuple containing lua code and "
             "lua function name, a list of weight or an arbitrary python function.",
             "(str, str) | dict(dict(str)) | fun(seq : str, coordinates : list(list(f64))) -> f64"),
    "len": ("The length of the structures.", "int"),
    "sample_size": ('The number of structures. Ignored if method="iterate".',
                    "int, default: 10000"),
    "method": ("The sampling method.", 'str, default: "pivot"'),
    "thermalization_factor": ("The thermalization factor of the pivot algorithm. Ignored for "
                              'methods other than "pivot".', "int, default: 100"),
    "autocorrelation_factor": ("The autocorrelation factor of the pivot algorithm. Ignored for "
                               'methods other than "pivot".', "int, default: 10"),
    "lattice": ("The 3D lattice used to sample structures.", 'str, default: "tetrahedral"'),
    "arc_length": ("The length of the lattice's arcs.", "float, default: 3.8"),
    "kmin": ("The minimum sequence distance for interactions. Ignored of cost isn't a "
             "dictionnary of energy coefficients.", "int, default: 1"),
    "dmax": ("The maximum euclidian distance for interactions. Ignored of cost isn't a "
             "dictionnary of energy coefficients.", "float, default: 7.8"),
    "pbar": ("If true, show a progress bar.", "bool, default: false"),
}
OVERRIDES = {
    ("rmsd", "gt"): ("A list of 3D strctures (list of lists of 3D vectors).", GT[1]),
    ("sample_solutions", "thermalization_factor"): (PARAMS["thermalization_factor"][0],
                                                    "int, default: 10"),
}
RMSD_RETURN = ("This function returns the the minimum rmsd between `sol` and each of the "
               "structures in `gt`.")
WALK_RTYPE = ("list of floats of shape (len,3). **DO NOT RUN THIS FOR LARGE SEQUENCES AS IT "
              "ENUMERATES ALL FEASIBLE SOLUTIONS WHICH GROW EXPONENTIALLY WITH THE SEQUENCE "
              "LENGTH !!!**")
SUMMARIES = {
    "rmsd": "A function that calculates the rmsd. This is how the rmsd is calculated when the "
    "correlation or other statistics are computed.\n\nThe idea is to get the rmsd between a given "
    "structure and a list of structures (usually the models obtained from wetlabs experiments).",
    "sample_solutions": "This function generates and returns a list of 3D self avoinding walk on "
    "a given lattice.",
    "correlation": "This function calculate the correlation factor for a cost function on a VEXA "
    "instance.",
    "stats": "This function calculate several stats for a cost function on a VEXA instance.",
    "minimize_cost": "This function calculates the structure with minimum cost on a given "
    "lattice.",
    "minimize_rmsd": "This function calculates the structure with minimum rmsd aginst ground "
    "truth on a given lattice.",
}
RETURNS = {
    "rmsd": (RMSD_RETURN, "float"),
    "sample_solutions": ("A list of 3D self avoiding walk on the lattice.",
                         'list of floats of shape (k,len,3). If the method is not "iterate", '
                         "then k=sample_size."),
    "correlation": ('The correlation coefficient of function "cost" for the protein.',
                    "float between -1 and 1"),
    "stats": ("(correlation, (min_cost, avg_cost, max_cost), (min_rmsd, avg_rmsd, max_rmsd), "
              "(min_cost_rmsd, max_cost_rmsd))",
              "(float, (float, float, float), (float, float, float), (float, float))"),
    "minimize_cost": ("A 3D self avoiding walk on the lattice.", WALK_RTYPE),
    "minimize_rmsd": ("A 3D self avoiding walk on the lattice.", WALK_RTYPE),
}
RMSD_CLOSING = [RMSD_RETURN, "This function uses the kabsh algorithm to align the structures.",
                "This function panic if two structures do not have the same length."]


def expected_doc(name):
    """__doc__ as the interpreter shows it: the docstring after the signature and '--' lines."""
    lines = [SUMMARIES[name], ""]
    for param in inspect.signature(getattr(vexa_stats, name)).parameters:
        description, kind = OVERRIDES.get((name, param), PARAMS[param])
        lines += [f":param {param}: {description}", f":type {param}: {kind}", ""]
    ret, rtype = RETURNS[name]
    lines += [f":return: {ret}", f":rtype: {rtype}"]
    if name == "rmsd":
        lines += [""] + RMSD_CLOSING
    return "\n".join(lines)


def test_all_lists_the_functions_in_registration_order():
    assert vexa_stats.__all__ == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_function_is_a_builtin_of_the_module(name):
    function = getattr(vexa_stats, name)
    assert inspect.isbuiltin(function)
    assert function.__name__ == name
    assert function.__module__ == "vexa_stats"
    assert function.__self__ is vexa_stats


@pytest.mark.parametrize("name", NAMES)
def test_text_signature(name):
    assert getattr(vexa_stats, name).__text_signature__ == SIGNATURES[name]


@pytest.mark.parametrize("name", NAMES)
def test_every_parameter_is_positional_or_keyword(name):
    parameters = inspect.signature(getattr(vexa_stats, name)).parameters.values()
    assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize("name, param, default", [
    ("correlation", "method", None),
    ("correlation", "thermalization_factor", 100),
    ("stats", "dmax", 7.8),
    ("sample_solutions", "method", "pivot"),
    ("sample_solutions", "thermalization_factor", 10),
    ("minimize_cost", "kmin", 1),
    ("minimize_rmsd", "pbar", False),
    ("minimize_rmsd", "gt", inspect.Parameter.empty),
], ids=lambda v: str(v))
def test_inspect_shows_defaults(name, param, default):
    assert inspect.signature(getattr(vexa_stats, name)).parameters[param].default == default


@pytest.mark.parametrize("name", NAMES)
def test_full_docstring(name):
    assert getattr(vexa_stats, name).__doc__ == expected_doc(name)


def test_stats_doc_lists_its_twelve_parameters_in_order():
    doc = vexa_stats.stats.__doc__
    assert doc.startswith("This function calculate several stats")
    params = [line.split(":")[1].split()[1] for line in doc.splitlines()
              if line.startswith(":param ")]
    assert params == ["seq", "gt", "cost", "sample_size", "method", "thermalization_factor",
                      "autocorrelation_factor", "lattice", "arc_length", "kmin", "dmax", "pbar"]


def test_panic_exception_derives_directly_from_base_exception(panic_type):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert "BaseException" in panic_type.__doc__


def test_panic_escapes_except_exception_and_the_next_call_works(panic_type):
    with pytest.raises(BaseException) as info:
        try:
            vexa_stats.sample_solutions(4, lattice="hexagonal")
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert type(info.value) is panic_type  # created once: the same type every time
    assert info.value.args == ('Lattice "hexagonal" is not recognized !',)
    assert str(info.value) == 'Lattice "hexagonal" is not recognized !'
    assert vexa_stats.rmsd([[0, 0, 0], [1, 0, 0]], [[[0, 0, 0], [1, 0, 0]]]) == 0.0


def test_second_init_returns_the_same_module():
    library = ctypes.PyDLL(vexa_stats.__file__)
    library.PyInit_vexa_stats.restype = ctypes.py_object
    again = library.PyInit_vexa_stats()
    assert again is vexa_stats
    assert again.__all__ == NAMES


def test_reimport_after_removal_from_sys_modules_reuses_the_module():
    saved = sys.modules.pop("vexa_stats")
    try:
        import vexa_stats as again  # noqa: PLC0415
        assert again is saved
    finally:
        sys.modules["vexa_stats"] = saved


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm (binutils) is not installed")
def test_shared_object_exports_only_the_initialiser():
    out = subprocess.run(["nm", "-D", "--defined-only", vexa_stats.__file__],
                         check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == [
        "PyInit_vexa_stats"]


def test_import_in_a_sub_interpreter_fails_with_import_error():
    interpreters = pytest.importorskip(
        "_xxsubinterpreters", reason="no sub-interpreter module in this Python")
    read, write = os.pipe()
    code = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(vexa_stats.__file__)!r})
        try:
            import vexa_stats
            result = "imported"
        except ImportError as error:
            result = "ImportError: " + str(error)
        os.write({write}, result.encode())
    """)
    interpreter = interpreters.create()
    try:
        interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)
        os.close(write)
    with os.fdopen(read) as pipe:
        assert pipe.read().startswith("ImportError: ")
