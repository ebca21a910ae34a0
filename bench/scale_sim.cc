// scale_sim: the estimator at the scale where users stop early.
//
// Builds model data sets of 1 TiB to 100 TiB from a few parameters, without
// storing any data: every chunk's content is a function of its place in the
// plan, so that its fingerprint is a hash of a content id and the exact
// figures of the whole set are known by construction (one pass that asks each
// chunk whether it is its content's first occurrence). It then reads each set
// in many random bucket orders through the real estimator's counting path
// (Estimator::add_fingerprint and end_bucket, the path that add_chunk takes
// after the checksum) and prints, at each checkpoint, how often the rows'
// ranges hold the truth.
//
//   scale_sim [--set big|small] [--shapes a,b] [--sizes 1T,10T] [--orders N]
//             [--jobs J] [--memory SIZE] [--target-width PCT] [--stop PCT]
//
// --set big (the default): the shapes vm, backup, home, db and mix at 1 TiB
// (50 read orders) and 10 TiB (20), vm and backup at 100 TiB (5), 16 KiB
// chunks in 1 MiB buckets, checkpoints 0.01 % .. 5 % (--stop PCT: read so
// far, with checkpoints at 10, 20 and 50 % as far as that). vm-pairs, the
// VM farm's twin that a few percent cannot tell from it, runs only when
// named in --shapes.
// --set small: shapes of a few GiB whose copies span whole buckets (aligned
// image copies, clones, shifted copies) and the accuracy benchmark's kinds,
// with the bucket size pelko chooses for them, 100 read orders, checkpoints
// 1 % .. 50 %.
//
// Per checkpoint and figure (dedupe, compress, zeros, total reduction ratio):
//   cover  share of runs whose range holds the truth (a blank bound misses)
//   blank  share of runs with a blank bound
//   width  median of (high - low) / truth
//   rmse   root mean square relative error of the estimate
//   err    mean signed relative error
// and, for 100 TiB runs, the peak resident memory and bytes per distinct
// fingerprint. Read orders run in child processes (--jobs at a time, default
// 2), each with a fresh estimator.
//
// Environment: SCALE_SIM_SEED=N numbers the read orders from N + 1;
// SCALE_SIM_DEBUG=N runs the estimator at debug level N; SCALE_SIM_DUMP=FILE
// appends every run's rows to FILE ("T" the truth, "S" a run's start, "R"
// its rows: progress, then each figure's estimate, low and high), to look
// at single runs where the table shows a miss.
#include <lz4.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "estimator.h"
#include "format.h"
#include "os.h"
#include "printer.h"
#include "sampler.h"
#include "summary.h"

namespace {

const uint64_t K = 16384;  // chunk size of the big set
const uint64_t TiB = 1ull << 40;
const uint64_t GiB = 1ull << 30;

inline uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
inline uint64_t mix(uint64_t a, uint64_t b) { return mix(mix(a) ^ b); }
inline uint64_t mix(uint64_t a, uint64_t b, uint64_t c) {
  return mix(mix(a, b) ^ c);
}
inline uint64_t mix(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
  return mix(mix(a, b, c) ^ d);
}
// A uniform number in [0, 1) from a hash.
inline double unit(uint64_t h) { return (double)(h >> 11) * 0x1.0p-53; }

// One chunk of a model set.
struct chunk_t {
  uint64_t id;      // content id (not used for zero chunks)
  uint64_t region;  // the file or extent whose compressibility it has
  uint32_t size;    // the chunk size
  bool zero;
  bool first;  // the first chunk of the plan with this content (not zeros)
  bool flat;   // a database page: its region says its share alone
};

// What a content compresses to: a class by the hash of the region or file it
// belongs to (compressibility comes in files and extents, not chunk by
// chunk), and a little noise per chunk.
uint32_t csize_of(uint64_t chunk, uint64_t region, uint64_t id);

// What an all-zero chunk of the big set's size compresses to (LZ4).
uint32_t zero_csize(uint32_t size) {
  static const uint32_t k = [] {
    std::vector<char> z(K, 0), out(LZ4_compressBound((int)K));
    return (uint32_t)LZ4_compress_default(z.data(), out.data(), (int)K,
                                          (int)out.size());
  }();
  return size == K ? k : 0;
}

// What a model chunk compresses to, computed when it is needed only.
uint32_t csize(const chunk_t& c) {
  if (c.zero) return zero_csize(c.size);
  if (c.flat)
    return (uint32_t)(c.size * (0.35 + 0.2 * unit(c.region)));
  return csize_of(c.size, c.region, c.id);
}

uint32_t csize_of(uint64_t chunk, uint64_t region, uint64_t id) {
  const double u = unit(mix(region, 77));
  const double v = unit(mix(id, 78));
  double share;
  if (u < 0.25)
    share = 1.004;  // does not compress (LZ4 adds a little)
  else if (u < 0.75)
    share = 0.25 + 0.35 * unit(mix(region, 79)) + 0.05 * (v - 0.5);
  else
    share = 0.05 + 0.10 * unit(mix(region, 80)) + 0.02 * (v - 0.5);
  return (uint32_t)std::max(16.0, share * (double)chunk);
}

// A model data set: its chunks in plan order.
class Shape {
 public:
  explicit Shape(uint64_t chunk) : m_chunk(chunk) {}
  virtual ~Shape() {}
  uint64_t chunk_size() const { return m_chunk; }
  virtual uint64_t n_chunks() const = 0;
  // Bytes of file tails (shorter than a chunk: counted, never read).
  virtual uint64_t tail_bytes() const { return 0; }
  // out[k] = chunk first + k, k < n.
  virtual void chunks(uint64_t first, uint32_t n, chunk_t* out) const = 0;

 protected:
  const uint64_t m_chunk;
};

// A set laid out as regions (images, files) one after another: finds the
// region of a chunk by binary search over their starts.
class Regions {
 public:
  void add(uint64_t n) {
    m_start.push_back(m_total);
    m_total += n;
  }
  uint64_t total() const { return m_total; }
  size_t size() const { return m_start.size(); }
  uint64_t start(size_t r) const { return m_start[r]; }
  uint64_t length(size_t r) const {
    return (r + 1 < m_start.size() ? m_start[r + 1] : m_total) - m_start[r];
  }
  size_t find(uint64_t i) const {
    return std::upper_bound(m_start.begin(), m_start.end(), i) -
           m_start.begin() - 1;
  }
  // Calls f(region, offset in it) for chunks first .. first + n - 1.
  template <typename F>
  void walk(uint64_t first, uint32_t n, F f) const {
    size_t r = find(first);
    uint64_t off = first - m_start[r];
    for (uint32_t k = 0; k < n; k++) {
      while (off >= length(r)) {
        off -= length(r);
        r++;
      }
      f(k, r, off);
      off++;
    }
  }

