#include "compress_sample.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "pelko_assert.h"

uint64_t compress_sample_hash(uint64_t fp, uint64_t key) {
  // With a fixed key, the choice is the same on every host and in every run.
  uint64_t x = fp ^ key;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

CompressSample::CompressSample()
    : m_active(false),
      m_adaptive(false),
      m_aux(false),
      m_key(kKey),
      m_chunk_size(0),
      m_threshold(0),
      m_level(0),
      m_parent(nullptr),
      m_judged(false) {
  memset(m_all_bytes, 0, sizeof(m_all_bytes));
  memset(m_all_aux, 0, sizeof(m_all_aux));
  memset(m_cells, 0, sizeof(m_cells));
}

CompressSample::CompressSample(double share, size_t chunk_size, bool aux,
                               uint64_t key)
    : CompressSample() {
  PELKO_ASSERT(share >= 0 && share <= 1 && chunk_size > 0);
  m_active = true;
  m_aux = aux;
  m_key = key;
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
  const uint64_t h = compress_sample_hash(fp, m_key);
  if (!m_adaptive) return m_threshold == UINT64_MAX || h < m_threshold;
  return cell_of(h) >= m_level;
}

void CompressSample::chain_to(const CompressSample* parent) {
  PELKO_ASSERT(m_active && m_aux && parent != nullptr && parent != this &&
               parent->m_active && parent->m_aux && !parent->m_parent &&
               parent->m_chunk_size == m_chunk_size &&
               parent->m_key == m_key &&
               parent->m_adaptive == m_adaptive &&
               (m_adaptive || parent->m_threshold == m_threshold));
  m_parent = parent;
}

double CompressSample::first_share() const {
  return m_parent ? m_parent->share() : share();
}

void CompressSample::add_candidate(size_t aux, int bucket_group) {
  // A chained sample's candidates are its parent's.
  PELKO_ASSERT(m_active && m_aux && !m_parent && bucket_group >= 0 &&
               bucket_group < UNSEEN_GROUPS);
  m_all_bytes[bucket_group] += (double)m_chunk_size;
  m_all_aux[bucket_group] += (double)aux;
}

void CompressSample::add(uint64_t fp, size_t csize, int bucket_group,
                         size_t aux, size_t base) {
  PELKO_ASSERT(m_active && bucket_group >= 0 && bucket_group < UNSEEN_GROUPS);
  const uint64_t h = compress_sample_hash(fp, m_key);
  const int k = cell_of(h);
  if (m_adaptive && k < m_level) return;  // the share fell meanwhile
  cell_t& c = m_cells[k];
  const int hg = compress_sample_group(h);
  c.compressed[bucket_group] += csize;
  c.uncompressed[bucket_group] += m_chunk_size;
  c.hash_compressed[hg] += csize;
  c.hash_uncompressed[hg] += m_chunk_size;
  c.chunks++;
  c.stored += std::min(csize, m_chunk_size);
  c.squares += (double)csize * (double)csize;
  if (m_aux) {
    c.aux[bucket_group] += (double)aux;
    c.products += (double)csize * (double)aux;
    c.aux_squares += (double)aux * (double)aux;
  }
  if (m_parent) {
    c.base += (double)base;
    c.base_products += (double)csize * (double)base;
    c.base_squares += (double)base * (double)base;
  }
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

void CompressSample::aux_totals(aux_totals_t* t) const {
  PELKO_ASSERT(m_aux);
  if (m_parent) {
    // The first phase is the parent's; this sample is the second.
    m_parent->aux_totals(t);
    t->chained = true;
    aux_totals_t::phase_t& s = t->second;
    for_kept([&s](const cell_t& c) {
      for (int g = 0; g < UNSEEN_GROUPS; g++) {
        s.out[g] += (double)c.compressed[g];
        s.first[g] += c.aux[g];
      }
      s.chosen += (double)c.chunks;
      s.sum_yy += c.squares;
      s.sum_xy += c.products;
      s.sum_xx += c.aux_squares;
      s.sum_a += c.base;
      s.sum_ya += c.base_products;
      s.sum_aa += c.base_squares;
    });
    s.p = std::min(1.0, share() / m_parent->share());
    return;
  }
  memset(t, 0, sizeof(*t));
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    t->all_bytes[g] = m_all_bytes[g];
    t->all_aux[g] = m_all_aux[g];
  }
  for_kept([t](const cell_t& c) {
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      t->chosen_out[g] += (double)c.compressed[g];
      t->chosen_aux[g] += c.aux[g];
    }
    t->chosen += (double)c.chunks;
    t->sum_yy += c.squares;
    t->sum_xy += c.products;
    t->sum_xx += c.aux_squares;
  });
}

