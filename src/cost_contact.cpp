// Contact-energy cost: the table reduced to one energy per residue pair, and the sum over the
// pairs in contact.
#include "cost.hpp"

#include "stop.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexa {

namespace {

// Code points of UTF-8 text. The sequence comes from a Python str, so it is well formed; a
// stray byte is taken as the code point of the same value rather than dropped, keeping counts.
std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 0; // a continuation byte out of place
    if (length <= 1 || i + length > text.size()) {
      out.push_back(lead);
      ++i;
      continue;
    }
    char32_t c = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    out.push_back(c);
    i += length;
  }
  return out;
}

std::string encode_utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Bit t set when q[t] (t < count <= 64) lies within the limit's squared distance of p.
std::uint64_t contact_mask(const Vec3 &p, const Vec3 *q, std::size_t count, double limit) {
  std::uint64_t mask = 0;
  std::size_t t = 0;
#if defined(__SSE2__)
  // Two pairs per step, each lane computing exactly what the scalar loop below computes.
  const __m128d px = _mm_set1_pd(p.x);
  const __m128d py = _mm_set1_pd(p.y);
  const __m128d pz = _mm_set1_pd(p.z);
  const __m128d bound = _mm_set1_pd(limit);
  for (; t + 2 <= count; t += 2) {
    const __m128d dx = _mm_sub_pd(px, _mm_loadh_pd(_mm_load_sd(&q[t].x), &q[t + 1].x));
    const __m128d dy = _mm_sub_pd(py, _mm_loadh_pd(_mm_load_sd(&q[t].y), &q[t + 1].y));
    const __m128d dz = _mm_sub_pd(pz, _mm_loadh_pd(_mm_load_sd(&q[t].z), &q[t + 1].z));
    const __m128d d2 =
        _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
    // An ordered comparison: a NaN lane is no contact.
    mask |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_cmple_pd(d2, bound))) << t;
  }
#endif
  for (; t < count; ++t) {
    const double dx = p.x - q[t].x;
    const double dy = p.y - q[t].y;
    const double dz = p.z - q[t].z;
    const double d2 = (dx * dx + dy * dy) + dz * dz;
    mask |= static_cast<std::uint64_t>(d2 <= limit) << t;
  }
  return mask;
}

} // namespace

double contact_limit(double dmax) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  // A distance is never negative (sqrt(+0) = +0, and -0.0 >= +0.0 holds), and NaN compares false.
  if (std::isnan(dmax) || dmax < 0.0) {
    return -inf;
  }
  if (dmax == inf) {
    return inf; // every distance but NaN
  }
  double t = dmax * dmax;
  if (t == inf) {
    t = std::numeric_limits<double>::max();
  }
  // The rounded square is within an ulp or two of the answer; walk to the exact boundary.
  while (std::sqrt(t) > dmax) {
    t = std::nextafter(t, 0.0);
  }
  for (double up = std::nextafter(t, inf); up != inf && std::sqrt(up) <= dmax;
       up = std::nextafter(t, inf)) {
    t = up;
  }
  return t;
}

ContactEnergyCost make_contact_energy_cost(const ContactEnergyTable &table,
                                           std::string_view sequence, std::uint64_t kmin,
                                           double dmax) {
  const std::u32string residues = decode_utf8(sequence);
  const std::uint64_t m = residues.size();
  ContactEnergyCost cost;
  cost.kmin = kmin;
  cost.dmax = dmax;
  cost.residue_count = m;
  cost.squared_limit = contact_limit(dmax);
  if (kmin >= m) {
    return cost; // no pair: the table is never consulted
  }
  const std::uint64_t span = m - kmin;
  cost.pair_energies.reserve(span * (span + 1) / 2);
  for (std::uint64_t a = 0; a < span; ++a) {
    const auto row = table.find(residues[a]);
    if (row == table.end()) {
      throw Stop("Contact energies for amino acid " + encode_utf8(residues[a]) +
                 " could not be found !");
    }
    for (std::uint64_t b = a + kmin; b < m; ++b) {
      const auto entry = row->second.find(residues[b]);
      if (entry == row->second.end()) {
        throw Stop("Contact energy for amino acid's pair " + encode_utf8(residues[a]) + "-" +
                   encode_utf8(residues[b]) + " could not be found !");
      }
      cost.pair_energies.push_back(entry->second);
    }
  }
  return cost;
}

double evaluate_contact_energy(const ContactEnergyCost &cost, std::span<const Vec3> structure) {
  // A structure of another length would pair energies with the wrong residues (or read past the
  // list), whether or not the stray pairs are in contact.
  if (structure.size() != cost.residue_count) {
    throw Stop("Contact energies cover " + std::to_string(cost.residue_count) +
               " residues but the structure has " + std::to_string(structure.size()) +
               " points !");
  }
  const std::size_t n = structure.size();
  double sum = 0.0;
  if (cost.kmin >= n) {
    return sum;
  }
  const std::size_t rows = n - cost.kmin; // the j that start a pair; j + kmin cannot overflow
  const double limit = cost.squared_limit;
  const double *energy = cost.pair_energies.data();
  // Same pairs in the same order as dmax >= sqrt(d2), with the same additions: the same bits.
  // Contacts are sparse and irregular, so each block of a row is first reduced to a bit mask
  // (no branch per pair) and only the set bits are added, in ascending order.
  for (std::size_t j = 0; j < rows; ++j) {
    const Vec3 *q = structure.data() + j + cost.kmin;
    std::size_t remaining = n - j - cost.kmin;
    while (remaining > 0) {
      const std::size_t block = remaining < 64 ? remaining : 64;
      for (std::uint64_t contacts = contact_mask(structure[j], q, block, limit); contacts != 0;
           contacts &= contacts - 1) {
        sum += energy[std::countr_zero(contacts)];
      }
      q += block;
      energy += block;
      remaining -= block;
    }
  }
  return sum;
}

} // namespace vexa
