#include "rank_correlation.hpp"

#include "stop.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

namespace vexa {

std::vector<double> average_ranks(std::span<const double> values) {
  const std::size_t n = values.size();
  std::vector<std::pair<double, std::size_t>> sorted(n);
  for (std::size_t i = 0; i < n; ++i) {
    sorted[i] = {values[i], i};
  }
  // Numbers ascend and NaNs go last; stability keeps equal numbers (and the NaNs) in input order.
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
    return !std::isnan(a.first) && (std::isnan(b.first) || a.first < b.first);
  });

  // Scattering each run's average straight to its input index puts the ranks back in input
  // order without a second sort.
  std::vector<double> ranks(n);
  std::size_t start = 0;
  while (start < n) {
    std::size_t end = start + 1;
    double sum = static_cast<double>(start);
    // == never groups two NaNs, so each NaN is a run of its own.
    while (end < n && sorted[end].first == sorted[end - 1].first) {
      sum += static_cast<double>(end);
      ++end;
    }
    const double average = sum / static_cast<double>(end - start);
    for (std::size_t k = start; k < end; ++k) {
      ranks[sorted[k].second] = average;
    }
    start = end;
  }
  return ranks;
}

double mean(std::span<const double> values) {
  if (values.empty()) {
    throw Stop("Cannot calculate the mean of an empty Vec !");
  }
  double sum = 0.0;
  for (const double v : values) {
    sum += v;
  }
  return sum / static_cast<double>(values.size());
}

double pearson_correlation(std::span<const double> x, std::span<const double> y) {
  if (x.size() != y.size()) {
    throw Stop("assertion failed: x.len() == y.len()");
  }
  const double mx = mean(x);
  const double my = mean(y);
  double sxy = 0.0;
  double sxx = 0.0;
  double syy = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - mx;
    const double dy = y[i] - my;
    sxy += dy * dx;
    sxx += dx * dx;
    syy += dy * dy;
  }
  // Two roots then their product, not the root of the product: the last bit is observable.
  return sxy / (std::sqrt(sxx) * std::sqrt(syy));
}

double rank_correlation(std::span<const double> x, std::span<const double> y) {
  const std::vector<double> rx = average_ranks(x);
  const std::vector<double> ry = average_ranks(y);
  return pearson_correlation(rx, ry);
}

} // namespace vexa