void CompressSample::estimate(size_t* uncompressed, size_t* compressed,
                              size_t* stored) const {
  if (!m_aux) {
    *uncompressed = uncompressed_size();
    *compressed = compressed_size();
    *stored = stored_size();
    return;
  }
  if (m_parent) {
    // The parent's compressed total, times this compressor's bytes over
    // the parent's on the chunks both measured.
    size_t parent_stored;
    m_parent->estimate(uncompressed, compressed, &parent_stored);
    double first = 0;
    for_kept([&first](const cell_t& c) {
      for (int g = 0; g < UNSEEN_GROUPS; g++) first += c.aux[g];
    });
    if (!(first > 0) || *compressed == 0) {
      *compressed = *stored = 0;
      return;
    }
    const double scale = (double)*compressed / first;
    *compressed = (size_t)llround((double)compressed_size() * scale);
    *stored = (size_t)llround((double)stored_size() * scale);
    return;
  }
  double bytes = 0, aux = 0, chosen_aux = 0;
  for (int g = 0; g < UNSEEN_GROUPS; g++) {
    bytes += m_all_bytes[g];
    aux += m_all_aux[g];
  }
  for_kept([&chosen_aux](const cell_t& c) {
    for (int g = 0; g < UNSEEN_GROUPS; g++) chosen_aux += c.aux[g];
  });
  *uncompressed = (size_t)bytes;
  if (!(chosen_aux > 0)) {
    *compressed = *stored = 0;  // nothing chosen yet: no figure
    return;
  }
  const double scale = aux / chosen_aux;
  *compressed = (size_t)llround((double)compressed_size() * scale);
  *stored = (size_t)llround((double)stored_size() * scale);
}

range_t CompressSample::ratio(double f, size_t buckets) const {
  if (m_aux) {
    aux_totals_t t;
    aux_totals(&t);
    return aux_ratio_range(t, f, buckets, first_share());
  }
  group_totals_t b, h;
  group_totals(&b, &h);
  return sampled_ratio_range(b, h, f, buckets, share(), chosen_chunks());
}

double CompressSample::first_phase_spread() const {
  if (!m_active || !m_adaptive || !m_parent) return 0;
  double n = 0, y = 0, a = 0, yy = 0, ya = 0, aa = 0;
  for_kept([&](const cell_t& c) {
    n += (double)c.chunks;
    for (int g = 0; g < UNSEEN_GROUPS; g++) y += (double)c.compressed[g];
    a += c.base;
    yy += c.squares;
    ya += c.base_products;
    aa += c.base_squares;
  });
  if (!(n >= (double)kMinSpread) || !(y > 0) || !(a > 0)) return 0;
  const double mean = y / n, r = y / a;
  return kSpreadMargin * std::max(0.0, (yy - 2 * r * ya + r * r * aa) / n) /
         (mean * mean);
}

