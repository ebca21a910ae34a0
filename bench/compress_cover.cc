// compress_cover: how often the sampled compression ratio's range holds the
// ratio measured in full, over many choices of the chunks sampled.
//
// pelko chooses the chunks it compresses for a sampled configuration by a
// keyed hash of their fingerprints, with one fixed key, so that every host
// of a merge chooses alike; its reading order (--seed) does not change the
// choice. This judges the range the way a user meets it, once per data set,
// by giving the same data many keys: for each configuration (chunk size
// with compressor) it measures every distinct non-zero chunk once, then
// for each key replays the chunks through a CompressSample as a complete
// run would (the adaptive share, or a fixed one) and checks the final range
// against the full figure. Each key reads the chunks in its own random
// order.
//
//   compress_cover FILE [--sizes 4K,16K,64K] [--compressors lz4,zstd:1]
//                  [--keys N] [--share PCT] [--plain] [--unchained]
//
// The first size must be the smallest; it and the first compressor make
// the configuration measured in full, whose stored sizes are the other
// configurations' auxiliary figure, for zstd and DEFLATE times the bytes'
// entropy (as in a run; --plain: without one, as before it had one). A
// compressor beside another level of itself is chained to it, as in a run
// (--unchained: each on its own, as before). Prints per configuration the
// full ratio, the median share reached, the share of keys whose range holds
// the full ratio, the median half-width and the root mean square error,
// relative to the ratio.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <xxhash.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "codec.h"
#include "compress_sample.h"
#include "format.h"