 private:
  std::vector<uint64_t> m_start;
  uint64_t m_total = 0;
};

// --- VM farm: templates, and clones of them with a share of chunks
// rewritten; the images have runs of zero chunks (never-written space).
class VmFarm : public Shape {
 public:
  // With `paired`, clones c and c + n_templates (of the same template)
  // rewrite the same chunks alike, so that each rewritten content is stored
  // twice instead of once.
  VmFarm(uint64_t bytes, uint64_t chunk, int n_templates, int n_clones,
         double min_gib, double max_gib, double min_rw, double max_rw,
         uint64_t tag = 1, bool paired = false)
      : Shape(chunk), m_tag(tag) {
    // The sizes are scaled so that the whole set has `bytes`.
    std::vector<double> size(n_templates);
    double sum = 0;
    for (int t = 0; t < n_templates; t++) {
      size[t] = min_gib + (max_gib - min_gib) * unit(mix(tag, 1, t));
      sum += size[t];
    }
    const double per_copy = sum / n_templates;
    const double scale = (double)bytes / ((n_templates + n_clones) * per_copy * GiB);
    for (int t = 0; t < n_templates; t++) {
      const uint64_t n = std::max<uint64_t>(1, (uint64_t)(size[t] * scale * GiB / chunk));
      m_tsize.push_back(n);
      m_zero_share.push_back(0.1 + 0.3 * unit(mix(tag, 2, t)));
      m_regions.add(n);
      m_template.push_back(t);
      m_rewrite.push_back(0);
    }
    for (int c = 0; c < n_clones; c++) {
      const int t = c % n_templates;
      // The clone whose rewrites this one shares (itself if none).
      int lead = c;
      if (paired && (c / n_templates) % 2 == 1) lead = c - n_templates;
      m_regions.add(m_tsize[t]);
      m_template.push_back(t);
      m_lead.push_back(n_templates + lead);
      m_rewrite.push_back(min_rw + (max_rw - min_rw) * unit(mix(tag, 3, lead)));
    }
  }
  uint64_t n_chunks() const override { return m_regions.total(); }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    m_regions.walk(first, n, [&](uint32_t k, size_t r, uint64_t j) {
      chunk_t& c = out[k];
      const int t = m_template[r];
      const bool is_template = r < m_tsize.size();
      if (!is_template) {
        const uint64_t lead = m_lead[r - m_tsize.size()];
        if (unit(mix(m_tag, 4, lead, j)) < m_rewrite[r]) {
          c.zero = false;
          c.first = lead == r;
          c.id = mix(m_tag, 5, lead, j);
          c.region = mix(m_tag, 6, lead, j >> 12); c.size = (uint32_t)m_chunk; c.flat = false;
          return;
        }
      }
      // Zero runs of 256 chunks (4 MiB at 16 KiB).
      c.zero = unit(mix(m_tag, 7, t, j >> 8)) < m_zero_share[t];
      c.first = is_template && !c.zero;
      c.id = mix(m_tag, 8, t, j);
      c.region = mix(m_tag, 9, t, j >> 12); c.size = (uint32_t)m_chunk; c.flat = false;
    });
  }

 private:
  uint64_t m_tag;
  Regions m_regions;
  std::vector<uint64_t> m_tsize;
  std::vector<uint64_t> m_lead;  // per clone: the region whose rewrites it has
  std::vector<double> m_zero_share;
  std::vector<int> m_template;
  std::vector<double> m_rewrite;
};

// File sizes: a share of small files (one or two chunks and a tail, or only
// a tail), the rest Pareto.
uint64_t file_size(uint64_t h, double small_share, double xm, double alpha,
                   double cap) {
  const double u = unit(mix(h, 11));
  if (u < small_share)
    return (uint64_t)(512.0 * pow(96.0, unit(mix(h, 12))));  // 512 B .. 48 KiB
  const double p = xm / pow(1.0 - unit(mix(h, 13)), 1.0 / alpha);
  return (uint64_t)std::min(p, cap);
}

// --- Backup chain: full backups of one file server on consecutive days;
// each day 2 % of the files change, and a changed file has half of its
// chunks rewritten.
class BackupChain : public Shape {
 public:
  BackupChain(uint64_t bytes, uint64_t chunk, int days = 30,
              double change = 0.02, uint64_t tag = 3)
      : Shape(chunk), m_tag(tag), m_days(days) {
    const uint64_t per_day = bytes / days;
    uint64_t got = 0;
    for (uint64_t f = 0; got < per_day; f++) {
      const uint64_t size = file_size(mix(tag, f), 0.3, 256 * 1024.0, 1.3,
                                      (double)per_day / 50);
      got += size;
      const uint64_t n = size / chunk;
      m_tails += (size % chunk) * days;
      if (n == 0) continue;
      uint32_t mask = 0;
      for (int d = 1; d < days; d++)
        if (unit(mix(tag, 20, f, d)) < change) mask |= 1u << d;
      m_files.add(n);
      m_id.push_back(f);
      m_mask.push_back(mask);
    }
  }
  uint64_t n_chunks() const override { return m_files.total() * m_days; }
  uint64_t tail_bytes() const override { return m_tails; }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    const uint64_t per_day = m_files.total();
    uint32_t done = 0;
    while (done < n) {
      const uint64_t i = first + done;
      const uint64_t day = i / per_day;
      const uint64_t off = i % per_day;
      const uint32_t here = (uint32_t)std::min<uint64_t>(n - done, per_day - off);
      m_files.walk(off, here, [&](uint32_t k, size_t r, uint64_t j) {
        chunk_t& c = out[done + k];
        const uint64_t f = m_id[r];
        c.zero = unit(mix(m_tag, 21, f)) < 0.005;  // preallocated, all zero
        // The version of chunk j on this day: the last change that
        // rewrote it.
        uint64_t version = 0;
        for (uint32_t m = m_mask[r] & ((2u << day) - 1); m != 0;) {
          const int d = 31 - __builtin_clz(m);
          if (unit(mix(m_tag, 22, f, (uint64_t)d << 40 | j)) < 0.5) {
            version = (uint64_t)d;
            break;
          }
          m &= ~(1u << d);
        }
        c.first = !c.zero && version == day;
        c.id = mix(m_tag, 23, f, version << 40 | j);
        c.region = mix(m_tag, 24, f); c.size = (uint32_t)m_chunk; c.flat = false;
      });
      done += here;
    }
  }

 private:
  uint64_t m_tag;
  int m_days;
  Regions m_files;  // one day's files, in order
  std::vector<uint64_t> m_id;
  std::vector<uint32_t> m_mask;  // bit d: changed on day d
  uint64_t m_tails = 0;
};

