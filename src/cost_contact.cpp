// Contact-energy cost: the table reduced to one energy per residue pair, and the sum over the
// pairs in contact.
#include "cost.hpp"

#include "stop.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#if defined(__SSE2__) || defined(__x86_64__)
#include <immintrin.h>
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

// Points as three coordinate columns, each followed by NaN: a vector that reads past the last
// point compares NaN, which is never a contact, so row ends need no lane masks.
constexpr std::size_t column_padding = 16;

struct ContactScan {
  const double *x;
  const double *y;
  const double *z;
  std::size_t n;    // points
  std::size_t kmin; // pair (j, k) when k >= j + kmin
  std::size_t rows; // the j that start a pair
  double limit;     // squared distance in contact when at most this
  const double *energy;
};

ContactScan scan_columns(const ContactEnergyCost &cost, std::span<const Vec3> structure) {
  // Per thread, since two threads may evaluate costs at once; it only ever grows, so there is
  // no allocation once the first structure of a size has been seen.
  thread_local std::vector<double> columns;
  const std::size_t n = structure.size();
  const std::size_t stride = n + column_padding;
  if (columns.size() < 3 * stride) {
    columns.resize(3 * stride);
  }
  double *x = columns.data();
  double *y = x + stride;
  double *z = y + stride;
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = structure[i].x;
    y[i] = structure[i].y;
    z[i] = structure[i].z;
  }
  // Reset every call: a longer structure before this one left its points here.
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  std::fill(x + n, x + stride, nan);
  std::fill(y + n, y + stride, nan);
  std::fill(z + n, z + stride, nan);
  const std::size_t rows = cost.kmin >= n ? 0 : n - cost.kmin;
  return {x, y, z, n, cost.kmin, rows, cost.squared_limit, cost.pair_energies.data()};
}

// Adds the energies of the set bits, lowest first: pair order, hence the same rounding as the
// plain loop.
[[gnu::always_inline]] inline double add_contacts(double sum, std::uint64_t contacts,
                                                  const double *energy) {
  for (; contacts != 0; contacts &= contacts - 1) {
    sum += energy[std::countr_zero(contacts)];
  }
  return sum;
}

// Every path below walks the rows j, cuts each row into blocks of at most 64 pairs, reduces a
// block to a contact mask in vector lanes (each lane computing exactly (dx*dx + dy*dy) + dz*dz
// with separate multiplies and adds, then an ordered d2 <= limit, false for NaN) and adds the
// set bits. Contacts are sparse and irregular: a mask keeps the branches per block, not per pair.

double contact_sum_portable(const ContactScan &scan) {
  double sum = 0.0;
  const double *energy = scan.energy;
#if defined(__SSE2__)
  const __m128d bound = _mm_set1_pd(scan.limit);
#endif
  for (std::size_t j = 0; j < scan.rows; ++j) {
#if defined(__SSE2__)
    const __m128d px = _mm_set1_pd(scan.x[j]);
    const __m128d py = _mm_set1_pd(scan.y[j]);
    const __m128d pz = _mm_set1_pd(scan.z[j]);
#endif
    for (std::size_t k = j + scan.kmin; k < scan.n; k += 64) {
      const std::size_t block = std::min<std::size_t>(scan.n - k, 64);
      std::uint64_t mask = 0;
#if defined(__SSE2__)
      for (std::size_t t = 0; t < block; t += 2) {
        const __m128d dx = _mm_sub_pd(px, _mm_loadu_pd(scan.x + k + t));
        const __m128d dy = _mm_sub_pd(py, _mm_loadu_pd(scan.y + k + t));
        const __m128d dz = _mm_sub_pd(pz, _mm_loadu_pd(scan.z + k + t));
        const __m128d d2 =
            _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
        mask |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_cmple_pd(d2, bound))) << t;
      }
#else
      for (std::size_t t = 0; t < block; ++t) {
        const double dx = scan.x[j] - scan.x[k + t];
        const double dy = scan.y[j] - scan.y[k + t];
        const double dz = scan.z[j] - scan.z[k + t];
        const double d2 = (dx * dx + dy * dy) + dz * dz;
        mask |= static_cast<std::uint64_t>(d2 <= scan.limit) << t;
      }
#endif
      sum = add_contacts(sum, mask, energy);
      energy += block;
    }
  }
  return sum;
}

#if defined(__x86_64__)

