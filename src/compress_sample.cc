#include "compress_sample.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "pelko_assert.h"

uint64_t compress_sample_hash(uint64_t fp) {
  // A fixed key: the choice is the same on every host and in every run.
  uint64_t x = fp ^ 0x6A09E667F3BCC909ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

CompressSample::CompressSample()
    : m_active(false),
      m_adaptive(false),
      m_chunk_size(0),
      m_threshold(0),
      m_level(0) {
  memset(m_cells, 0, sizeof(m_cells));
}

CompressSample::CompressSample(double share, size_t chunk_size)
    : CompressSample() {
  PELKO_ASSERT(share >= 0 && share <= 1 && chunk_size > 0);
  m_active = true;
  m_chunk_size = chunk_size;
  if (share > 0) {
    // share * 2^64, every hash at 1.
    m_threshold = share >= 1.0 ? UINT64_MAX
                               : (uint64_t)(share * 18446744073709551616.0);
    return;
  }
  m_adaptive = true;
}

int CompressSample::cell_of(uint64_t h) const {
  if (!m_adaptive) return 0;
  const int zeros = h == 0 ? 64 : __builtin_clzll(h);
  return std::min(zeros, kLevels - 1);
}

bool CompressSample::chosen(uint64_t fp) const {
  if (!m_active) return false;
  const uint64_t h = compress_sample_hash(fp);
  if (!m_adaptive) return m_threshold == UINT64_MAX || h < m_threshold;
  return cell_of(h) >= m_level;
}

void CompressSample::add(uint64_t fp, size_t csize, int bucket_group) {
  PELKO_ASSERT(m_active && bucket_group >= 0 && bucket_group < UNSEEN_GROUPS);
  const uint64_t h = compress_sample_hash(fp);
  const int k = cell_of(h);
  if (m_adaptive && k < m_level) return;  // the share fell meanwhile
  cell_t& c = m_cells[k];
  const int hg = (int)(h & (UNSEEN_GROUPS - 1));
  c.compressed[bucket_group] += csize;
  c.uncompressed[bucket_group] += m_chunk_size;
  c.hash_compressed[hg] += csize;
  c.hash_uncompressed[hg] += m_chunk_size;
  c.chunks++;
  c.stored += std::min(csize, m_chunk_size);
  c.squares += (double)csize * (double)csize;
}

template <typename F>
void CompressSample::for_kept(F f) const {
  for (int k = m_adaptive ? m_level : 0; k < kLevels; k++) f(m_cells[k]);
}

double CompressSample::share() const {
  if (!m_active) return 0;
  if (!m_adaptive)
    return m_threshold == UINT64_MAX ? 1.0
                                     : (double)m_threshold / 18446744073709551616.0;
  return pow(2.0, -m_level);
}

size_t CompressSample::chosen_chunks() const {
  size_t n = 0;
  for_kept([&n](const cell_t& c) { n += c.chunks; });
  return n;
}

size_t CompressSample::compressed_size() const {
  size_t n = 0;
  for_kept([&n](const cell_t& c) {
    for (int g = 0; g < UNSEEN_GROUPS; g++) n += c.compressed[g];
  });
  return n;
}

size_t CompressSample::uncompressed_size() const {
  return chosen_chunks() * m_chunk_size;
}

size_t CompressSample::stored_size() const {
  size_t n = 0;
  for_kept([&n](const cell_t& c) { n += c.stored; });
  return n;
}

void CompressSample::group_totals(group_totals_t* by_bucket,
                                  group_totals_t* by_hash) const {
  *by_bucket = group_totals_t();
  *by_hash = group_totals_t();
  for_kept([&](const cell_t& c) {
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      by_bucket->parts[g] += c.uncompressed[g];
      by_bucket->wholes[g] += c.compressed[g];
      by_hash->parts[g] += c.hash_uncompressed[g];
      by_hash->wholes[g] += c.hash_compressed[g];
    }
  });
}

range_t CompressSample::ratio(double f, size_t buckets) const {
  group_totals_t b, h;
  group_totals(&b, &h);
  return sampled_ratio_range(b, h, f, buckets, share(), chosen_chunks());
}

void CompressSample::adapt(double candidates_at_end) {
  if (!m_active || !m_adaptive) return;
  double n = 0, sum = 0, sq = 0;
  for_kept([&](const cell_t& c) {
    n += (double)c.chunks;
    for (int g = 0; g < UNSEEN_GROUPS; g++) sum += (double)c.compressed[g];
    sq += c.squares;
  });
  if (!(n >= (double)kMinChosen) || !(sum > 0)) return;
  // The spread of the chosen chunks' compressed sizes, with some room for
  // its own error. A chunk sample of n_end chunks at share p has, at the end
  // of a complete read, the relative variance (1 - p) cv^2 / n_end.
  const double mean = sum / n;
  const double cv2 =
      kSpreadMargin * std::max(0.0, sq / n - mean * mean) / (mean * mean);
  double kept = n;
  int level = m_level;
  while (level + 1 < kLevels) {
    kept -= (double)m_cells[level].chunks;  // the cell the next level drops
    const double p = pow(2.0, -(level + 1));
    const double at_end = p * candidates_at_end;
    const double width =
        JACKKNIFE_T * sqrt(cv2 * (1 - p) / std::max(at_end, 1.0));
    if (kept < (double)kMinChosen || !(width <= kTargetWidth)) break;
    level++;
  }
  m_level = level;
}

void CompressSample::add_totals(const size_t* hash_compressed,
                                const size_t* hash_uncompressed,
                                size_t stored) {
  PELKO_ASSERT(m_active);
  cell_t& c = m_cells[m_adaptive ? m_level : 0];
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    c.compressed[g] += hash_compressed[g];
    c.uncompressed[g] += hash_uncompressed[g];
    c.hash_compressed[g] += hash_compressed[g];
    c.hash_uncompressed[g] += hash_uncompressed[g];
    c.chunks += hash_uncompressed[g] / m_chunk_size;
  }
  c.stored += stored;
}