// --- Home directories: files with a Zipf-like number of copies each, the
// copies scattered; many small files.
class HomeDirs : public Shape {
 public:
  HomeDirs(uint64_t bytes, uint64_t chunk, uint64_t tag = 4)
      : Shape(chunk), m_tag(tag) {
    // Copies k with probability proportional to k^-2.2, k <= 1000.
    std::vector<double> cdf;
    double sum = 0;
    for (int k = 1; k <= 1000; k++) cdf.push_back(sum += pow(k, -2.2));
    std::vector<uint32_t> copies_of;
    std::vector<uint64_t> files;  // ids of the files with whole chunks
    std::vector<uint64_t> nchunks;
    uint64_t got = 0;
    std::vector<uint64_t> instances;  // file index, one per copy
    for (uint64_t f = 0; got < bytes; f++) {
      const uint64_t size = file_size(mix(tag, f), 0.7, 256 * 1024.0, 1.2,
                                      (double)bytes / 200);
      const double u = unit(mix(tag, 30, f)) * sum;
      const int k = (int)(std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin()) + 1;
      got += size * k;
      m_tails += (size % chunk) * k;
      const uint64_t n = size / chunk;
      if (n == 0) continue;
      for (int c = 0; c < k; c++) instances.push_back(files.size());
      files.push_back(f);
      nchunks.push_back(n);
    }
    std::mt19937_64 rng(mix(tag, 31));
    std::shuffle(instances.begin(), instances.end(), rng);
    std::vector<bool> seen(files.size(), false);
    for (uint64_t x : instances) {
      m_regions.add(nchunks[x]);
      m_file.push_back(files[x]);
      m_first.push_back(!seen[x]);
      seen[x] = true;
    }
  }
  uint64_t n_chunks() const override { return m_regions.total(); }
  uint64_t tail_bytes() const override { return m_tails; }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    m_regions.walk(first, n, [&](uint32_t k, size_t r, uint64_t j) {
      chunk_t& c = out[k];
      const uint64_t f = m_file[r];
      c.zero = unit(mix(m_tag, 32, f)) < 0.005;
      c.first = m_first[r] && !c.zero;
      c.id = mix(m_tag, 33, f, j);
      c.region = mix(m_tag, 34, f); c.size = (uint32_t)m_chunk; c.flat = false;
    });
  }

 private:
  uint64_t m_tag;
  Regions m_regions;
  std::vector<uint64_t> m_file;
  std::vector<bool> m_first;
  uint64_t m_tails = 0;
};

// --- A database: pages almost all distinct and compressible, 5 % zero in
// freed extents, 1 % copies of a recent page.
class Database : public Shape {
 public:
  Database(uint64_t bytes, uint64_t chunk, uint64_t tag = 5)
      : Shape(chunk), m_tag(tag), m_n(bytes / chunk) {}
  uint64_t n_chunks() const override { return m_n; }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    for (uint32_t k = 0; k < n; k++) {
      const uint64_t j = first + k;
      chunk_t& c = out[k];
      c.zero = zero(j);
      c.first = !c.zero;
      c.id = mix(m_tag, 40, j);
      if (!c.zero && unit(mix(m_tag, 41, j)) < 0.01) {
        const uint64_t back = 1 + (mix(m_tag, 42, j) % 4096);
        if (back <= j && original(j - back)) {
          c.id = mix(m_tag, 40, j - back);
          c.first = false;
        }
      }
      c.region = mix(m_tag, 43, j >> 10);
      c.size = (uint32_t)m_chunk;
      c.flat = true;
    }
  }

 private:
  // Freed extents: one 64-page region in ten is half zero pages.
  bool zero(uint64_t j) const {
    return unit(mix(m_tag, 44, j >> 6)) < 0.1 && unit(mix(m_tag, 45, j)) < 0.5;
  }
  bool original(uint64_t j) const {
    return !zero(j) && !(unit(mix(m_tag, 41, j)) < 0.01);
  }
  uint64_t m_tag;
  uint64_t m_n;
};

// --- Several shapes one after another.
class Concat : public Shape {
 public:
  explicit Concat(std::vector<std::unique_ptr<Shape>> parts)
      : Shape(parts[0]->chunk_size()), m_parts(std::move(parts)) {
    for (auto& p : m_parts) m_regions.add(p->n_chunks());
  }
  uint64_t n_chunks() const override { return m_regions.total(); }
  uint64_t tail_bytes() const override {
    uint64_t t = 0;
    for (auto& p : m_parts) t += p->tail_bytes();
    return t;
  }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    uint32_t done = 0;
    while (done < n) {
      const size_t r = m_regions.find(first + done);
      const uint64_t off = first + done - m_regions.start(r);
      const uint32_t here =
          (uint32_t)std::min<uint64_t>(n - done, m_regions.length(r) - off);
      m_parts[r]->chunks(off, here, out + done);
      done += here;
    }
  }

 private:
  std::vector<std::unique_ptr<Shape>> m_parts;
  Regions m_regions;
};

// --- Small shapes, for the sets whose copies span whole buckets.

// `copies` copies of one image of `image` chunks, the copy c shifted by
// shift chunks (its first shift chunks are distinct padding); clones rewrite
// a share of their chunks.
class Copies : public Shape {
 public:
  Copies(uint64_t image, uint64_t chunk, int copies, double rewrite,
         uint64_t shift, uint64_t tag = 60)
      : Shape(chunk), m_tag(tag), m_image(image), m_copies(copies),
        m_rewrite(rewrite), m_shift(shift) {}
  uint64_t n_chunks() const override {
    return m_copies * m_image + (m_copies - 1) * m_shift;
  }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    for (uint32_t k = 0; k < n; k++) {
      uint64_t i = first + k;
      chunk_t& c = out[k];
      c.zero = false;
      if (i < m_image) {
        c.first = true;
        c.id = mix(m_tag, 61, i);
        c.region = mix(m_tag, i >> 8); c.size = (uint32_t)m_chunk; c.flat = false;
        continue;
      }
      i -= m_image;
      const uint64_t copy = 1 + i / (m_image + m_shift);
      const uint64_t off = i % (m_image + m_shift);
      if (off < m_shift || unit(mix(m_tag, 62, copy, off)) < m_rewrite) {
        c.first = true;
        c.id = mix(m_tag, 63, copy, off);
        c.region = mix(m_tag, 64, copy, off >> 8); c.size = (uint32_t)m_chunk; c.flat = false;
        continue;
      }
      c.first = false;
      c.id = mix(m_tag, 61, off - m_shift);
      c.region = mix(m_tag, (off - m_shift) >> 8); c.size = (uint32_t)m_chunk; c.flat = false;
    }
  }

 private:
  uint64_t m_tag, m_image;
  int m_copies;
  double m_rewrite;
  uint64_t m_shift;
};