[[gnu::target("avx2")]] double contact_sum_avx2(const ContactScan &scan) {
  double sum = 0.0;
  const double *energy = scan.energy;
  const __m256d bound = _mm256_set1_pd(scan.limit);
  for (std::size_t j = 0; j < scan.rows; ++j) {
    const __m256d px = _mm256_set1_pd(scan.x[j]);
    const __m256d py = _mm256_set1_pd(scan.y[j]);
    const __m256d pz = _mm256_set1_pd(scan.z[j]);
    for (std::size_t k = j + scan.kmin; k < scan.n; k += 64) {
      const std::size_t block = std::min<std::size_t>(scan.n - k, 64);
      std::uint64_t mask = 0;
      for (std::size_t t = 0; t < block; t += 4) {
        const __m256d dx = _mm256_sub_pd(px, _mm256_loadu_pd(scan.x + k + t));
        const __m256d dy = _mm256_sub_pd(py, _mm256_loadu_pd(scan.y + k + t));
        const __m256d dz = _mm256_sub_pd(pz, _mm256_loadu_pd(scan.z + k + t));
        const __m256d d2 = _mm256_add_pd(
            _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
        const __m256d in_contact = _mm256_cmp_pd(d2, bound, _CMP_LE_OQ);
        mask |= static_cast<std::uint64_t>(_mm256_movemask_pd(in_contact)) << t;
      }
      sum = add_contacts(sum, mask, energy);
      energy += block;
    }
  }
  return sum;
}

[[gnu::target("avx512f")]] double contact_sum_avx512(const ContactScan &scan) {
  double sum = 0.0;
  const double *energy = scan.energy;
  const __m512d bound = _mm512_set1_pd(scan.limit);
  for (std::size_t j = 0; j < scan.rows; ++j) {
    const __m512d px = _mm512_set1_pd(scan.x[j]);
    const __m512d py = _mm512_set1_pd(scan.y[j]);
    const __m512d pz = _mm512_set1_pd(scan.z[j]);
    for (std::size_t k = j + scan.kmin; k < scan.n; k += 64) {
      const std::size_t block = std::min<std::size_t>(scan.n - k, 64);
      std::uint64_t mask = 0;
      for (std::size_t t = 0; t < block; t += 8) {
        const __m512d dx = _mm512_sub_pd(px, _mm512_loadu_pd(scan.x + k + t));
        const __m512d dy = _mm512_sub_pd(py, _mm512_loadu_pd(scan.y + k + t));
        const __m512d dz = _mm512_sub_pd(pz, _mm512_loadu_pd(scan.z + k + t));
        const __m512d d2 = _mm512_add_pd(
            _mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)), _mm512_mul_pd(dz, dz));
        const __mmask8 in_contact = _mm512_cmp_pd_mask(d2, bound, _CMP_LE_OQ);
        mask |= static_cast<std::uint64_t>(in_contact) << t;
      }
      sum = add_contacts(sum, mask, energy);
      energy += block;
    }
  }
  return sum;
}

#endif

struct PathList {
  ContactPath paths[3] = {};
  std::size_t count = 0;
};

PathList supported_paths() {
  PathList list;
  list.paths[list.count++] = ContactPath::Portable;
#if defined(__x86_64__)
  // Also checks that the system saves the wider registers (XGETBV), not only the CPUID bits.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    list.paths[list.count++] = ContactPath::Avx2;
  }
  if (__builtin_cpu_supports("avx512f")) {
    list.paths[list.count++] = ContactPath::Avx512;
  }
#endif
  return list;
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

std::span<const ContactPath> contact_paths() {
  static const PathList list = supported_paths();
  return {list.paths, list.count};
}

const char *contact_path_name(ContactPath path) {
  switch (path) {
  case ContactPath::Portable:
#if defined(__SSE2__)
    return "sse2";
#else
    return "scalar";
#endif
  case ContactPath::Avx2:
    return "avx2";
  case ContactPath::Avx512:
    return "avx512";
  }
  return "?";
}

double evaluate_contact_energy(const ContactEnergyCost &cost, std::span<const Vec3> structure,
                               ContactPath path) {
  // A structure of another length would pair energies with the wrong residues (or read past the
  // list), whether or not the stray pairs are in contact.
  if (structure.size() != cost.residue_count) {
    throw Stop("Contact energies cover " + std::to_string(cost.residue_count) +
               " residues but the structure has " + std::to_string(structure.size()) +
               " points !");
  }
  if (cost.kmin >= structure.size()) {
    return 0.0;
  }
  const ContactScan scan = scan_columns(cost, structure);
  switch (path) {
#if defined(__x86_64__)
  case ContactPath::Avx512:
    return contact_sum_avx512(scan);
  case ContactPath::Avx2:
    return contact_sum_avx2(scan);
#endif
  default:
    return contact_sum_portable(scan);
  }
}

double evaluate_contact_energy(const ContactEnergyCost &cost, std::span<const Vec3> structure) {
  static const ContactPath fastest = contact_paths().back();
  return evaluate_contact_energy(cost, structure, fastest);
}

} // namespace vexa
