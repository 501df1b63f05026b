"""Shared fixtures: the module, its panic type, and an independent numpy Kabsch RMSD."""

import numpy as np
import pytest

import vexa_stats


@pytest.fixture(scope="session")
def panic_type():
    """PanicException is not a module attribute: take it from a stop."""
    with pytest.raises(BaseException) as info:
        vexa_stats.rmsd([[0.0, 0.0, 0.0]], [])
    return type(info.value)


def numpy_kabsch_rmsd(structure, model):
    """Textbook Kabsch (proper rotations only) with numpy's LAPACK SVD: moves the model onto the
    structure and returns the RMSD."""
    s = np.asarray(structure, dtype=float)
    g = np.asarray(model, dtype=float)
    a = s - s.mean(axis=0)
    b = g - g.mean(axis=0)
    u, _, vt = np.linalg.svd(b.T @ a)
    d = np.sign(np.linalg.det(vt.T @ u.T)) or 1.0
    rotation = vt.T @ np.diag([1.0, 1.0, d]) @ u.T
    return float(np.sqrt(np.mean(np.sum((b @ rotation.T - a) ** 2, axis=1))))


@pytest.fixture(scope="session")
def kabsch():
    return numpy_kabsch_rmsd


@pytest.fixture
def rng():
    return np.random.default_rng(20240611)