// Contents with a given number of copies each, scattered chunk by chunk
// (distinct: 1, twice: 2, fifty: 50), or a Zipf-like law of copies with 5 %
// zero chunks.
class Scattered : public Shape {
 public:
  Scattered(uint64_t n, uint64_t chunk, int copies, bool zipf, uint64_t tag)
      : Shape(chunk), m_tag(tag) {
    std::vector<uint64_t> ids;
    std::vector<double> cdf;
    double sum = 0;
    for (int k = 1; k <= 1000; k++) cdf.push_back(sum += pow(k, -2.0));
    for (uint64_t u = 0; ids.size() < n; u++) {
      int k = copies;
      if (zipf) {
        const double x = unit(mix(tag, 70, u)) * sum;
        k = (int)(std::lower_bound(cdf.begin(), cdf.end(), x) - cdf.begin()) + 1;
      }
      for (int c = 0; c < k && ids.size() < n; c++) ids.push_back(u);
    }
    std::mt19937_64 rng(mix(tag, 71));
    std::shuffle(ids.begin(), ids.end(), rng);
    std::vector<bool> seen(*std::max_element(ids.begin(), ids.end()) + 1, false);
    for (uint64_t id : ids) {
      const bool zero = zipf && unit(mix(tag, 72, m_chunks.size())) < 0.05;
      m_chunks.push_back(chunk_t{mix(tag, 73, id), mix(tag, 74, id),
                                 (uint32_t)chunk, zero, !zero && !seen[id],
                                 false});
      if (!zero) seen[id] = true;
    }
  }
  uint64_t n_chunks() const override { return m_chunks.size(); }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    std::copy(m_chunks.begin() + first, m_chunks.begin() + first + n, out);
  }

 private:
  uint64_t m_tag;
  std::vector<chunk_t> m_chunks;
};

// Whole files copied between version directories: v versions of a tree of
// files; each file is new in a version with probability `change`, else a
// copy of its previous version (files of a few chunks to a few MiB).
class Versions : public Shape {
 public:
  Versions(uint64_t n, uint64_t chunk, int versions, double change,
           uint64_t tag = 80)
      : Shape(chunk), m_tag(tag) {
    const uint64_t per_version = n / versions;
    std::vector<uint64_t> sizes;
    uint64_t got = 0;
    for (uint64_t f = 0; got < per_version; f++) {
      const uint64_t s = 1 + (uint64_t)(pow(400.0, unit(mix(tag, 81, f))));
      sizes.push_back(s);
      got += s;
    }
    for (int v = 0; v < versions; v++)
      for (uint64_t f = 0; f < sizes.size(); f++) {
        // The version whose content this copy has.
        int from = v;
        while (from > 0 && !(unit(mix(tag, 82, f, from)) < change)) from--;
        m_regions.add(sizes[f]);
        m_file.push_back(f);
        m_from.push_back(from);
        m_first.push_back(from == v);
      }
  }
  uint64_t n_chunks() const override { return m_regions.total(); }
  void chunks(uint64_t first, uint32_t n, chunk_t* out) const override {
    m_regions.walk(first, n, [&](uint32_t k, size_t r, uint64_t j) {
      chunk_t& c = out[k];
      c.zero = false;
      c.first = m_first[r];
      c.id = mix(m_tag, 83, m_file[r], (uint64_t)m_from[r] << 40 | j);
      c.region = mix(m_tag, 84, m_file[r]); c.size = (uint32_t)m_chunk; c.flat = false;
    });
  }

 private:
  uint64_t m_tag;
  Regions m_regions;
  std::vector<uint64_t> m_file;
  std::vector<int> m_from;
  std::vector<bool> m_first;
};

// ---------------------------------------------------------------------------

struct shape_def_t {
  std::string name;
  std::string what;
  std::function<std::unique_ptr<Shape>(uint64_t bytes)> make;
  // Run only when named in --shapes.
  bool named_only = false;
};

std::vector<shape_def_t> big_shapes() {
  std::vector<shape_def_t> v;
  v.push_back({"vm", "VM farm: 20 templates, 500 clones (1-10 % rewritten), zero runs",
               [](uint64_t b) {
                 return std::unique_ptr<Shape>(
                     new VmFarm(b, K, 20, 500, 50, 200, 0.01, 0.10));
               }});
  // The VM farm's twin: the same but for each rewritten content being
  // stored twice, which a read of a few percent can hardly tell apart (both
  // copies of a content are rarely read), so that a sound range must hold
  // both truths there.
  v.push_back({"vm-pairs",
               "VM farm as vm, but pairs of clones share their rewrites",
               [](uint64_t b) {
                 return std::unique_ptr<Shape>(
                     new VmFarm(b, K, 20, 500, 50, 200, 0.01, 0.10, 1, true));
               },
               true});
  v.push_back({"backup", "30 daily full backups, 2 % of files changed a day",
               [](uint64_t b) { return std::unique_ptr<Shape>(new BackupChain(b, K)); }});
  v.push_back({"home", "home directories: Zipf-like copies of files, many small",
               [](uint64_t b) { return std::unique_ptr<Shape>(new HomeDirs(b, K)); }});
  v.push_back({"db", "database: distinct compressible pages, 5 % zero",
               [](uint64_t b) { return std::unique_ptr<Shape>(new Database(b, K)); }});
  v.push_back({"mix", "the four above, a quarter each", [](uint64_t b) {
                 std::vector<std::unique_ptr<Shape>> parts;
                 parts.emplace_back(new VmFarm(b / 4, K, 20, 500, 50, 200, 0.01, 0.10));
                 parts.emplace_back(new BackupChain(b / 4, K));
                 parts.emplace_back(new HomeDirs(b / 4, K));
                 parts.emplace_back(new Database(b / 4, K));
                 return std::unique_ptr<Shape>(new Concat(std::move(parts)));
               }});
  return v;
}

