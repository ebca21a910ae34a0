#include "codec.h"

#include <gtest/gtest.h>
#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compress_sample.h"

namespace {

// Names and levels as the command line gives them, and every kind of
// refusal with its reason.
TEST(Codec, ParsesNamesAndLists) {
  codec_t c;
  std::string why;
  ASSERT_TRUE(parse_codec("LZ4", &c, &why));
  EXPECT_EQ(codec_name(c), "lz4");
  ASSERT_TRUE(parse_codec("zstd", &c, &why));
  EXPECT_EQ(codec_name(c), "zstd:3");
  ASSERT_TRUE(parse_codec("zstd:-5", &c, &why));
  EXPECT_EQ(codec_name(c), "zstd:-5");
  ASSERT_TRUE(parse_codec("Deflate", &c, &why));
  EXPECT_EQ(codec_name(c), "deflate:6");
  for (const char* bad : {"lz4:1", "zstd:0", "zstd:99", "zstd:x", "zstd:",
                          "deflate:0", "deflate:10", "gzip", ""}) {
    why.clear();
    EXPECT_FALSE(parse_codec(bad, &c, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  std::vector<codec_t> list;
  ASSERT_TRUE(parse_codec_list("lz4,zstd:1,zstd:3,deflate:6", &list, &why));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(codec_name(list[2]), "zstd:3");
  EXPECT_FALSE(parse_codec_list("zstd,zstd:3", &list, &why));
  EXPECT_NE(why.find("given twice"), std::string::npos) << why;
  EXPECT_FALSE(parse_codec_list("lz4,,zstd", &list, &why));
  std::string many = "zstd:1";
  for (int l = 2; l <= 17; l++) many += ",zstd:" + std::to_string(l);
  EXPECT_FALSE(parse_codec_list(many, &list, &why));
  EXPECT_EQ(list.size(), 4u);  // left as it was
}

// Each codec's size is what its library's one-shot call gives, from any
// thread, for chunks of different sizes in turn (the per-thread state is
// reused and grown).
TEST(Codec, SizesAreTheLibrariesOwn) {
  std::mt19937 gen(3);
  std::vector<unsigned char> data(256 * 1024);
  for (size_t i = 0; i < data.size(); i++)
    data[i] = (unsigned char)(i % 97 < 40 ? gen() : 'a' + i % 7);
  auto check = [&data]() {
    for (size_t n : {(size_t)4096, (size_t)65536, (size_t)1000, data.size()}) {
      SCOPED_TRACE(n);
      std::vector<char> out(ZSTD_compressBound(n) + compressBound(n) +
                            LZ4_compressBound((int)n));
      const int lz4 = LZ4_compress_default((const char*)data.data(), out.data(),
                                           (int)n, (int)out.size());
      EXPECT_EQ(codec_compressed_size(codec_t(), data.data(), n), (size_t)lz4);
      EXPECT_EQ(lz4_compressed_size(data.data(), n), (size_t)lz4);
      codec_t z;
      z.kind = CODEC_ZSTD;
      z.level = 1;
      EXPECT_EQ(codec_compressed_size(z, data.data(), n),
                ZSTD_compress(out.data(), out.size(), data.data(), n, 1));
      codec_t d;
      d.kind = CODEC_DEFLATE;
      d.level = 6;
      uLongf len = (uLongf)out.size();
      ASSERT_EQ(compress2((Bytef*)out.data(), &len, data.data(), n, 6), Z_OK);
      // compress2 writes the zlib wrapper: 2 bytes before, 4 after.
      EXPECT_EQ(codec_compressed_size(d, data.data(), n), (size_t)len);
    }
  };
  check();
  std::thread t(check);
  t.join();
}

// The bytes' entropy: none for one value, a bit for two alike, near 8 for
// noise; a table of integers whose low byte alone varies is seen in every
// lane of its words, not in one.
TEST(Codec, ByteEntropy) {
  std::vector<unsigned char> b(4096, 'x');
  EXPECT_DOUBLE_EQ(byte_entropy(b.data(), b.size()), 0.0);
  for (size_t i = 0; i < b.size(); i++) b[i] = i % 2 ? 'a' : 'b';
  EXPECT_NEAR(byte_entropy(b.data(), b.size()), 1.0, 0.01);
  std::mt19937 gen(3);
  for (unsigned char& c : b) c = (unsigned char)gen();
  EXPECT_GT(byte_entropy(b.data(), b.size()), 7.0);
  std::vector<uint64_t> table(512);
  for (uint64_t& v : table) v = gen() & 0xFF;
  const double h = byte_entropy(reinterpret_cast<const unsigned char*>(table.data()),
                                table.size() * 8);
  // 7 of 8 bytes zero, one of 256 values: about 0.54 + 1 bit.
  EXPECT_GT(h, 1.2);
  EXPECT_LT(h, 2.0);
}

// The sampled chunks: a fixed share chooses about that share of the
// fingerprints, the same ones every time, a smaller share a subset of a
// larger one's; the ratio's range holds the full ratio and closes at
// share 1; the adaptive share falls on many alike chunks and keeps the
// minimum chosen.
TEST(CompressSample, ChoiceAndRange) {
  CompressSample off;
  EXPECT_FALSE(off.chosen(1));
  CompressSample tenth(0.1, 4096), fifth(0.2, 4096), all(1.0, 4096);
  std::mt19937_64 gen(5);
  size_t n_tenth = 0;
  const size_t n = 100000;
  std::vector<uint64_t> fps(n);
  for (uint64_t& fp : fps) fp = gen() >> 32;
  for (uint64_t fp : fps) {
    if (tenth.chosen(fp)) {
      n_tenth++;
      EXPECT_TRUE(fifth.chosen(fp));
    }
  }
  EXPECT_NEAR((double)n_tenth / n, 0.1, 0.005);
  std::mt19937 sizes(9);
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    const size_t csize = 1000 + sizes() % 2000;
    out += csize;
    const int g = (int)(i % UNSEEN_GROUPS);
    all.add(fps[i], csize, g);
    if (tenth.chosen(fps[i])) tenth.add(fps[i], csize, g);
  }
  const double truth = (double)n * 4096 / (double)out;
  const range_t whole = all.ratio(1.0, n);
  EXPECT_DOUBLE_EQ(whole.value, truth);
  EXPECT_DOUBLE_EQ(whole.low, truth);
  EXPECT_DOUBLE_EQ(whole.high, truth);
  const range_t part = tenth.ratio(1.0, n);
  EXPECT_LT(part.low, part.high);
  EXPECT_LE(part.low, truth);
  EXPECT_GE(part.high, truth);
  EXPECT_LT(part.high / part.low, 1.05);

  CompressSample adaptive(0, 4096);
  for (size_t i = 0; i < n; i++) {
    adaptive.add(fps[i], 2000 + i % 3, (int)(i % UNSEEN_GROUPS));
    if (i % 1000 == 999) adaptive.adapt((double)n);
  }
  // As low as the count expected at the end allows.
  EXPECT_LE(adaptive.share(), 1.0 / 32);
  EXPECT_GE(adaptive.chosen_chunks(), CompressSample::kMinChosen * 9 / 10);
  EXPECT_NEAR(adaptive.ratio(1.0, n).value, 4096.0 / 2001, 0.01);
}

// Sampled beside an auxiliary figure: sizes that follow it closely give a
// far narrower range than their own spread would, so the adaptive share
// falls much further than without it for the same data; the range holds
// the full ratio over many choices of chunks, at a complete read and at a
// partial one; every chunk chosen at a complete read gives it exactly.
TEST(CompressSample, AuxiliaryFigure) {
  const size_t n = 200000, chunk = 16384;
  std::mt19937_64 gen(11);
  std::vector<uint64_t> fps(n);
  std::vector<size_t> x(n), y(n);
  double out = 0;
  for (size_t i = 0; i < n; i++) {
    fps[i] = gen();
    // Stored sizes spread over the whole range, the compressor's within a
    // few per cent of 0.8 of them.
    x[i] = 500 + gen() % 15000;
    y[i] = (size_t)(0.8 * (double)x[i] * (0.95 + 0.1 * (double)(gen() % 1000) / 1000));
    out += (double)y[i];
  }
  const double truth = (double)(n * chunk) / out;
  auto run = [&](bool aux, uint64_t key, double share, size_t upto) {
    CompressSample cs(share, chunk, aux, key);
    for (size_t i = 0; i < upto; i++) {
      const int g = (int)(i % UNSEEN_GROUPS);
      if (aux) cs.add_candidate(x[i], g);
      if (cs.chosen(fps[i])) cs.add(fps[i], y[i], g, x[i]);
      if (i % 4096 == 4095) cs.adapt((double)n);
    }
    return cs;
  };
  const CompressSample plain = run(false, CompressSample::kKey, 0, n);
  const CompressSample lean = run(true, CompressSample::kKey, 0, n);
  EXPECT_LE(lean.share() * 16, plain.share());
  EXPECT_GE(lean.chosen_chunks(), CompressSample::kMinChosen * 9 / 10);
  const range_t r = lean.ratio(1.0, n);
  EXPECT_LT(r.high / r.low, 1.02);
  size_t uncompressed, compressed, stored;
  lean.estimate(&uncompressed, &compressed, &stored);
  EXPECT_EQ(uncompressed, n * chunk);
  EXPECT_NEAR((double)compressed / out, 1.0, 0.01);

  const CompressSample all = run(true, CompressSample::kKey, 1.0, n);
  const range_t exact = all.ratio(1.0, n);
  EXPECT_DOUBLE_EQ(exact.value, truth);
  EXPECT_DOUBLE_EQ(exact.low, truth);
  EXPECT_DOUBLE_EQ(exact.high, truth);

  // A tenth read, in buckets of 8 chunks; then the whole.
  int held_part = 0, held_whole = 0;
  const int keys = 100;
  for (int k = 1; k <= keys; k++) {
    const uint64_t key = CompressSample::kKey ^ (uint64_t)k * 0x9E3779B97F4A7C15ull;
    const range_t part = run(true, key, 0, n / 10).ratio(0.1, n / 80);
    held_part += part.low <= truth && truth <= part.high;
    const range_t whole = run(true, key, 0, n).ratio(1.0, n);
    held_whole += whole.low <= truth && truth <= whole.high;
  }
  EXPECT_GE(held_part, keys * 90 / 100);
  EXPECT_GE(held_whole, keys * 90 / 100);
}

// A compressor chained to another level of itself: its choice nests in
// the parent's, its share falls far below it, and its range holds its full
// ratio over many choices, at a complete read and at a partial one; every
// chunk chosen gives it exactly.
TEST(CompressSample, ChainedToAnotherLevel) {
  const size_t n = 200000, chunk = 16384;
  std::mt19937_64 gen(12);
  std::vector<uint64_t> fps(n);
  std::vector<size_t> x(n), y1(n), y3(n);
  double out3 = 0;
  auto noise = [&gen](double spread) {
    return 1 - spread + 2 * spread * (double)(gen() % 1000) / 1000;
  };
  for (size_t i = 0; i < n; i++) {
    fps[i] = gen();
    x[i] = 500 + gen() % 15000;
    y1[i] = (size_t)(0.8 * (double)x[i] * noise(0.1));
    y3[i] = (size_t)(0.95 * (double)y1[i] * noise(0.02));
    out3 += (double)y3[i];
  }
  const double truth = (double)(n * chunk) / out3;
  struct pair_t {
    CompressSample first, second;
  };
  auto run = [&](uint64_t key, double share, size_t upto) {
    std::unique_ptr<pair_t> s(new pair_t{CompressSample(share, chunk, true, key),
                                         CompressSample(share, chunk, true, key)});
    s->second.chain_to(&s->first);
    for (size_t i = 0; i < upto; i++) {
      const int g = (int)(i % UNSEEN_GROUPS);
      s->first.add_candidate(x[i], g);
      const bool chosen = s->second.chosen(fps[i]);
      if (s->first.chosen(fps[i])) s->first.add(fps[i], y1[i], g, x[i]);
      else EXPECT_FALSE(chosen);
      if (chosen) s->second.add(fps[i], y3[i], g, y1[i], x[i]);
      if (i % 4096 == 4095) {
        s->first.adapt((double)n, s->second.first_phase_spread());
        s->second.adapt((double)n);
      }
    }
    return s;
  };
  std::unique_ptr<pair_t> lean = run(CompressSample::kKey, 0, n);
  EXPECT_LE(lean->second.share() * 4, lean->first.share());
  EXPECT_GE(lean->second.chosen_chunks(), CompressSample::kMinChainChosen * 9 / 10);
  const range_t r = lean->second.ratio(1.0, n);
  EXPECT_LT(r.high / r.low, 1.02);
  size_t uncompressed, compressed, stored;
  lean->second.estimate(&uncompressed, &compressed, &stored);
  EXPECT_EQ(uncompressed, n * chunk);
  EXPECT_NEAR((double)compressed / out3, 1.0, 0.01);

  const range_t exact = run(CompressSample::kKey, 1.0, n)->second.ratio(1.0, n);
  EXPECT_DOUBLE_EQ(exact.value, truth);
  EXPECT_DOUBLE_EQ(exact.low, truth);
  EXPECT_DOUBLE_EQ(exact.high, truth);

  int held_part = 0, held_whole = 0;
  const int keys = 100;
  for (int k = 1; k <= keys; k++) {
    const uint64_t key = CompressSample::kKey ^ (uint64_t)k * 0x9E3779B97F4A7C15ull;
    const range_t part = run(key, 0, n / 10)->second.ratio(0.1, n / 80);
    held_part += part.low <= truth && truth <= part.high;
    const range_t whole = run(key, 0, n)->second.ratio(1.0, n);
    held_whole += whole.low <= truth && truth <= whole.high;
  }
  EXPECT_GE(held_part, keys * 90 / 100);
  EXPECT_GE(held_whole, keys * 90 / 100);
}

}  // namespace
