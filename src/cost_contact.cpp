// Contact-energy cost: the table reduced to one energy per residue pair, and the sum over the
// pairs in contact, in SSE2, AVX2 or AVX-512 lanes chosen at run time.
#include "cost.hpp"

#include "stop.hpp"
#include "utf8.hpp"

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
  std::size_t pairs; // energies
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
  return {x, y, z, n, cost.kmin, rows, cost.squared_limit, cost.pair_energies.data(),
          cost.pair_energies.size()};
}

// Each lane of every path computes exactly (dx*dx + dy*dy) + dz*dz with separate multiplies and
// adds, then an ordered d2 <= limit, false for NaN. SSE2 takes dx = x_k - x_j, which spares a
// register copy in its two-operand form (negation is exact, so the squares are those of
// x_j - x_k); AVX takes x_j - x_k, whose subtrahend can come straight from memory. Lanes past a
// row's end read the NaN padding.

#if defined(__SSE2__)

// Bits 0-1: contacts of the pairs at columns q and q + 1.
[[gnu::always_inline]] inline unsigned contacts_sse2(__m128d px, __m128d py, __m128d pz,
                                                     __m128d bound, const ContactScan &scan,
                                                     std::size_t q) {
  const __m128d dx = _mm_sub_pd(_mm_loadu_pd(scan.x + q), px);
  const __m128d dy = _mm_sub_pd(_mm_loadu_pd(scan.y + q), py);
  const __m128d dz = _mm_sub_pd(_mm_loadu_pd(scan.z + q), pz);
  const __m128d d2 =
      _mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz));
  return static_cast<unsigned>(_mm_movemask_pd(_mm_cmple_pd(d2, bound)));
}

#endif

// SSE2 has no lane compress or variable permute to pack energies with (see the wider paths), so
// this path cuts each row into blocks of at most 64 pairs, reduces a block to a contact mask and
// adds the set bits: the branches are per block, not per pair. A block that is not a row's last
// has 64 pairs, a whole number of steps.
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
      std::size_t t = 0;
#if defined(__SSE2__)
      for (; t + 6 < block; t += 8) { // four steps while the fourth has a pair of the row
        const unsigned eight = contacts_sse2(px, py, pz, bound, scan, k + t) |
                               contacts_sse2(px, py, pz, bound, scan, k + t + 2) << 2 |
                               contacts_sse2(px, py, pz, bound, scan, k + t + 4) << 4 |
                               contacts_sse2(px, py, pz, bound, scan, k + t + 6) << 6;
        mask |= static_cast<std::uint64_t>(eight) << t;
      }
      for (; t < block; t += 2) {
        mask |= static_cast<std::uint64_t>(contacts_sse2(px, py, pz, bound, scan, k + t)) << t;
      }
#else
      for (; t < block; ++t) {
        const double dx = scan.x[k + t] - scan.x[j];
        const double dy = scan.y[k + t] - scan.y[j];
        const double dz = scan.z[k + t] - scan.z[j];
        const double d2 = (dx * dx + dy * dy) + dz * dz;
        mask |= static_cast<std::uint64_t>(d2 <= scan.limit) << t;
      }
#endif
      for (; mask != 0; mask &= mask - 1) { // lowest first: pair order
        sum += energy[static_cast<unsigned>(std::countr_zero(mask))];
      }
      energy += block;
    }
  }
  return sum;
}

#if defined(__x86_64__)

// The wider paths pack the energies of the pairs in contact, in pair order, into a buffer and
// add them up at the end in that order, hence with the plain loop's rounding. Packing has no
// data-dependent branch; a branch per block of contacts would mispredict on most blocks, and the
// additions, one dependent chain however they are arranged, take no longer at the end. Each step
// stores a whole vector at the packed end, so the buffer has a vector's room past the pairs.
constexpr std::size_t packing_slack = 8;

double *packing_buffer(std::size_t pairs) {
  thread_local std::vector<double> buffer; // grows only, like the columns
  if (buffer.size() < pairs + packing_slack) {
    buffer.resize(pairs + packing_slack);
  }
  return buffer.data();
}

double add_packed(const double *packed, std::size_t count) {
  double sum = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    sum += packed[i];
  }
  return sum;
}

// For each 4-bit contact mask, the 32-bit lanes that move the chosen doubles to the front.
struct PackIndices {
  alignas(32) std::int32_t lanes[16][8];
};

