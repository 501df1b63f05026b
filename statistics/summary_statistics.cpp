#include "summary_statistics.hpp"

#include "rank_correlation.hpp"
#include "stop.hpp"

#include <cstddef>

namespace vexa {

namespace {

struct Scan {
  std::size_t lo = 0;
  std::size_t hi = 0;
  double sum = 0.0;
};

// Strict comparisons: the first extreme in sampling order wins and a NaN never replaces one.
Scan scan(std::span<const double> values) {
  if (values.empty()) {
    throw Stop("assertion failed: l.len() != 0");
  }
  Scan s;
  s.sum = values[0];
  for (std::size_t i = 1; i < values.size(); ++i) {
    const double v = values[i];
    if (values[s.lo] > v) {
      s.lo = i;
    }
    s.sum += v;
    if (v > values[s.hi]) {
      s.hi = i;
    }
  }
  return s;
}

} // namespace

StatsSummary summary_statistics(std::span<const double> costs, std::span<const double> rmsds) {
  StatsSummary summary;
  // First, so that an empty sample stops with the mean's message.
  summary.correlation = rank_correlation(costs, rmsds);
  const Scan c = scan(costs);
  const Scan r = scan(rmsds);
  summary.min_cost = costs[c.lo];
  summary.avg_cost = c.sum / static_cast<double>(costs.size());
  summary.max_cost = costs[c.hi];
  summary.min_rmsd = rmsds[r.lo];
  summary.avg_rmsd = r.sum / static_cast<double>(rmsds.size());
  summary.max_rmsd = rmsds[r.hi];
  summary.min_cost_rmsd = rmsds[c.lo];
  summary.max_cost_rmsd = rmsds[c.hi];
  return summary;
}

} // namespace vexa