// Small shapes: n chunks of 16 KiB (the size argument is ignored; each
// shape has its own).
std::vector<shape_def_t> small_shapes() {
  const uint64_t img = 65536;  // a 1 GiB image
  std::vector<shape_def_t> v;
  auto add = [&v](const char* n, const char* w,
                  std::function<std::unique_ptr<Shape>()> f) {
    v.push_back({n, w, [f](uint64_t) { return f(); }});
  };
  add("distinct", "all distinct, 1 GiB", [] {
    return std::unique_ptr<Shape>(new Scattered(65536, K, 1, false, 90));
  });
  add("twice", "every content twice, scattered, 1 GiB", [] {
    return std::unique_ptr<Shape>(new Scattered(65536, K, 2, false, 91));
  });
  add("fifty", "contents 50 times each, scattered, 1 GiB", [] {
    return std::unique_ptr<Shape>(new Scattered(65536, K, 50, false, 92));
  });
  add("zipf", "Zipf-like copies, 5 % zero chunks, 1 GiB", [] {
    return std::unique_ptr<Shape>(new Scattered(65536, K, 1, true, 93));
  });
  add("versions", "whole files copied between 5 versions, 1.5 GiB", [] {
    return std::unique_ptr<Shape>(new Versions(98304, K, 5, 0.3));
  });
  add("copies2", "2 aligned copies of a 1 GiB image", [img] {
    return std::unique_ptr<Shape>(new Copies(img, K, 2, 0.0, 0));
  });
  add("copies3", "3 aligned copies of a 1 GiB image", [img] {
    return std::unique_ptr<Shape>(new Copies(img, K, 3, 0.0, 0));
  });
  add("clones8", "8 clones of a 256 MiB image, 5 % of each rewritten", [] {
    return std::unique_ptr<Shape>(new Copies(16384, K, 8, 0.05, 0));
  });
  add("shifted", "3 copies of a 1 GiB image, each shifted by a quarter bucket",
      [img] {
        const uint64_t cpb = choose_bucket_size(3 * img * K, K) / K;
        return std::unique_ptr<Shape>(
            new Copies(img, K, 3, 0.0, std::max<uint64_t>(1, cpb / 4)));
      });

  return v;
}

// --- One run: a read order through the estimator.

struct row_out_t {
  double progress;
  double r, r_low, r_high;
  double c, c_low, c_high;
  double z, z_low, z_high;
  double t, t_low, t_high;  // total reduction ratio
  double rss;               // resident bytes at the row
  double distinct;          // fingerprints in the map
};

struct truth_t {
  double r, c, z, t;
  uint64_t chunks, distinct;
  // Pairs of buckets that are copies of each other (share at least 3/4 of
  // a bucket's contents), counted for the small set only; -1: not counted.
  double copy_pairs;
};

struct run_cfg_t {
  uint64_t chunk;
  uint64_t bucket;
  double stop;          // share of the plan read
  double target_width;  // 0: none
  size_t memory_limit;
  bool early_rows;
  double report_freq;
};

struct sim_ctx_t {
  const Shape* shape;
  std::vector<row_out_t>* rows;
};

void on_row(const Estimator::row_t& row, void* arg) {
  sim_ctx_t* ctx = static_cast<sim_ctx_t*>(arg);
  row_out_t o;
  o.progress = row.progress;
  o.r = row.r;
  o.r_low = row.r_low;
  o.r_high = row.r_high;
  o.c = row.compress;
  o.c_low = row.compress_low;
  o.c_high = row.compress_high;
  o.z = row.zeros;
  o.z_low = row.zeros_low;
  o.z_high = row.zeros_high;
  // The summary's own figures (pessimistic: fewer duplicates, less
  // compression, fewer zeros).
  o.t = row.total;
  o.t_low = row.total_low;
  o.t_high = row.total_high;
  size_t cur = 0;
  os_get_memory_usage(&cur, nullptr);
  o.rss = (double)cur;
  o.distinct = (double)row.n_distinct;
  ctx->rows->push_back(o);
}

size_t chunk_csize(const void* arg) {
  return csize(*static_cast<const chunk_t*>(arg));
}

// A uniform random order of n buckets, drawn one at a time (the law of the
// reader's order: each next bucket uniform among those left).
class Order {
 public:
  Order(uint64_t n, uint64_t seed) : m_left(n), m_rng(mix(seed, 99)) {
    m_perm.resize(n);
    for (uint64_t i = 0; i < n; i++) m_perm[i] = (uint32_t)i;
  }
  uint64_t next() {
    std::uniform_int_distribution<uint64_t> d(0, m_left - 1);
    const uint64_t i = d(m_rng);
    const uint32_t b = m_perm[i];
    m_perm[i] = m_perm[--m_left];
    return b;
  }

 private:
  uint64_t m_left;
  std::mt19937_64 m_rng;
  std::vector<uint32_t> m_perm;
};

std::vector<row_out_t> run_order(const Shape& shape, const run_cfg_t& cfg,
                                 uint64_t seed, double* stopped_at) {
  pelko_params_t params;
  params.chunk_size = cfg.chunk;
  params.bucket_size = cfg.bucket;
  params.estimate_mask = -1;
  params.report_freq = cfg.report_freq;
  params.n_threads = 1;
  params.scan_time_limit = 0;
  params.scan_memory_limit = 0;
  params.memory_limit = cfg.memory_limit;
  params.alpha = DEFAULT_ALPHA;
  params.debug = getenv("SCALE_SIM_DEBUG") ? atoi(getenv("SCALE_SIM_DEBUG")) : 0;
  params.fingerprint_bits = 64;
  params.stop_at = cfg.stop;
  params.early_rows = cfg.early_rows;
  params.target_width = cfg.target_width;

  std::vector<row_out_t> rows;
  sim_ctx_t ctx{&shape, &rows};
  Estimator::env_t env;
  env.on_row = on_row;
  env.on_row_arg = &ctx;
  Estimator e(params, env);
  const uint64_t cpb = cfg.bucket / cfg.chunk;
  const uint64_t n = shape.n_chunks();
  Estimator::plan_t plan;
  plan.total_chunks = n;
  plan.total_buckets = (n + cpb - 1) / cpb;
  plan.chunks_per_bucket = cpb;
  plan.tail_bytes = shape.tail_bytes();
  e.begin(plan);
  const size_t limit = e.bucket_limit() != 0 ? e.bucket_limit() : plan.total_buckets;
  Order order(plan.total_buckets, seed);
  std::vector<chunk_t> buf(cpb);
  for (size_t seq = 0; seq < limit && e.stop_reason().empty(); seq++) {
    const uint64_t b = order.next();
    const uint64_t first = b * cpb;
    const uint32_t m = (uint32_t)std::min<uint64_t>(cpb, n - first);
    shape.chunks(first, m, buf.data());
    for (uint32_t k = 0; k < m; k++)
      e.add_fingerprint(mix(buf[k].id, 1234), buf[k].zero, seq, chunk_csize,
                        &buf[k]);
    e.end_bucket(seq);
  }
  *stopped_at = rows.empty() ? 0 : rows.back().progress;
  e.finish();
  return rows;
}

