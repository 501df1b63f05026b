// Exhaustive minimisation: the first enumerated walk whose cost, or RMSD to the ground truth,
// is least in the IEEE 754 total order, found in memory bounded by the walk length.
#pragma once

#include "cost.hpp"
#include "lattice.hpp"
#include "walk.hpp"

#include <cstdint>
#include <span>

namespace vexa {

// Compared as unsigned integers, the keys order doubles as IEEE 754 totalOrder:
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN.
std::uint64_t total_order_key(double value);

// Scores one structure with the caller's cost; the module passes evaluate_cost.
using CostEvaluator = double (*)(const CostFunction &, std::span<const Vec3>);

// The structure of the first walk of n points, in enumeration order, whose value is least: the
// RMSD to the ground truth for RmsdCost, `evaluate` of the cost otherwise. Owns the cost and
// releases it before returning. With pbar, one progress step per enumerated walk.
Structure minimize(std::uint64_t n, CostFunction cost, LatticeKind kind, bool pbar,
                   double arc_length, CostEvaluator evaluate = &evaluate_cost);

} // namespace vexa
