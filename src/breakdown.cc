#include "breakdown.h"

#include <ctype.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>

#include "format.h"
#include "ranges.h"

namespace {

struct type_group_t {
  const char* name;
  const char* extensions;  // each between blanks
};

const type_group_t kTypeGroups[] = {
    {"images",
     " jpg jpeg png gif bmp tif tiff webp heic heif svg ico psd raw cr2 nef "
     "dng xcf "},
    {"archives and packages",
     " zip gz tgz bz2 tbz xz txz zst lz4 lzma 7z rar tar deb rpm apk jar war "
     "whl cab snap cpio "},
    {"media",
     " mp3 mp4 m4a m4v mkv avi mov wmv flv webm mpg mpeg aac flac ogg oga "
     "opus wav wma "},
    {"databases",
     " db sqlite sqlite3 mdb accdb dbf ibd frm myd myi mdf ndf ldf wal "},
    {"virtual disks", " vmdk vhd vhdx qcow qcow2 vdi img iso ova "},
    {"text and code",
     " txt md rst csv tsv json xml yaml yml html htm css js ts c h cc cpp "
     "cxx hpp hh py rb pl pm sh go rs java kt swift php sql log ini conf cfg "
     "toml tex po "},
};

// The root of roots that path was found under: the longest whose path it
// begins with, followed by a "/" (or the root's own).
const root_t* root_of(const LIST_ROOTS& roots, const std::string& path,
                      size_t* rest) {
  const root_t* best = nullptr;
  for (const root_t* r : roots) {
    const std::string& p = r->path;
    if (p.empty() || path.compare(0, p.size(), p) != 0) continue;
    if (path.size() != p.size() && p.back() != '/' && path[p.size()] != '/')
      continue;
    if (best == nullptr || p.size() > best->path.size()) best = r;
  }
  if (best != nullptr) *rest = best->path.size();
  return best;
}

std::string ratio_cell(double v) {
  if (v < 0) return "-";
  if (std::isinf(v)) return "inf";
  char buf[32];
  snprintf(buf, sizeof(buf), "%.2f", v);
  return buf;
}

std::string range_cell(double v, double lo, double hi) {
  if (v < 0) return "-";
  if (lo < 0 && hi < 0) return ratio_cell(v);
  if (lo >= 0 && hi >= 0 && fabs(hi - lo) <= 0.005 * std::max(1.0, fabs(v)))
    return ratio_cell(v);
  return ratio_cell(v) + " [" + ratio_cell(lo) + ", " + ratio_cell(hi) + "]";
}

std::string share_cell(double v) {
  if (v < 0) return "-";
  char buf[32];
  snprintf(buf, sizeof(buf), "%.1f%%", v * 100);
  return buf;
}

// The zero share with its range, in percent, when it has one.
std::string zeros_cell(const breakdown_row_t& r) {
  if (r.zeros < 0) return "-";
  std::string s = share_cell(r.zeros);
  if (r.zeros_low < 0 || r.zeros_high < 0 ||
      r.zeros_high - r.zeros_low < 0.0005)
    return s;
  char buf[64];
  snprintf(buf, sizeof(buf), " [%.1f, %.1f]", r.zeros_low * 100,
           r.zeros_high * 100);
  return s + buf;
}

std::string pad(const std::string& s, size_t w, bool left) {
  if (s.size() >= w) return s;
  return left ? s + std::string(w - s.size(), ' ')
              : std::string(w - s.size(), ' ') + s;
}

// Rows of cells in columns two blanks apart, each as wide as its widest
// cell; column `left` aligned to the left, the others to the right.
std::string table_text(const std::vector<std::vector<std::string>>& cells,
                       size_t left) {
  std::vector<size_t> w;
  for (const auto& row : cells) {
    if (w.size() < row.size()) w.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); i++) w[i] = std::max(w[i], row[i].size());
  }
  std::string out;
  for (const auto& row : cells) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++) {
      if (i > 0) line += "  ";
      line += pad(row[i], w[i], i == left);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

std::string csv_cell(double v) {
  if (v < 0 || std::isinf(v)) return "";
  char buf[32];
  snprintf(buf, sizeof(buf), "%.6g", v);
  return buf;
}

std::string csv_text(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

}  // namespace

const char* breakdown_by_name(breakdown_by_t by) {
  switch (by) {
    case BY_ROOT:
      return "root";
    case BY_DIR:
      return "dir";
    case BY_TYPE:
      return "type";
    case BY_NONE:
      break;
  }
  return "none";
}

std::string breakdown_type(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot <= base || dot + 1 == path.size())
    return "(no extension)";
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = (char)tolower((unsigned char)c);
  const std::string key = " " + ext + " ";
  for (const type_group_t& g : kTypeGroups)
    if (std::string(g.extensions).find(key) != std::string::npos) return g.name;
  return "." + escape_controls(ext);
}

