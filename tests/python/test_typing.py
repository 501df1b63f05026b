"""The installed type stubs: found by mypy, precise enough to refuse misuse, true to the module."""

from __future__ import annotations

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed (requirements-dev.txt)", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]


def run_mypy(cache: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # The interpreter running the tests is the one the module and its stubs are installed in.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir",
         str(cache), *args],
        capture_output=True, text=True, cwd=ROOT, timeout=600)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy_cache")


def _has(*modules: str) -> bool:
    return all(importlib.util.find_spec(m) is not None for m in modules)


@pytest.mark.parametrize(
    "path",
    [
        "tests/python/typed_usage.py",
        pytest.param("examples/demo.py", marks=pytest.mark.skipif(
            not _has("gemmi", "matplotlib"), reason="demo requirements not installed")),
    ],
    ids=["typed_usage", "demo"],
)
def test_strict_mypy_accepts(mypy_cache: Path, path: str) -> None:
    result = run_mypy(mypy_cache, path)
    assert result.returncode == 0, result.stdout + result.stderr


# Each line misuses the API; the stubs must make mypy report an error on that very line.
MISUSE = {
    "float_result_is_not_int": 'a: int = vexa_stats.rmsd([[0.0, 0.0, 0.0]], [[[0.0, 0.0, 0.0]]])',
    "str_is_no_structure": 'vexa_stats.rmsd("abc", [[[0.0, 0.0, 0.0]]])',
    "str_is_no_point": 'vexa_stats.rmsd([[0.0, 0.0, 0.0]], [["xyz"]])',
    "number_is_no_cost": 'vexa_stats.correlation("AG", [], 42)',
    "one_item_tuple_is_no_lua_cost": 'vexa_stats.correlation("AG", [], ("f",))',
    "energies_are_numbers": 'vexa_stats.stats("AG", [], {"A": {"G": "x"}})',
    "cost_takes_two_arguments": 'vexa_stats.minimize_cost("AG", len)',
    "cost_returns_a_number": 'vexa_stats.minimize_cost("AG", lambda s, c: "cheap")',
    "sample_method_not_none": 'vexa_stats.sample_solutions(3, method=None)',
    "length_is_an_integer": 'vexa_stats.sample_solutions(3.0)',
    "pbar_is_bool": 'vexa_stats.minimize_rmsd([], pbar=1)',
    "unknown_keyword": 'vexa_stats.stats("A", [], {}, foo=1)',
    "missing_argument": 'vexa_stats.correlation("A", [])',
    "stats_pair_is_last": 'b: tuple[float, float] = vexa_stats.stats("A", [], {})[1]',
    "walk_coordinates_are_floats": 'c: str = vexa_stats.sample_solutions(3)[0][0][0]',
    "structure_is_nested_list": 'd: list[float] = vexa_stats.minimize_rmsd([])',
    "panic_is_no_exception": 'e: Exception = vexa_stats.PanicException()',
}


@pytest.fixture(scope="module")
def misuse_errors(tmp_path_factory: pytest.TempPathFactory, mypy_cache: Path) -> dict[int, str]:
    source = tmp_path_factory.mktemp("misuse") / "misuse.py"
    source.write_text("import vexa_stats\n" + "\n".join(MISUSE.values()) + "\n")
    result = run_mypy(mypy_cache, str(source))
    errors: dict[int, str] = {}
    for match in re.finditer(r"^[^\n]*misuse\.py:(\d+): error: ([^\n]*)", result.stdout, re.M):
        errors.setdefault(int(match[1]), match[2])
    # Line 1 is the import: an error there means the stubs were not found at all.
    assert 1 not in errors, result.stdout
    return errors


@pytest.mark.parametrize("line", range(2, len(MISUSE) + 2), ids=list(MISUSE))
def test_strict_mypy_refuses(misuse_errors: dict[int, str], line: int) -> None:
    assert line in misuse_errors, f"mypy accepted: {list(MISUSE.values())[line - 2]}"


def test_stubs_match_the_module(mypy_cache: Path) -> None:
    # stubtest imports the module and compares names, parameters, defaults and __all__.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "vexa_stats"],
        capture_output=True, text=True, cwd=ROOT, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