// Pairs of buckets (of cpb chunks) that share at least 3/4 of their contents.
// Contents in more than 64 buckets are left out: they make pairs of buckets
// that share them and little else.
double count_copy_pairs(const Shape& shape, uint64_t cpb) {
  const uint64_t n = shape.n_chunks();
  std::vector<chunk_t> buf(cpb);
  std::unordered_map<uint64_t, std::vector<uint32_t>> where;
  for (uint64_t b = 0; b * cpb < n; b++) {
    const uint32_t m = (uint32_t)std::min<uint64_t>(cpb, n - b * cpb);
    shape.chunks(b * cpb, m, buf.data());
    for (uint32_t k = 0; k < m; k++) {
      if (buf[k].zero) continue;
      std::vector<uint32_t>& v = where[buf[k].id];
      if (v.empty() || v.back() != b) v.push_back((uint32_t)b);
    }
  }
  std::unordered_map<uint64_t, uint32_t> shared;
  for (const auto& kv : where) {
    const std::vector<uint32_t>& v = kv.second;
    if (v.size() < 2 || v.size() > 64) continue;
    for (size_t i = 0; i < v.size(); i++)
      for (size_t j = i + 1; j < v.size(); j++)
        shared[(uint64_t)v[i] << 32 | v[j]]++;
  }
  double pairs = 0;
  for (const auto& kv : shared) pairs += kv.second * 4 >= 3 * cpb;
  return pairs;
}

// The 95 % upper bound of a Poisson mean of which k were seen
// (Wilson-Hilferty).
double poisson_upper(double k) {
  const double a = k + 1;
  const double c = 1 - 1 / (9 * a) + 1.645 / (3 * sqrt(a));
  return a * c * c * c;
}

truth_t compute_truth(const Shape& shape) {
  truth_t t{};
  t.copy_pairs = -1;
  const uint64_t n = shape.n_chunks();
  const uint32_t step = 4096;
  std::vector<chunk_t> buf(step);
  uint64_t zeros = 0, distinct = 0;
  double csum = 0, stored = 0;
  const double K_ = (double)shape.chunk_size();
  for (uint64_t i = 0; i < n; i += step) {
    const uint32_t m = (uint32_t)std::min<uint64_t>(step, n - i);
    shape.chunks(i, m, buf.data());
    for (uint32_t k = 0; k < m; k++) {
      if (buf[k].zero) {
        zeros++;
      } else if (buf[k].first) {
        distinct++;
        const double c = csize(buf[k]);
        csum += c;
        stored += std::min(c, K_);
      }
    }
  }
  const double zc = zero_csize((uint32_t)K_);
  const uint64_t d = distinct + (zeros > 0 ? 1 : 0);
  t.chunks = n;
  t.distinct = d;
  t.r = (double)n / (double)d;
  t.c = (double)d * K_ / (csum + (zeros > 0 ? zc : 0));
  t.z = (double)zeros / (double)n;
  // The total as the summary of a complete run works it out.
  summary_input_t in;
  in.reductible_size = (size_t)(n * shape.chunk_size());
  in.total_size = in.reductible_size + (size_t)shape.tail_bytes();
  in.total_files = INVALID_SIZE_T;
  in.chunk_size = (size_t)K_;
  in.n_data_chunks = (size_t)(n - zeros);
  in.n_zero_chunks = (size_t)zeros;
  in.progress = 1.0;
  in.estimate_mask = -1;
  in.r = in.r_low = in.r_high = t.r;
  in.uncompressed_size = (size_t)(d * K_);
  in.compressed_size = (size_t)(csum + (zeros > 0 ? zc : 0));
  in.stored_size = (size_t)(stored + (zeros > 0 ? zc : 0));
  in.zero_chunk_compressed = (size_t)zc;
  t.t = compute_summary(in).ratio.value;
  return t;
}

// --- Child processes.

struct job_t {
  size_t shape;
  uint64_t bytes;
  uint64_t seed;  // 0: the truth
};

std::string run_job(const shape_def_t& def, const job_t& j,
                    const run_cfg_t& cfg) {
  std::unique_ptr<Shape> shape = def.make(j.bytes);
  std::ostringstream os;
  os.precision(9);
  run_cfg_t c = cfg;
  if (c.bucket == 0) {
    c.bucket = choose_bucket_size(shape->n_chunks() * c.chunk, c.chunk);
  }
  if (j.seed == 0) {
    truth_t t = compute_truth(*shape);
    if (cfg.bucket == 0) t.copy_pairs = count_copy_pairs(*shape, c.bucket / c.chunk);
    os << "T " << t.r << " " << t.c << " " << t.z << " " << t.t << " "
       << t.chunks << " " << t.distinct << " " << t.copy_pairs << " "
       << c.bucket << "\n";
    return os.str();
  }
  double stopped = 0;
  const std::vector<row_out_t> rows = run_order(*shape, c, j.seed, &stopped);
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  os << "S " << stopped << " " << (double)ru.ru_maxrss * 1024 << " " << c.bucket
     << "\n";
  for (const row_out_t& r : rows) {
    os << "R " << r.progress << " " << r.r << " " << r.r_low << " " << r.r_high
       << " " << r.c << " " << r.c_low << " " << r.c_high << " " << r.z << " "
       << r.z_low << " " << r.z_high << " " << r.t << " " << r.t_low << " "
       << r.t_high << " " << r.rss << " " << r.distinct << "\n";
  }
  return os.str();
}

// Runs the jobs in up to `jobs` children at a time; returns their outputs.
std::vector<std::string> run_all(const std::vector<shape_def_t>& shapes,
                                 const std::vector<job_t>& all,
                                 const run_cfg_t& cfg, int jobs) {
  std::vector<std::string> out(all.size());
  std::map<pid_t, std::pair<size_t, int>> running;  // pid -> job, pipe
  size_t next = 0;
  while (next < all.size() || !running.empty()) {
    while (next < all.size() && (int)running.size() < jobs) {
      int fd[2];
      if (pipe(fd) != 0) abort();
      const pid_t pid = fork();
      if (pid == 0) {
        close(fd[0]);
        const std::string s = run_job(shapes[all[next].shape], all[next], cfg);
        size_t done = 0;
        while (done < s.size()) {
          const ssize_t w = write(fd[1], s.data() + done, s.size() - done);
          if (w <= 0) _exit(1);
          done += (size_t)w;
        }
        _exit(0);
      }
      close(fd[1]);
      running[pid] = {next, fd[0]};
      next++;
    }
    // Drain the pipes (a child blocks on a full pipe until read).
    for (auto it = running.begin(); it != running.end();) {
      char buf[65536];
      const ssize_t n = read(it->second.second, buf, sizeof(buf));
      if (n > 0) {
        out[it->second.first].append(buf, (size_t)n);
        ++it;
        continue;
      }
      close(it->second.second);
      int status = 0;
      waitpid(it->first, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "scale_sim: a run failed\n");
        exit(1);
      }
      it = running.erase(it);
    }
  }
  return out;
}