namespace {

struct config_t {
  size_t size;
  size_t codec;
  std::vector<uint64_t> fp;
  std::vector<uint32_t> y, x;  // compressed size, auxiliary figure
};

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at <= s.size()) {
    const size_t comma = s.find(',', at);
    out.push_back(s.substr(at, comma == std::string::npos ? std::string::npos
                                                           : comma - at));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return out;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr,
            "usage: compress_cover FILE [--sizes 4K,16K,64K] "
            "[--compressors lz4,zstd:1] [--keys N] [--share PCT] [--plain] [--unchained]\n");
    return 1;
  }
  std::string sizes_arg = "4K,16K,64K", codecs_arg = "lz4,zstd:1";
  int keys = 200;
  double share = 0;
  bool plain = false, unchained = false;
  for (int i = 2; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--plain") {
      plain = true;
    } else if (a == "--unchained") {
      unchained = true;
    } else if (i + 1 < argc && a == "--sizes") {
      sizes_arg = argv[++i];
    } else if (i + 1 < argc && a == "--compressors") {
      codecs_arg = argv[++i];
    } else if (i + 1 < argc && a == "--keys") {
      keys = atoi(argv[++i]);
    } else if (i + 1 < argc && a == "--share") {
      share = atof(argv[++i]) / 100;
    } else {
      fprintf(stderr, "compress_cover: unknown argument %s\n", a.c_str());
      return 1;
    }
  }
  std::vector<size_t> sizes;
  for (const std::string& s : split(sizes_arg)) {
    char* end = nullptr;
    size_t v = strtoul(s.c_str(), &end, 10);
    if (*end == 'K' || *end == 'k') v <<= 10, end++;
    if (*end != '\0' || v == 0) {
      fprintf(stderr, "compress_cover: bad size %s\n", s.c_str());
      return 1;
    }
    sizes.push_back(v);
  }
  std::vector<codec_t> codecs;
  for (const std::string& s : split(codecs_arg)) {
    codec_t c;
    std::string err;
    if (!parse_codec(s, &c, &err)) {
      fprintf(stderr, "compress_cover: %s\n", err.c_str());
      return 1;
    }
    codecs.push_back(c);
  }
  const size_t smallest = sizes[0];
  for (size_t s : sizes)
    if (s % smallest != 0) {
      fprintf(stderr, "compress_cover: the first size must divide the others\n");
      return 1;
    }

  FILE* f = fopen(argv[1], "rb");
  if (f == nullptr) {
    perror(argv[1]);
    return 1;
  }
  std::vector<unsigned char> data;
  unsigned char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
    data.insert(data.end(), buf, buf + n);
  fclose(f);
  const size_t largest = *std::max_element(sizes.begin(), sizes.end());
  data.resize(data.size() / largest * largest);
  const size_t parts = data.size() / smallest;
  std::vector<unsigned char> zeros(largest, 0);

  // The configuration measured in full: its stored sizes, part by part,
  // and the parts' entropies.
  std::vector<uint32_t> stored(parts);
  std::vector<double> entropy(parts);
  for (size_t i = 0; i < parts; i++) {
    stored[i] = (uint32_t)std::min(
        codec_compressed_size(codecs[0], &data[i * smallest], smallest),
        smallest);
    entropy[i] = byte_entropy(&data[i * smallest], smallest);
  }

  std::vector<config_t> configs;
  for (size_t size : sizes) {
    for (size_t k = 0; k < codecs.size(); k++) {
      if (size == smallest && k == 0) continue;
      config_t c;
      c.size = size;
      c.codec = k;
      std::unordered_set<uint64_t> seen;
      for (size_t at = 0; at + size <= data.size(); at += size) {
        const unsigned char* p = &data[at];
        if (memcmp(p, zeros.data(), size) == 0) continue;
        const uint64_t fp = XXH3_64bits(p, size);
        if (!seen.insert(fp).second) continue;
        c.fp.push_back(fp);
        c.y.push_back((uint32_t)codec_compressed_size(codecs[k], p, size));
        // As a run has it: the stored size of the parts, for an entropy
        // coder beside a first LZ4 times their mean entropy (weighted by
        // it) over 8 bits.
        double x = 0, bits = 0;
        for (size_t i = at / smallest; i < (at + size) / smallest; i++) {
          x += stored[i];
          bits += stored[i] * entropy[i];
        }
        if (codecs[k].kind != CODEC_LZ4 && codecs[0].kind == CODEC_LZ4)
          x = std::max(1.0, std::round(x > 0 ? bits / 8 : 0));
        c.x.push_back((uint32_t)x);
      }
      configs.push_back(std::move(c));
    }
  }

  printf("%s: %s of %zu-byte parts; %d keys; %s share; %s\n", argv[1],
         capacity_to_str(data.size()).c_str(), smallest, keys,
         share > 0 ? "fixed" : "adaptive",
         plain ? "no auxiliary figure" : "the first configuration's stored size as auxiliary figure");
  printf("%-8s %-10s %9s %8s %8s %8s %8s %8s\n", "size", "compressor", "chunks",
         "ratio", "share", "cover", "half", "rmse");
  // Each size's configurations are replayed together, as a run counts
  // them: a compressor sampled beside another level of itself is chained
  // to the first such (as pelko does, unless --plain or --unchained).
  struct result_t {
    double truth = 0, covered = 0, sq = 0;
    std::vector<double> shares, halves;
  };
  std::vector<result_t> results(configs.size());
  std::vector<int> parent(configs.size(), -1);
  for (size_t i = 0; i < configs.size(); i++) {
    const config_t& c = configs[i];
    double out = 0;
    for (uint32_t y : c.y) out += y;
    results[i].truth = (double)c.y.size() * (double)c.size / out;
    for (size_t j = 0; j < i && parent[i] < 0 && !plain && !unchained; j++)
      if (configs[j].size == c.size && parent[j] < 0 &&
          codecs[configs[j].codec].kind == codecs[c.codec].kind &&
          codecs[c.codec].kind != CODEC_LZ4)
        parent[i] = (int)j;
  }
  for (size_t size : sizes) {
    std::vector<size_t> idx;
    for (size_t i = 0; i < configs.size(); i++)
      if (configs[i].size == size) idx.push_back(i);
    if (idx.empty()) continue;
    const size_t chunks = configs[idx[0]].y.size();
    for (int key = 1; key <= keys; key++) {
      const uint64_t k =
          CompressSample::kKey ^ ((uint64_t)key * 0x9E3779B97F4A7C15ull);
      std::vector<CompressSample> cs(configs.size());
      for (size_t i : idx) cs[i] = CompressSample(share, size, !plain, k);
      for (size_t i : idx)
        if (parent[i] >= 0) cs[i].chain_to(&cs[(size_t)parent[i]]);
      // In a random order, as a run reads its buckets: the share falls on
      // what the first chunks show.
      std::vector<uint32_t> order(chunks);
      for (size_t i = 0; i < order.size(); i++) order[i] = (uint32_t)i;
      std::mt19937_64 gen((uint64_t)key);
      std::shuffle(order.begin(), order.end(), gen);
      for (size_t j = 0; j < order.size(); j++) {
        const size_t n = order[j];
        const int group = (int)(j % UNSEEN_GROUPS);
        for (size_t i : idx) {
          const config_t& c = configs[i];
          if (!plain && !cs[i].chained()) cs[i].add_candidate(c.x[n], group);
          if (!cs[i].chosen(c.fp[n])) continue;
          if (cs[i].chained())
            cs[i].add(c.fp[n], c.y[n], group, configs[(size_t)parent[i]].y[n],
                      c.x[n]);
          else
            cs[i].add(c.fp[n], c.y[n], group, c.x[n]);
        }
        if (j % 4096 == 4095) {
          std::vector<double> floor(configs.size(), 0.0);
          for (size_t i : idx)
            if (parent[i] >= 0)
              floor[(size_t)parent[i]] = std::max(
                  floor[(size_t)parent[i]], cs[i].first_phase_spread());
          for (size_t i : idx) cs[i].adapt((double)chunks, floor[i]);
        }
      }
      for (size_t i : idx) {
        result_t& res = results[i];
        const range_t r = cs[i].ratio(1.0, chunks);
        if (r.low >= 0 && r.high >= 0 && r.low <= res.truth &&
            res.truth <= r.high)
          res.covered++;
        res.shares.push_back(cs[i].share());
        res.halves.push_back(r.low >= 0 && r.high >= 0
                                 ? (r.high - r.low) / 2 / res.truth
                                 : NAN);
        res.sq += (r.value / res.truth - 1) * (r.value / res.truth - 1);
      }
    }
  }
  for (size_t i = 0; i < configs.size(); i++) {
    const config_t& c = configs[i];
    const result_t& res = results[i];
    printf("%-8s %-10s %9zu %8.4f %7.2f%% %7.1f%% %7.2f%% %7.2f%%%s\n",
           capacity_to_str(c.size).c_str(), codec_name(codecs[c.codec]).c_str(),
           c.y.size(), res.truth, 100 * median(res.shares),
           100 * res.covered / keys, 100 * median(res.halves),
           100 * sqrt(res.sq / keys), parent[i] >= 0 ? "  chained" : "");
  }
  return 0;
}
