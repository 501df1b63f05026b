// Rank correlation: average ranks with ties and NaNs, mean, Pearson's coefficient, and
// Spearman's coefficient as Pearson's of the ranks.
#pragma once

#include <span>
#include <vector>

namespace vexa {

std::vector<double> average_ranks(std::span<const double> values);
double mean(std::span<const double> values);
double pearson_correlation(std::span<const double> x, std::span<const double> y);
double rank_correlation(std::span<const double> x, std::span<const double> y);

} // namespace vexa