std::string breakdown_label(breakdown_by_t by, const LIST_ROOTS& roots,
                            const std::string& path) {
  if (by == BY_TYPE) return breakdown_type(path);
  size_t at = 0;
  const root_t* root = root_of(roots, path, &at);
  if (root == nullptr) return escape_controls(path);  // not under any root
  const std::string name = escape_controls(root->path);
  if (by == BY_ROOT) return name;
  while (at < path.size() && path[at] == '/') at++;
  if (at >= path.size()) return name;  // the root is the file itself
  const size_t end = path.find('/', at);
  if (end == std::string::npos) return name + " (files)";
  std::string dir = name;
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir + escape_controls(path.substr(at, end - at));
}

double breakdown_nonzero_total(const breakdown_count_t& c, size_t chunk_size) {
  if (c.chunks == 0 || chunk_size == 0) return 0;
  const double planned = (double)((c.logical - c.tails) / chunk_size);
  if (!(planned > 0)) return 0;
  const double f = std::min(1.0, (double)c.chunks / planned);
  return std::max(0.0, planned - (double)c.zero_chunks / f);
}

breakdown_t compute_breakdown(breakdown_by_t by,
                              const std::vector<breakdown_count_t>& counts,
                              size_t chunk_size, double progress,
                              size_t buckets, bool exact, bool compress) {
  breakdown_t b;
  b.by = by;
  b.exact = exact;
  const double k = (double)chunk_size;
  const double f = std::min(1.0, std::max(progress, 0.0));
  double total_logical = 0, total_physical = 0;
  std::vector<double> physical(counts.size(), 0.0);
  for (size_t i = 0; i < counts.size(); i++) {
    const breakdown_count_t& c = counts[i];
    total_logical += (double)c.logical;
    // The distinct chunks sampled stand for the label's estimated ones.
    double part = c.physical;
    if (!exact && c.distinct > 0) {
      const double d = c.dedupe > 0 ? c.dedupe
                                    : (double)(c.chunks - c.zero_chunks) /
                                          (double)c.distinct;
      part *= breakdown_nonzero_total(c, chunk_size) / d / (double)c.distinct;
    }
    physical[i] = part + (double)c.tails;
    total_physical += physical[i];
  }
  for (size_t i = 0; i < counts.size(); i++) {
    const breakdown_count_t& c = counts[i];
    breakdown_row_t r;
    r.name = c.name;
    r.logical = c.logical;
    r.share = total_logical > 0 ? (double)c.logical / total_logical : -1;
    r.zeros = r.zeros_low = r.zeros_high = -1;
    r.compress = r.compress_low = r.compress_high = -1;
    r.dedupe = r.dedupe_low = r.dedupe_high = -1;
    r.physical_share = total_physical > 0 ? physical[i] / total_physical : -1;
    if (c.chunks > 0) {
      group_totals_t z;
      for (int g = 0; g < UNSEEN_GROUPS; g++) {
        z.parts[g] = c.group_zeros[g];
        z.wholes[g] = c.group_chunks[g];
      }
      r.zeros = (double)c.zero_chunks / (double)c.chunks;
      (void)f;
      if (exact) {
        r.zeros_low = r.zeros_high = r.zeros;
      } else {
        const range_t zr = share_range(z, f, buckets);
        r.zeros_low = zr.low;
        r.zeros_high = zr.high;
      }
    }
    if (c.distinct > 0) {
      const size_t data = c.chunks - c.zero_chunks;
      r.dedupe = (double)data / (double)c.distinct;
      if (exact) {
        r.dedupe_low = r.dedupe_high = r.dedupe;
      } else if (c.dedupe > 0) {
        r.dedupe = c.dedupe;
        r.dedupe_low = c.dedupe_low;
        r.dedupe_high = c.dedupe_high;
      }
      if (compress && c.stored > 0) {
        r.compress = (double)c.distinct * k / (double)c.stored;
        if (exact) {
          r.compress_low = r.compress_high = r.compress;
        } else {
          // The label's ratio over the chunks it compressed, its relative
          // range applied to the figure over its distinct chunks.
          group_totals_t kt;
          for (int g = 0; g < UNSEEN_GROUPS; g++) {
            kt.parts[g] = c.group_uncompressed[g];
            kt.wholes[g] = c.group_compressed[g];
          }
          const range_t kr = ratio_range(kt, f, buckets);
          if (kr.value > 0) {
            if (kr.low > 0) r.compress_low = r.compress * kr.low / kr.value;
            if (kr.high > 0) r.compress_high = r.compress * kr.high / kr.value;
          }
        }
      }
    }
    b.rows.push_back(r);
  }
  return b;
}