void CompressSample::adapt(double candidates_at_end, double spread_floor) {
  if (!m_active || !m_adaptive) return;
  if (m_parent) {
    adapt_chained(candidates_at_end);
    return;
  }
  double n = 0, sum = 0, sq = 0, aux = 0, xy = 0, xx = 0;
  for_kept([&](const cell_t& c) {
    n += (double)c.chunks;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      sum += (double)c.compressed[g];
      aux += c.aux[g];
    }
    sq += c.squares;
    xy += c.products;
    xx += c.aux_squares;
  });
  if (!(n >= (double)kMinSpread) || !(sum > 0)) return;
  if (m_aux && !(aux > 0)) return;
  // The spread of the chosen chunks' compressed sizes (with aux, of their
  // residuals about the ratio estimate's line y = R x), with some room for
  // its own error. A chunk sample of n_end chunks at share p has, at the
  // end of a complete read, the relative variance (1 - p) cv^2 / n_end.
  const double mean = sum / n;
  double spread = sq / n - mean * mean;
  if (m_aux) {
    const double r = sum / aux;
    spread = (sq - 2 * r * xy + r * r * xx) / n;
  }
  const double cv2 = std::max(
      spread_floor, kSpreadMargin * std::max(0.0, spread) / (mean * mean));
  auto end_var = [&](double p) {
    return cv2 * (1 - p) / std::max(p * candidates_at_end, 1.0);
  };
  double kept = n;
  int level = m_level;
  while (level + 1 < kLevels) {
    kept -= (double)m_cells[level].chunks;  // the cell the next level drops
    const double p = pow(2.0, -(level + 1));
    const double at_end = p * candidates_at_end;
    const double width = JACKKNIFE_T * sqrt(end_var(p));
    if (at_end < (double)kMinChosen || kept < (double)kMinKept ||
        !(width <= kTargetWidth))
      break;
    level++;
  }
  m_level = level;
  m_judged = true;
}

void CompressSample::adapt_chained(double candidates_at_end) {
  // Nested in the parent's choice: never a larger share than its.
  m_level = std::max(m_level, m_parent->m_level);
  if (!m_parent->m_judged) return;
  double n = 0, y = 0, x = 0, yy = 0, xy = 0, xx = 0;
  for_kept([&](const cell_t& c) {
    n += (double)c.chunks;
    for (int g = 0; g < UNSEEN_GROUPS; g++) {
      y += (double)c.compressed[g];
      x += c.aux[g];
    }
    yy += c.squares;
    xy += c.products;
    xx += c.aux_squares;
  });
  if (!(n >= (double)kMinSpread) || !(y > 0) || !(x > 0)) return;
  // The end's variance: the first phase's (this compressor about the
  // auxiliary figure, at the parent's share), which no share of this
  // sample lowers, and the second phase's (about the parent's sizes).
  // The range also keeps room for a part of the bytes that no chunk
  // chosen shows, 3 / n of each phase's n (ranges.h): with a second phase
  // of a few hundred chunks that room, not the variance, sets the width.
  const double p1 = m_parent->share();
  const double at_end1 = std::max(p1 * candidates_at_end, 1.0);
  const double first = first_phase_spread() * (1 - p1) / at_end1;
  const double first_room = (1 - p1) * std::min(1.0, 3.0 / at_end1);
  const double mean = y / n, r = y / x;
  const double second = kSpreadMargin *
                        std::max(0.0, (yy - 2 * r * xy + r * r * xx) / n) /
                        (mean * mean);
  double kept = n;
  int level = m_level;
  while (level + 1 < kLevels) {
    kept -= (double)m_cells[level].chunks;
    const double p = pow(2.0, -(level + 1));
    const double at_end = std::max(p * candidates_at_end, 1.0);
    const double var = first + second * (1 - p / p1) / at_end;
    const double room = first_room + (1 - p / p1) * std::min(1.0, 3.0 / at_end);
    if (at_end < (double)kMinChainChosen || kept < (double)kMinKept ||
        !(JACKKNIFE_T * sqrt(var) <= kTargetWidth) || !(room <= kTargetWidth))
      break;
    level++;
  }
  m_level = level;
}

void CompressSample::add_totals(const size_t* hash_compressed,
                                const size_t* hash_uncompressed,
                                size_t stored) {
  PELKO_ASSERT(m_active && !m_aux);
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
