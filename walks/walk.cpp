#include "walk.hpp"

#include <unordered_set>

namespace vexa {

bool is_self_avoiding(const Walk &walk) {
  const std::size_t n = walk.size();
  // Pair comparison allocates nothing and wins on short walks; the set takes over where the
  // quadratic cost starts to show.
  if (n < 100) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) {
        if (walk[i] == walk[j]) {
          return false;
        }
      }
    }
    return true;
  }
  std::unordered_set<LatticePoint, LatticePointHash> seen;
  seen.reserve(n);
  for (const LatticePoint &p : walk) {
    if (!seen.insert(p).second) {
      return false;
    }
  }
  return true;
}

void to_structure(const Walk &walk, double scale, Structure &out) {
  out.resize(walk.size());
  for (std::size_t i = 0; i < walk.size(); ++i) {
    out[i] = {static_cast<double>(walk[i].x) * scale, static_cast<double>(walk[i].y) * scale,
              static_cast<double>(walk[i].z) * scale};
  }
}

Structure to_structure(const Walk &walk, double scale) {
  Structure out;
  to_structure(walk, scale, out);
  return out;
}

} // namespace vexa
