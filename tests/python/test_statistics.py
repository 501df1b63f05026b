"""stats and correlation against scipy: a recording Python cost keeps every sampled structure in
sampling order, and vexa_stats.rmsd gives the RMSD the module paired with each cost."""

import math

import numpy as np
import pytest
import scipy.stats

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


ONE_POINT = [[[0.0, 0.0, 0.0]]]

pytestmark = pytest.mark.skipif(
    _not_wired(vexa_stats.stats, "A", ONE_POINT, _zero, sample_size=1, method="enumerate",
               lattice="cubic")
    or _not_wired(vexa_stats.correlation, "A", ONE_POINT, _zero, sample_size=1,
                  method="enumerate", lattice="cubic"),
    reason="stats or correlation is not wired yet",
)

# A bent five-residue model, off the lattice, so that RMSDs spread with some ties.
MODEL = [[0.0, 0.0, 0.0], [3.8, 0.0, 0.0], [3.8, 3.8, 0.0], [3.1, 4.9, 3.1], [0.0, 5.5, 4.0]]


class Recorder:
    """A cost that keeps each structure and the value it returned, in call order."""

    def __init__(self, value):
        self.value = value
        self.structures = []
        self.costs = []

    def __call__(self, seq, coordinates):
        cost = self.value(np.array(coordinates))
        self.structures.append(coordinates)
        self.costs.append(cost)
        return cost


COSTS = {
    # Few distinct values: long runs of ties.
    "ties": lambda p: float(round(np.abs(p).sum() / 3.8) % 4),
    # Radius of gyration: distinct for most structures.
    "spread": lambda p: float(np.sqrt(((p - p.mean(axis=0)) ** 2).sum(axis=1).mean())),
    "end-to-end": lambda p: float(np.linalg.norm(p[-1] - p[0])),
    "constant": lambda p: 1.25,
}


def expected_summary(costs, rmsds):
    lo = costs.index(min(costs))  # first structure with the least cost
    hi = costs.index(max(costs))
    return (
        (min(costs), np.mean(costs), max(costs)),
        (min(rmsds), np.mean(rmsds), max(rmsds)),
        (rmsds[lo], rmsds[hi]),
    )


@pytest.mark.parametrize("cost_name", list(COSTS))
@pytest.mark.parametrize(
    "method, sample_size",
    [("enumerate", 0), ("pivot", 300), ("dimerize", 300)],
    ids=["enumerate", "pivot", "dimerize"],
)
def test_stats_against_scipy(method, sample_size, cost_name):
    recorder = Recorder(COSTS[cost_name])
    result = vexa_stats.stats("ACDEF", [MODEL], recorder, sample_size=sample_size,
                              method=method, lattice="cubic")
    costs = recorder.costs
    rmsds = [vexa_stats.rmsd(s, [MODEL]) for s in recorder.structures]
    if method == "enumerate":
        assert len(costs) == 726  # OEIS A001412: self-avoiding walks of 4 steps, cubic lattice
    else:
        assert len(costs) == sample_size

    correlation, cost_range, rmsd_range, cost_rmsds = result
    if cost_name == "constant":
        assert math.isnan(correlation)
    else:
        assert abs(correlation - scipy.stats.spearmanr(costs, rmsds).statistic) <= 1e-12
    want_costs, want_rmsds, want_cost_rmsds = expected_summary(costs, rmsds)
    assert (cost_range[0], cost_range[2]) == (want_costs[0], want_costs[2])
    assert cost_range[1] == pytest.approx(want_costs[1], rel=1e-12)
    assert (rmsd_range[0], rmsd_range[2]) == (want_rmsds[0], want_rmsds[2])
    assert rmsd_range[1] == pytest.approx(want_rmsds[1], rel=1e-12)
    assert cost_rmsds == want_cost_rmsds


def nan_last_ranks(values):
    """Average ranks with every NaN after the numbers, in input order, each in its own group."""
    values = np.asarray(values, dtype=float)
    top = np.nanmax(values) if not np.all(np.isnan(values)) else 0.0
    keyed = values.copy()
    nans = np.flatnonzero(np.isnan(values))
    keyed[nans] = top + 1.0 + np.arange(len(nans))
    return scipy.stats.rankdata(keyed) - 1.0


def test_nan_costs_are_ranked_last():
    recorder = Recorder(lambda p: math.nan if p[1, 0] > 0 else float(np.abs(p).sum()))
    result = vexa_stats.stats("ACDEF", [MODEL], recorder, method="enumerate", lattice="cubic")
    rmsds = [vexa_stats.rmsd(s, [MODEL]) for s in recorder.structures]
    assert any(math.isnan(c) for c in recorder.costs)
    expected = np.corrcoef(nan_last_ranks(recorder.costs), scipy.stats.rankdata(rmsds))[0, 1]
    assert abs(result[0] - expected) <= 1e-12
    assert math.isnan(result[1][1])  # the mean sees the NaNs


def test_correlation_is_the_first_stat():
    recorder = Recorder(COSTS["spread"])
    stats = vexa_stats.stats("ACDEF", [MODEL], recorder, method="enumerate", lattice="cubic")
    correlation = vexa_stats.correlation("ACDEF", [MODEL], recorder, method="enumerate",
                                         lattice="cubic")
    assert correlation == stats[0]
    # The enumeration is deterministic: both operations saw the same structures in order.
    assert recorder.structures[:726] == recorder.structures[726:]


def test_monotone_transform_keeps_the_correlation():
    spread = COSTS["spread"]
    plain = vexa_stats.correlation("ACDEF", [MODEL], lambda s, c: spread(np.array(c)),
                                   method="enumerate", lattice="cubic")
    exp = vexa_stats.correlation("ACDEF", [MODEL], lambda s, c: math.exp(spread(np.array(c))),
                                 method="enumerate", lattice="cubic")
    assert plain == exp


def test_one_structure():
    correlation, costs, rmsds, cost_rmsds = vexa_stats.stats(
        "A", ONE_POINT, lambda s, c: 4.0, method="enumerate", lattice="cubic")
    assert math.isnan(correlation)
    assert costs == (4.0, 4.0, 4.0)
    assert rmsds == (0.0, 0.0, 0.0)
    assert cost_rmsds == (0.0, 0.0)


@pytest.mark.parametrize("function", [vexa_stats.stats, vexa_stats.correlation],
                         ids=["stats", "correlation"])
@pytest.mark.parametrize("method", ["pivot", "dimerize"])
def test_empty_sample_stops(function, method):
    with pytest.raises(BaseException) as info:
        function("ACDEF", [MODEL], _zero, sample_size=0, method=method, lattice="cubic")
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "Cannot calculate the mean of an empty Vec !"
