"""rmsd against an independent numpy Kabsch, its geometry and its failures."""

import math

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

from vexa_stats import rmsd

CHIRAL = np.array([[0, 0, 0], [3.8, 0, 0], [3.8, 3.8, 0], [3.8, 3.8, 3.8], [0, 3.8, 5.0]])
PLANAR = np.array([[0, 0, 0], [3.8, 0, 0], [3.8, 3.8, 0], [7.6, 3.8, 0], [9.0, 1.0, 0]])
MIRROR = np.diag([-1.0, 1.0, 1.0])


def assert_close(actual, expected):
    if expected >= 0.01:
        assert abs(actual - expected) <= 1e-12 * expected
    else:
        assert abs(actual - expected) <= 1e-12


@pytest.mark.parametrize("n", [3, 4, 10, 100])
def test_matches_numpy_kabsch_on_random_structures(n, rng, kabsch):
    for _ in range(25):
        sol = rng.normal(scale=10.0, size=(n, 3))
        model = rng.normal(scale=10.0, size=(n, 3))
        assert_close(rmsd(sol.tolist(), [model.tolist()]), kabsch(sol, model))


def test_matches_numpy_kabsch_on_noisy_copies(rng, kabsch):
    # Small RMSDs: a rotated, shifted copy with noise of decreasing size.
    sol = rng.normal(scale=10.0, size=(30, 3))
    for noise in (1.0, 1e-2, 1e-4, 1e-6):
        model = Rotation.random(random_state=1).apply(sol) + 5.0
        model += rng.normal(scale=noise, size=model.shape)
        assert_close(rmsd(sol, [model]), kabsch(sol, model))


def test_least_rmsd_over_several_models(rng, kabsch):
    sol = rng.normal(scale=5.0, size=(20, 3))
    models = [sol + rng.normal(scale=s, size=sol.shape) for s in (3.0, 0.5, 2.0, 0.5 + 1e-9)]
    expected = min(kabsch(sol, m) for m in models)
    assert_close(rmsd(sol, models), expected)
    assert rmsd(sol, models) == rmsd(sol, [models[1]])


@pytest.mark.parametrize("structure, moved, expected", [
    pytest.param(CHIRAL, Rotation.from_euler("xyz", [10, 70, -30], degrees=True).apply(CHIRAL)
                 + [4.0, -2.0, 11.0], 0.0, id="rotated-translated-copy"),
    pytest.param(CHIRAL, CHIRAL, 0.0, id="identical"),
    pytest.param(PLANAR, PLANAR @ MIRROR, 0.0, id="planar-mirror"),
    pytest.param(np.array([[1.0, 2.0, 3.0]]), np.array([[-7.0, 0.5, 100.0]]), 0.0,
                 id="one-point"),
    # Centred, the pair is +-1 against +-2 on one line: each point misses by 1.
    pytest.param(np.array([[0.0, 0, 0], [2, 0, 0]]), np.array([[0.0, 0, 0], [0, 0, 4]]), 1.0,
                 id="stretched-pair"),
])
def test_worked_geometry(structure, moved, expected):
    assert rmsd(structure.tolist(), [moved.tolist()]) == pytest.approx(expected, abs=1e-12)


def test_mirror_image_of_a_chiral_structure_is_not_superposed(kabsch):
    mirrored = CHIRAL @ MIRROR
    value = rmsd(CHIRAL, [mirrored])
    assert value > 0.5
    assert_close(value, kabsch(CHIRAL, mirrored))


def test_roles_can_be_swapped(rng):
    a = rng.normal(size=(12, 3))
    b = rng.normal(size=(12, 3))
    assert rmsd(a, [b]) == pytest.approx(rmsd(b, [a]), rel=1e-12)


def test_empty_structure_against_an_empty_model_is_nan():
    assert math.isnan(rmsd([], [[]]))


def test_longer_later_models_are_cut():
    models = [(CHIRAL @ MIRROR).tolist(), CHIRAL.tolist() + [[50.0, 50.0, 50.0]]]
    assert rmsd(CHIRAL, models) == pytest.approx(0.0, abs=1e-12)


@pytest.mark.parametrize("sol, gt, message", [
    pytest.param(CHIRAL, [], "The ground truth must have at least one model !", id="no-model"),
    pytest.param(CHIRAL, [CHIRAL, CHIRAL[:3]],
                 "index out of bounds: the len is 3 but the index is 3", id="shorter-model"),
    pytest.param(np.vstack([CHIRAL, [[1.0, 1.0, 1.0]]]), [CHIRAL],
                 "assertion `left == right` failed\n  left: 6\n right: 5",
                 id="structure-one-point-longer"),
    pytest.param(CHIRAL[:4], [CHIRAL],
                 "assertion `left == right` failed\n  left: 4\n right: 5",
                 id="structure-shorter"),
])
def test_failures_are_panics(sol, gt, message, panic_type):
    with pytest.raises(panic_type) as info:
        rmsd(sol, gt)
    assert str(info.value) == message


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_coordinates_terminate(bad):
    sol = CHIRAL.copy()
    sol[2, 1] = bad
    assert math.isnan(rmsd(sol, [CHIRAL]))
    assert math.isnan(rmsd(CHIRAL, [sol]))


def test_a_million_points():
    # Few distinct point objects keep the list cheap; the conversion still reads every one.
    points = [[float(i), float(i * i % 7), float(i % 3)] for i in range(11)]
    sol = [points[i % 11] for i in range(1_000_000)]
    assert rmsd(sol, [sol]) == pytest.approx(0.0, abs=1e-9)


class ExplodingFloat:
    def __float__(self):
        raise RuntimeError("no float here")


@pytest.mark.parametrize("sol, error", [
    pytest.param(([0.0, 0.0, 0.0] for _ in range(3)), TypeError, id="generator"),
    pytest.param({"a": [0.0, 0.0, 0.0]}, TypeError, id="dict"),
    pytest.param([[ExplodingFloat(), 0.0, 0.0]], RuntimeError, id="float-raises"),
])
def test_bad_input_raises_cleanly(sol, error):
    with pytest.raises(error):
        rmsd(sol, [[[0.0, 0.0, 0.0]]])
    assert rmsd([[0.0, 0.0, 0.0]], [[[1.0, 1.0, 1.0]]]) == 0.0