constexpr PackIndices make_pack_indices() {
  PackIndices p{};
  for (int mask = 0; mask < 16; ++mask) {
    int out = 0;
    for (int lane = 0; lane < 4; ++lane) {
      if ((mask >> lane & 1) != 0) {
        p.lanes[mask][2 * out] = 2 * lane;
        p.lanes[mask][2 * out + 1] = 2 * lane + 1;
        ++out;
      }
    }
  }
  return p;
}

constexpr PackIndices pack_indices = make_pack_indices();

[[gnu::target("avx2,popcnt")]] double contact_sum_avx2(const ContactScan &scan) {
  double *const packed = packing_buffer(scan.pairs);
  std::size_t count = 0;
  const double *energy = scan.energy;
  const __m256d bound = _mm256_set1_pd(scan.limit);
  for (std::size_t j = 0; j < scan.rows; ++j) {
    const __m256d px = _mm256_set1_pd(scan.x[j]);
    const __m256d py = _mm256_set1_pd(scan.y[j]);
    const __m256d pz = _mm256_set1_pd(scan.z[j]);
    const std::size_t k = j + scan.kmin;
    const std::size_t length = scan.n - k;
    for (std::size_t t = 0; t < length; t += 4) {
      const __m256d dx = _mm256_sub_pd(px, _mm256_loadu_pd(scan.x + k + t));
      const __m256d dy = _mm256_sub_pd(py, _mm256_loadu_pd(scan.y + k + t));
      const __m256d dz = _mm256_sub_pd(pz, _mm256_loadu_pd(scan.z + k + t));
      const __m256d d2 = _mm256_add_pd(
          _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy)), _mm256_mul_pd(dz, dz));
      const __m256d in_contact = _mm256_cmp_pd(d2, bound, _CMP_LE_OQ);
      const auto mask = static_cast<unsigned>(_mm256_movemask_pd(in_contact));
      // Lanes out of contact, among them those past the row's end, are not read.
      const __m256d e = _mm256_maskload_pd(energy + t, _mm256_castpd_si256(in_contact));
      const __m256i to_front =
          _mm256_load_si256(reinterpret_cast<const __m256i *>(pack_indices.lanes[mask]));
      _mm256_storeu_pd(packed + count, _mm256_castps_pd(_mm256_permutevar8x32_ps(
                                           _mm256_castpd_ps(e), to_front)));
      count += static_cast<std::size_t>(_mm_popcnt_u32(mask));
    }
    energy += length;
  }
  return add_packed(packed, count);
}

[[gnu::target("avx512f,popcnt")]] double contact_sum_avx512(const ContactScan &scan) {
  double *const packed = packing_buffer(scan.pairs);
  std::size_t count = 0;
  const double *energy = scan.energy;
  const __m512d bound = _mm512_set1_pd(scan.limit);
  for (std::size_t j = 0; j < scan.rows; ++j) {
    const __m512d px = _mm512_set1_pd(scan.x[j]);
    const __m512d py = _mm512_set1_pd(scan.y[j]);
    const __m512d pz = _mm512_set1_pd(scan.z[j]);
    const std::size_t k = j + scan.kmin;
    const std::size_t length = scan.n - k;
    for (std::size_t t = 0; t < length; t += 8) {
      const __m512d dx = _mm512_sub_pd(px, _mm512_loadu_pd(scan.x + k + t));
      const __m512d dy = _mm512_sub_pd(py, _mm512_loadu_pd(scan.y + k + t));
      const __m512d dz = _mm512_sub_pd(pz, _mm512_loadu_pd(scan.z + k + t));
      const __m512d d2 = _mm512_add_pd(
          _mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)), _mm512_mul_pd(dz, dz));
      const __mmask8 in_contact = _mm512_cmp_pd_mask(d2, bound, _CMP_LE_OQ);
      // Lanes out of contact, among them those past the row's end, are not read.
      const __m512d e = _mm512_maskz_loadu_pd(in_contact, energy + t);
      _mm512_storeu_pd(packed + count, _mm512_maskz_compress_pd(in_contact, e));
      count += static_cast<std::size_t>(_mm_popcnt_u32(in_contact));
    }
    energy += length;
  }
  return add_packed(packed, count);
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
  const bool popcnt = __builtin_cpu_supports("popcnt");
  if (popcnt && __builtin_cpu_supports("avx2")) {
    list.paths[list.count++] = ContactPath::Avx2;
  }
  if (popcnt && __builtin_cpu_supports("avx512f")) {
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
