// Summary statistics of a sample: the rank correlation of cost and RMSD, the range and mean of
// each, and the RMSD of the cheapest and of the most expensive structure.
#pragma once

#include <span>

namespace vexa {

struct StatsSummary {
  double correlation = 0.0;
  double min_cost = 0.0;
  double avg_cost = 0.0;
  double max_cost = 0.0;
  double min_rmsd = 0.0;
  double avg_rmsd = 0.0;
  double max_rmsd = 0.0;
  double min_cost_rmsd = 0.0;
  double max_cost_rmsd = 0.0;
};

StatsSummary summary_statistics(std::span<const double> costs, std::span<const double> rmsds);

} // namespace vexa
