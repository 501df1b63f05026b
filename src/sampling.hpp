// Sampling driver: produces the walks of one request by pivot chain, dimerization or
// enumeration, turns each into a Structure, and collects what a consumer makes of it.
#pragma once

#include "dimerize.hpp"
#include "enumeration.hpp"
#include "lattice.hpp"
#include "pivot.hpp"
#include "progress.hpp"
#include "rng.hpp"
#include "sampling_method.hpp"
#include "walk.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vexa {

// Up-front room for a known sample size; beyond it the list grows as results arrive, so an
// absurd sample_size cannot fail before any work is done.
inline constexpr std::uint64_t MAX_RESERVED_RESULTS = std::uint64_t{1} << 20;

// Runs one request and returns consume(structure) for every walk, in production order.
// Each walk becomes a fresh Structure (scaled so consecutive points lie arc_length apart)
// handed to the consumer as an rvalue: it may keep it by moving, or only read it.
// With pbar a progress line is shown on standard error and closed before returning, also
// when a consumer or sampler failure unwinds the run (the partial results are dropped).
template <typename Consumer>
auto sample_walks(LatticeKind kind, const SamplingMethod &method, std::uint64_t n,
                  std::uint64_t sample_size, double arc_length, bool pbar, Consumer &&consume)
    -> std::vector<std::decay_t<std::invoke_result_t<Consumer &, Structure &&>>> {
  using Result = std::decay_t<std::invoke_result_t<Consumer &, Structure &&>>;

  const Lattice lattice = make_lattice(kind);
  const double scale = coordinate_scale(lattice, arc_length);

  std::vector<Result> results;
  // Declared after the results so that on a failure the line closes before they are dropped.
  std::optional<ProgressBar> bar;

  const auto emit = [&](const Walk &walk) {
    results.push_back(consume(to_structure(walk, scale)));
  };

  if (std::holds_alternative<Enumerate>(method)) {
    WalkEnumerator enumerator(lattice, n);
    if (pbar) {
      bar.emplace(std::nullopt);
    }
    results.reserve(4);
    while (const Walk *walk = enumerator.next()) {
      if (bar) {
        bar->tick();
      }
      emit(*walk);
    }
  } else if (const auto *pivot = std::get_if<Pivot>(&method)) {
    Rng &rng = thread_rng();
    // Thermalises before returning, so the line appears only once sampling proper starts.
    PivotChain chain(lattice, n, rng, pivot->thermalization_factor,
                     pivot->autocorrelation_factor);
    if (pbar) {
      bar.emplace(sample_size);
    }
    results.reserve(std::min(sample_size, MAX_RESERVED_RESULTS));
    for (std::uint64_t i = 0; i < sample_size; ++i) {
      if (bar) {
        bar->tick();
      }
      emit(chain.next_sample());
    }
  } else {
    Rng &rng = thread_rng();
    if (pbar) {
      bar.emplace(sample_size);
    }
    results.reserve(std::min(sample_size, MAX_RESERVED_RESULTS));
    for (std::uint64_t i = 0; i < sample_size; ++i) {
      if (bar) {
        bar->tick();
      }
      emit(dimerize(lattice, n, rng));
    }
  }

  if (bar) {
    bar->close();
  }
  return results;
}

} // namespace vexa
