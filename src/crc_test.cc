#include "crc.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

typedef unsigned int (*crc_func_t)(const unsigned char*, size_t);

struct named_func_t {
  const char* name;
  crc_func_t func;
};

std::vector<named_func_t> all_forms() {
  std::vector<named_func_t> v = {{"memcrc", memcrc},
                                 {"bytewise", memcrc_bytewise},
                                 {"slice16", memcrc_slice16}};
  if (memcrc_clmul_supported()) v.push_back({"clmul", memcrc_clmul});
  return v;
}

unsigned int crc_of(crc_func_t f, const std::string& s) {
  return f((const unsigned char*)s.data(), s.size());
}

std::vector<unsigned char> random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<unsigned char> v(n);
  for (auto& c : v) c = (unsigned char)gen();
  return v;
}

TEST(Crc, KnownAnswers) {
  for (const auto& f : all_forms()) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.func(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(crc_of(f.func, "abc"), 1219131554u);
    EXPECT_EQ(crc_of(f.func, "123456789"), 930766865u);
    // The length is fed in: runs of zero bytes of different length differ.
    EXPECT_NE(crc_of(f.func, std::string(1, '\0')),
              crc_of(f.func, std::string(2, '\0')));
    EXPECT_NE(crc_of(f.func, std::string(16384, '\0')),
              crc_of(f.func, std::string(16385, '\0')));
  }
}

// The fast forms must agree with the one-byte-per-step reference for every
// short length (all tail and block-boundary paths) at several alignments,
// and on whole chunks.
TEST(Crc, FastFormsAgreeWithReference) {
  std::vector<unsigned char> buf = random_bytes(300 + 64, 1);
  std::vector<named_func_t> forms = all_forms();
  for (size_t align = 0; align < 16; align += 3) {
    for (size_t len = 0; len <= 300; len++) {
      const unsigned char* p = buf.data() + align;
      unsigned int want = memcrc_bytewise(p, len);
      for (const auto& f : forms)
        ASSERT_EQ(f.func(p, len), want)
            << f.name << " len " << len << " align " << align;
    }
  }
  for (unsigned seed = 2; seed < 12; seed++) {
    std::vector<unsigned char> chunk = random_bytes(16384 + 7, seed);
    for (size_t align : {0, 1, 7}) {
      for (size_t len : {16384, 16384 - 1, 4096 + 15}) {
        const unsigned char* p = chunk.data() + align;
        unsigned int want = memcrc_bytewise(p, len);
        for (const auto& f : forms)
          EXPECT_EQ(f.func(p, len), want) << f.name << " seed " << seed;
      }
    }
  }
  // All-ones data exercises every table bit in the folds.
  std::vector<unsigned char> ones(1000, 0xFF);
  for (const auto& f : forms)
    EXPECT_EQ(f.func(ones.data(), ones.size()),
              memcrc_bytewise(ones.data(), ones.size()))
        << f.name;
}

// Agreement with the system's cksum on a file of random bytes.
TEST(Crc, MatchesCksumCommand) {
  if (system("command -v cksum >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no cksum command";
  char path[] = "/tmp/pelko_crc_testXXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<unsigned char> data = random_bytes(100000 + 3, 42);
  ASSERT_EQ(write(fd, data.data(), data.size()), (ssize_t)data.size());
  close(fd);
  std::string cmd = std::string("cksum ") + path;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  unsigned long want = 0;
  unsigned long long size = 0;
  ASSERT_EQ(fscanf(p, "%lu %llu", &want, &size), 2);
  pclose(p);
  unlink(path);
  EXPECT_EQ(size, data.size());
  EXPECT_EQ(memcrc(data.data(), data.size()), (unsigned int)want);
}

// A larger chunk's checksum combined from its halves' registers, level by
// level as several chunk sizes are, equals its checksum computed whole, for
// every size from 1 byte on and at an odd length too.
TEST(Crc, CombinedFromParts) {
  const size_t largest = 64 * 1024;
  std::vector<unsigned char> data = random_bytes(largest, 7);
  for (size_t part : {(size_t)1, (size_t)3, (size_t)512, (size_t)4096}) {
    SCOPED_TRACE(part);
    std::vector<uint32_t> regs;
    for (size_t at = 0; at + part <= largest; at += part)
      regs.push_back(crc_register(data.data() + at, part));
    for (size_t size = part; regs.size() >= 2; size *= 2) {
      const CrcShift join(size);
      std::vector<uint32_t> next;
      for (size_t i = 0; i + 1 < regs.size(); i += 2)
        next.push_back(join(regs[i]) ^ regs[i + 1]);
      regs = next;
      for (size_t i = 0; i < regs.size(); i++)
        ASSERT_EQ(crc_finish(regs[i], 2 * size),
                  memcrc(data.data() + i * 2 * size, 2 * size))
            << "size " << 2 * size << " chunk " << i;
    }
  }
  EXPECT_EQ(crc_finish(crc_register(nullptr, 0), 0), memcrc(nullptr, 0));
  // All-zero parts: only the lengths tell them apart.
  std::vector<unsigned char> zeros(8192, 0);
  const uint32_t half = crc_register(zeros.data(), 4096);
  EXPECT_EQ(crc_finish(CrcShift(4096)(half) ^ half, 8192),
            memcrc(zeros.data(), 8192));
}

}  // namespace