std::string format_breakdown(const breakdown_t& b) {
  std::string out = std::string("BREAKDOWN by ") + breakdown_by_name(b.by) +
                    (b.exact ? ": exact" : ": sample figures, ranges of about 95 %") +
                    "\n";
  std::vector<std::vector<std::string>> cells;
  cells.push_back({"label", "logical", "share", "zeros", "compress",
                   "dedupe", "phys. share"});
  for (const breakdown_row_t& r : b.rows)
    cells.push_back({r.name, size_text(r.logical), share_cell(r.share),
                     zeros_cell(r),
                     range_cell(r.compress, r.compress_low, r.compress_high),
                     range_cell(r.dedupe, r.dedupe_low, r.dedupe_high),
                     share_cell(r.physical_share)});
  out += table_text(cells, 0);
  if (!b.exact)
    out += "(zeros, compress and dedupe with their ranges where the sample "
           "bounds them)\n";
  return out;
}

std::string breakdown_csv(const breakdown_t& b) {
  std::string out =
      "by,label,logical,share,zeros,zeros_low,zeros_high,compress,"
      "compress_low,compress_high,dedupe,dedupe_low,dedupe_high,physical_share,"
      "exact\n";
  for (const breakdown_row_t& r : b.rows)
    out += std::string(breakdown_by_name(b.by)) + "," + csv_text(r.name) + "," +
           std::to_string(r.logical) + "," + csv_cell(r.share) + "," +
           csv_cell(r.zeros) + "," + csv_cell(r.zeros_low) + "," +
           csv_cell(r.zeros_high) + "," + csv_cell(r.compress) + "," +
           csv_cell(r.compress_low) + "," + csv_cell(r.compress_high) + "," +
           csv_cell(r.dedupe) + "," + csv_cell(r.dedupe_low) + "," +
           csv_cell(r.dedupe_high) + "," + csv_cell(r.physical_share) + "," +
           (b.exact ? "1" : "0") + "\n";
  return out;
}

void overlap_t::begin(const std::vector<std::string>& exports, bool is_exact) {
  names = exports;
  exact = is_exact;
  const size_t n = names.size();
  distinct.assign(n, 0);
  exclusive.assign(n, 0);
  both.assign(n * n, 0);
}

void overlap_t::add(uint64_t mask) {
  const size_t n = names.size();
  if (mask == 0) return;
  if ((mask & (mask - 1)) == 0) {
    const int i = __builtin_ctzll(mask);
    distinct[i]++;
    exclusive[i]++;
    return;
  }
  for (uint64_t a = mask; a != 0; a &= a - 1) {
    const size_t i = (size_t)__builtin_ctzll(a);
    distinct[i]++;
    for (uint64_t b = a & (a - 1); b != 0; b &= b - 1)
      both[i * n + (size_t)__builtin_ctzll(b)]++;
  }
}

double overlap_t::exclusive_share(size_t i) const {
  return distinct[i] == 0 ? -1 : (double)exclusive[i] / (double)distinct[i];
}

double overlap_t::shared_share(size_t i) const {
  return distinct[i] == 0
             ? -1
             : (double)(distinct[i] - exclusive[i]) / (double)distinct[i];
}

double overlap_t::overlap(size_t i, size_t k) const {
  const uint64_t smaller = std::min(distinct[i], distinct[k]);
  if (smaller == 0) return -1;
  if (i == k) return 1;
  const size_t n = names.size();
  const uint64_t common = i < k ? both[i * n + k] : both[k * n + i];
  return (double)common / (double)smaller;
}

std::string format_overlap(const overlap_t& o) {
  const size_t n = o.names.size();
  std::string out = std::string("OVERLAP of the exports: ") +
                    (o.exact ? "exact (complete runs)"
                             : "sample figures (not every export is a complete "
                               "run: overlaps read low)") +
                    "\n";
  std::vector<std::vector<std::string>> cells;
  cells.push_back({"#", "export", "distinct", "exclusive", "shared"});
  for (size_t i = 0; i < n; i++)
    cells.push_back({std::to_string(i + 1), escape_controls(o.names[i]),
                     std::to_string(o.distinct[i]),
                     share_cell(o.exclusive_share(i)),
                     share_cell(o.shared_share(i))});
  out += table_text(cells, 1);
  out += "pairwise overlap (chunks held by both, share of the smaller):\n";
  const size_t cw = 6;
  std::string head = pad("", 3, false);
  for (size_t k = 0; k < n; k++) head += " " + pad(std::to_string(k + 1), cw, false);
  out += head + "\n";
  for (size_t i = 0; i < n; i++) {
    std::string line = pad(std::to_string(i + 1), 3, false);
    for (size_t k = 0; k < n; k++)
      line += " " + pad(share_cell(o.overlap(i, k)), cw, false);
    out += line + "\n";
  }
  return out;
}