// --- Statistics.

struct figure_stats_t {
  double cover, blank, width, rmse, err;
};

figure_stats_t stats(const std::vector<std::array<double, 3>>& v, double truth) {
  figure_stats_t s{0, 0, NAN, NAN, NAN};
  if (v.empty() || !(truth > 0)) return s;
  std::vector<double> widths;
  double se = 0, e = 0;
  for (const auto& x : v) {
    const double est = x[0], low = x[1], high = x[2];
    const bool blank = !(low >= 0) || !(high >= 0);
    s.blank += blank;
    if (!blank) {
      widths.push_back((high - low) / truth);
      if (low <= truth * (1 + 1e-9) && high >= truth * (1 - 1e-9)) s.cover++;
    }
    const double rel = (est - truth) / truth;
    se += rel * rel;
    e += rel;
  }
  const double n = (double)v.size();
  s.cover = 100 * s.cover / n;
  s.blank = 100 * s.blank / n;
  if (!widths.empty()) {
    std::sort(widths.begin(), widths.end());
    s.width = widths[widths.size() / 2];
  }
  s.rmse = sqrt(se / n);
  s.err = 100 * e / n;
  return s;
}

uint64_t parse_size(const std::string& s) {
  const long long b = strsize_to_bytes(s.c_str());
  if (b <= 0) {
    fprintf(stderr, "scale_sim: bad size %s\n", s.c_str());
    exit(2);
  }
  return (uint64_t)b;
}

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char ch : s) {
    if (ch == ',') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += ch;
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

double now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + ts.tv_nsec * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  std::string set = "big", shapes_arg, sizes_arg;
  int orders = 0, jobs = 2;
  size_t memory = 0;
  double target = 0, stop = -1;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto val = [&]() -> std::string {
      if (i + 1 >= argc) {
        fprintf(stderr, "scale_sim: %s needs a value\n", a.c_str());
        exit(2);
      }
      return argv[++i];
    };
    if (a == "--set") set = val();
    else if (a == "--shapes") shapes_arg = val();
    else if (a == "--sizes") sizes_arg = val();
    else if (a == "--orders") orders = atoi(val().c_str());
    else if (a == "--jobs") jobs = atoi(val().c_str());
    else if (a == "--memory") memory = parse_size(val());
    else if (a == "--target-width") target = atof(val().c_str()) / 100;
    else if (a == "--stop") stop = atof(val().c_str()) / 100;
    else {
      fprintf(stderr,
              "usage: scale_sim [--set big|small] [--shapes a,b] [--sizes 1T,10T] "
              "[--orders N] [--jobs J] [--memory SIZE] [--target-width PCT] "
              "[--stop PCT]\n");
      return 2;
    }
  }
  static std::ostringstream sink;  // the rows' text is not wanted
  if (!getenv("SCALE_SIM_DEBUG")) printer.set_console(&sink);
  printer.set_console_is_terminal(false);

  const bool big = set == "big";
  const std::vector<shape_def_t> shapes = big ? big_shapes() : small_shapes();
  std::vector<size_t> which;
  if (shapes_arg.empty()) {
    for (size_t s = 0; s < shapes.size(); s++)
      if (!shapes[s].named_only) which.push_back(s);
  } else {
    for (const std::string& n : split(shapes_arg)) {
      size_t s = 0;
      while (s < shapes.size() && shapes[s].name != n) s++;
      if (s == shapes.size()) {
        fprintf(stderr, "scale_sim: no shape %s\n", n.c_str());
        return 2;
      }
      which.push_back(s);
    }
  }
  std::vector<uint64_t> sizes;
  if (!sizes_arg.empty()) {
    for (const std::string& s : split(sizes_arg)) sizes.push_back(parse_size(s));
  } else if (big) {
    sizes = {TiB, 10 * TiB, 100 * TiB};
  } else {
    sizes = {0};
  }
  std::vector<double> checkpoints =
      big ? std::vector<double>{0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005,
                                0.01, 0.02, 0.05}
          : std::vector<double>{0.01, 0.02, 0.05, 0.1, 0.2, 0.5};
  // Read further with --stop: the checkpoints go on as far.
  for (double cp : {0.1, 0.2, 0.5})
    if (big && stop >= cp) checkpoints.push_back(cp);

  run_cfg_t cfg;
  cfg.chunk = K;
  cfg.bucket = big ? 1048576 : 0;
  cfg.stop = stop >= 0 ? stop : (target > 0 ? 0 : checkpoints.back());
  cfg.target_width = target;
  cfg.memory_limit = memory;
  cfg.early_rows = big;
  cfg.report_freq = 0.01;

  for (uint64_t bytes : sizes) {
    for (size_t s : which) {
      // Only vm and backup at 100 TiB.
      if (big && bytes >= 100 * TiB && shapes[s].name != "vm" &&
          shapes[s].name != "backup")
        continue;
      int n_orders = orders;
      if (n_orders <= 0)
        n_orders = !big ? 100 : bytes >= 100 * TiB ? 5 : bytes >= 10 * TiB ? 20 : 50;
      std::vector<job_t> all;
      all.push_back(job_t{s, bytes, 0});
      const int base = getenv("SCALE_SIM_SEED") ? atoi(getenv("SCALE_SIM_SEED")) : 0;
      for (int o = 1; o <= n_orders; o++)
        all.push_back(job_t{s, bytes, (uint64_t)(base + o)});
      const double t0 = now_seconds();
      const std::vector<std::string> out = run_all(shapes, all, cfg, jobs);
      const double elapsed = now_seconds() - t0;
      // SCALE_SIM_DUMP=FILE: every run's rows as the children wrote them,
      // appended to FILE under a line naming the shape and size.
      if (const char* dump = getenv("SCALE_SIM_DUMP")) {
        if (FILE* df = fopen(dump, "a")) {
          fprintf(df, "# %s %llu\n", shapes[s].name.c_str(),
                  (unsigned long long)bytes);
          for (const std::string& o : out) fputs(o.c_str(), df);
          fclose(df);
        }
      }

      truth_t truth{};
      unsigned long truth_bucket = 0;
      sscanf(out[0].c_str(), "T %lf %lf %lf %lf %lu %lu %lf %lu", &truth.r,
             &truth.c, &truth.z, &truth.t, &truth.chunks, &truth.distinct,
             &truth.copy_pairs, &truth_bucket);
      std::vector<std::vector<row_out_t>> runs;
      std::vector<double> stopped;
      double peak = 0;
      uint64_t bucket = 0;
      for (size_t k = 1; k < out.size(); k++) {
        std::istringstream is(out[k]);
        std::string tag;
        std::vector<row_out_t> rows;
        while (is >> tag) {
          if (tag == "S") {
            double st, p;
            is >> st >> p >> bucket;
            stopped.push_back(st);
            peak = std::max(peak, p);
          } else {
            row_out_t r;
            is >> r.progress >> r.r >> r.r_low >> r.r_high >> r.c >> r.c_low >>
                r.c_high >> r.z >> r.z_low >> r.z_high >> r.t >> r.t_low >>
                r.t_high >> r.rss >> r.distinct;
            rows.push_back(r);
          }
        }
        runs.push_back(rows);
      }
      printf("\n%s at %s: %s; %lu chunks of %s in buckets of %s; truth: dedupe "
             "%.4f, compress %.4f, zeros %.2f%%, total %.4f; %d read orders; "
             "%.0f s; peak %s\n",
             shapes[s].name.c_str(),
             bytes ? capacity_to_str(bytes).c_str() : "its size",
             shapes[s].what.c_str(), truth.chunks,
             capacity_to_str(K).c_str(), capacity_to_str(bucket).c_str(),
             truth.r, truth.c, truth.z * 100, truth.t, n_orders, elapsed,
             memory_to_str((size_t)peak, (size_t)-1).c_str());
      if (target > 0) {
        // Where the runs stopped, and whether the truth was in range there.
        int inside = 0;
        std::vector<double> at;
        for (size_t k = 0; k < runs.size(); k++) {
          if (runs[k].empty()) continue;
          const row_out_t& r = runs[k].back();
          at.push_back(r.progress * 100);
          inside += r.t_low <= truth.t * (1 + 1e-9) && r.t_high >= truth.t * (1 - 1e-9);
        }
        std::sort(at.begin(), at.end());
        printf("  --target-width %g: stopped at %.3f%% (median; %.3f%% .. "
               "%.3f%%), total ratio in range at the stop in %d of %zu runs\n",
               target * 100, at.empty() ? NAN : at[at.size() / 2],
               at.empty() ? NAN : at.front(), at.empty() ? NAN : at.back(),
               inside, at.size());
        continue;
      }
      printf("  %-9s %-8s %6s %6s %7s %7s %7s %7s\n", "progress", "figure",
             "cover", "blank", "width", "rmse", "err", "floor");
      for (double cp : checkpoints) {
        std::vector<std::array<double, 3>> fig[4];
        double rss = 0, dist = 0;
        for (const auto& rows : runs) {
          const row_out_t* r = nullptr;
          // A row within a millionth of the plan of the checkpoint is its
          // row (the memory-saving mode's last row of a --stop read can
          // fall a few chunks short of it).
          for (const row_out_t& x : rows)
            if (x.progress >= cp - 1e-6) {
              r = &x;
              break;
            }
          if (r == nullptr) continue;
          fig[0].push_back({r->r, r->r_low, r->r_high});
          fig[1].push_back({r->c, r->c_low, r->c_high});
          fig[2].push_back({r->z, r->z_low, r->z_high});
          fig[3].push_back({r->t, r->t_low, r->t_high});
          rss = std::max(rss, r->rss);
          dist = std::max(dist, r->distinct);
        }
        const char* names[] = {"dedupe", "compress", "zeros", "total"};
        const double truths[] = {truth.r, truth.c, truth.z, truth.t};
        // The honest floor of the dedupe range's width: the copy pairs of
        // buckets that the sample would show (k of them), their 95 % upper
        // bound given k, and the high end if the excess were there, each
        // pair merging a bucket of chunks.
        double floor = NAN;
        if (truth.copy_pairs >= 0) {
          const double B = ceil((double)truth.chunks * K / (double)truth_bucket);
          const double sb = std::max(2.0, round(cp * B));
          const double q = sb * (sb - 1) / (B * (B - 1));
          const double k = truth.copy_pairs * q;
          const double extra = (poisson_upper(k) - k) / q;
          // A pair merges at most a bucket of chunks, and all of them
          // together at most half the distinct chunks.
          const double merged = std::min(extra * (double)truth_bucket / K,
                                         (double)truth.distinct / 2);
          const double d = (double)truth.distinct - merged;
          floor = d > 0 ? ((double)truth.chunks / d - truth.r) / truth.r : INFINITY;
        }
        for (int f = 0; f < 4; f++) {
          if (f == 2 && truth.z == 0) continue;
          const figure_stats_t st = stats(fig[f], truths[f]);
          char pct[32];
          snprintf(pct, sizeof(pct), "%.2f%%", cp * 100);
          printf("  %-9s %-8s %5.0f%% %5.0f%% %7.4f %7.4f %+6.2f%%", f == 0 ? pct : "",
                 names[f], st.cover, st.blank, st.width, st.rmse, st.err);
          if (f == 0 && truth.copy_pairs >= 0) printf(" %7.4f", floor);
          // Goals of the small set (from 5 %): coverage, no blank, width.
          if (!big && cp >= 0.05 && (f == 0 || f == 3)) {
            const double allowed =
                std::max(6 * st.rmse, std::max(f == 0 ? 1.25 * floor : 0.0, 0.10));
            if (st.cover < 95 || st.blank > 0 || !(st.width <= allowed))
              printf("  MISSED%s%s%s", st.cover < 95 ? " cover" : "",
                     st.blank > 0 ? " blank" : "",
                     !(st.width <= allowed) ? " width" : "");
            if (cp >= 0.2 && fabs(st.err) > 5) printf("  MISSED err");
          }
          if (f == 0 && bytes >= 100 * TiB && dist > 0)
            printf("   rss %s, %.1f B per fingerprint",
                   memory_to_str((size_t)rss, (size_t)-1).c_str(), rss / dist);
          printf("\n");
        }
      }
      fflush(stdout);
    }
  }
  return 0;
}
