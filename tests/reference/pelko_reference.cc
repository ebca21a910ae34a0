// Independent reference for the exact figures of a complete run.
//
// Reads every whole chunk of every regular file below the given paths
// (directories walked recursively, symbolic links not followed, the tail of a
// file shorter than one chunk ignored) and prints, for each estimate mode,
// the figures a complete run must end with, and the physical sizes its
// summary must show (each stage with the ones before it: zero chunks
// dropped, one copy of each distinct chunk kept, that copy compressed, or
// kept as it is where compression would make it larger; file tails stored
// as they are). Shares no code with pelko.
//
// usage: pelko_reference CHUNK_SIZE PATH...
#include <dirent.h>
#include <lz4.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

// POSIX cksum, one bit at a time: deliberately the slowest, plainest form.
unsigned int cksum(const unsigned char* p, size_t n) {
  unsigned int s = 0;
  auto feed = [&s](unsigned char c) {
    s ^= (unsigned int)c << 24;
    for (int b = 0; b < 8; b++)
      s = (s & 0x80000000u) ? (s << 1) ^ 0x04C11DB7u : (s << 1);
  };
  for (size_t i = 0; i < n; i++) feed(p[i]);
  for (size_t len = n; len; len >>= 8) feed(len & 0xFF);
  return ~s;
}

struct Totals {
  unsigned long long chunks = 0, zero_chunks = 0;
  // checksum -> (count, compressed size of its content)
  std::map<unsigned int, std::pair<unsigned long long, int>> all, nonzero;
  unsigned long long lz4_all_in = 0, lz4_all_out = 0;  // every chunk
  unsigned long long lz4_nonzero_out = 0;  // every non-zero chunk
  unsigned long long nonzero_stored = 0;  // each at most its own size
  unsigned long long logical = 0;  // file sizes, tails included
  unsigned long long files = 0;
};

void add_file(const std::string& path, size_t chunk_size, Totals* t) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) t->logical += (unsigned long long)st.st_size;
  t->files++;
  std::vector<char> buf(chunk_size);
  std::vector<char> out(LZ4_compressBound((int)chunk_size));
  while (in.read(buf.data(), chunk_size) && (size_t)in.gcount() == chunk_size) {
    const unsigned char* p = (const unsigned char*)buf.data();
    bool zero = true;
    for (size_t i = 0; i < chunk_size && zero; i++) zero = p[i] == 0;
    unsigned int crc = cksum(p, chunk_size);
    int csize = LZ4_compress_default(buf.data(), out.data(), (int)chunk_size,
                                     (int)out.size());
    t->chunks++;
    if (zero) t->zero_chunks++;
    t->lz4_all_in += chunk_size;
    t->lz4_all_out += csize;
    auto& e = t->all[crc];
    e.first++;
    e.second = csize;
    if (!zero) {
      t->lz4_nonzero_out += csize;
      t->nonzero_stored += (size_t)csize < chunk_size ? (size_t)csize : chunk_size;
      auto& f = t->nonzero[crc];
      f.first++;
      f.second = csize;
    }
  }
}

void walk(const std::string& path, size_t chunk_size, Totals* t) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode)) {
    add_file(path, chunk_size, t);
  } else if (S_ISDIR(st.st_mode)) {
    DIR* d = opendir(path.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    for (const std::string& n : names) walk(path + "/" + n, chunk_size, t);
  }
}

double ratio(unsigned long long a, unsigned long long b) {
  return b ? (double)a / (double)b : 0.0;
}

void print_map_figures(const char* mode,
                       const std::map<unsigned int,
                                      std::pair<unsigned long long, int>>& m,
                       size_t chunk_size, const Totals& t) {
  unsigned long long n = 0, in = 0, out = 0;
  for (const auto& e : m) {
    n += e.second.first;
    in += chunk_size;
    out += e.second.second;
  }
  printf("%s dedupe=%.9g compress=%.9g zeros=%.9g\n", mode, ratio(n, m.size()),
         ratio(in, out), t.chunks ? 100.0 * t.zero_chunks / t.chunks : 0.0);
}

// "summary MODE logical=L tails=T after_zeros=Z after_dedupe=D
// after_compress=C physical=P ratio=R"; "-" for a stage the mode does not
// estimate. P is the last stage estimated.
void print_summary(const char* mode, bool dedupe, bool compress,
                   size_t chunk_size, const Totals& t) {
  const double tails = (double)(t.logical - t.chunks * chunk_size);
  const double zeros = (double)((t.chunks - t.zero_chunks) * chunk_size) + tails;
  unsigned long long distinct_out = 0;
  for (const auto& e : t.nonzero)
    distinct_out += (size_t)e.second.second < chunk_size
                        ? (size_t)e.second.second
                        : chunk_size;
  const double after_dedupe = (double)(t.nonzero.size() * chunk_size) + tails;
  const double after_compress =
      (double)(dedupe ? distinct_out : t.nonzero_stored) + tails;
  const double last = compress ? after_compress : dedupe ? after_dedupe : zeros;
  char d[64] = "-", c[64] = "-";
  if (dedupe) snprintf(d, sizeof(d), "%.0f", after_dedupe);
  if (compress) snprintf(c, sizeof(c), "%.0f", after_compress);
  printf("summary %s logical=%llu tails=%.0f after_zeros=%.0f after_dedupe=%s "
         "after_compress=%s physical=%.0f ratio=%.9g\n",
         mode, t.logical, tails, zeros, d, c, last,
         last > 0 ? t.logical / last : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s CHUNK_SIZE PATH...\n", argv[0]);
    return 2;
  }
  size_t chunk_size = strtoull(argv[1], nullptr, 10);
  Totals t;
  for (int i = 2; i < argc; i++) walk(argv[i], chunk_size, &t);
  printf("chunks=%llu zero_chunks=%llu distinct=%zu distinct_nonzero=%zu\n",
         t.chunks, t.zero_chunks, t.all.size(), t.nonzero.size());
  // Mode all: zero chunks deduplicated like data; misses compressed.
  print_map_figures("all", t.all, chunk_size, t);
  // Mode no-dedupe-zeros: zero chunks bypass both the map and compression.
  print_map_figures("no-dedupe-zeros", t.nonzero, chunk_size, t);
  // Mode dedupe: as above without compression.
  print_map_figures("dedupe", t.nonzero, chunk_size, t);
  // Mode compress: every chunk compressed, zero chunks included.
  printf("compress dedupe=0 compress=%.9g zeros=%.9g\n",
         ratio(t.lz4_all_in, t.lz4_all_out),
         t.chunks ? 100.0 * t.zero_chunks / t.chunks : 0.0);
  printf("files=%llu\n", t.files);
  print_summary("all", true, true, chunk_size, t);
  print_summary("no-dedupe-zeros", true, true, chunk_size, t);
  print_summary("dedupe", true, false, chunk_size, t);
  print_summary("compress", false, true, chunk_size, t);
  return 0;
}
