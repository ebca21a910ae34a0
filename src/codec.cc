#include "codec.h"

#ifdef PELKO_LZ4_FAST_RESET
#define LZ4_STATIC_LINKING_ONLY  // LZ4_compress_fast_extState_fastReset
#endif
#include <lz4.h>
#include <math.h>
#include <stdlib.h>
#include <strings.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <memory>

#include "pelko_assert.h"
#include "thread_object.h"

namespace {

const int ZSTD_DEFAULT_LEVEL = 3;
const int DEFLATE_DEFAULT_LEVEL = 6;

// The output scratch of the calling thread, at least `bound` bytes.
char* scratch(size_t bound) {
  struct scratch_t {
    std::unique_ptr<char[]> buf;
    size_t size = 0;
  };
  scratch_t& s = thread_object<scratch_t>();
  if (s.size < bound) {
    s.buf.reset(new char[bound]);
    s.size = bound;
  }
  return s.buf.get();
}

size_t zstd_compressed_size(int level, const unsigned char* src, size_t n) {
  struct cctx_t {
    ZSTD_CCtx* ctx = nullptr;
    ~cctx_t() { ZSTD_freeCCtx(ctx); }
  };
  cctx_t& c = thread_object<cctx_t>();
  if (c.ctx == nullptr) {
    c.ctx = ZSTD_createCCtx();
    PELKO_ASSERT(c.ctx != nullptr);
  }
  const size_t bound = ZSTD_compressBound(n);
  const size_t r =
      ZSTD_compressCCtx(c.ctx, scratch(bound), bound, src, n, level);
  return ZSTD_isError(r) ? 0 : r;
}

size_t deflate_compressed_size(int level, const unsigned char* src, size_t n) {
  // One stream per thread and level in use, reset for every chunk: a fresh
  // deflateInit allocates about 256 KiB.
  struct stream_t {
    z_stream z;
    int level = -1;
    bool live = false;
    ~stream_t() {
      if (live) deflateEnd(&z);
    }
  };
  struct streams_t {
    stream_t s[10];
  };
  stream_t& st = thread_object<streams_t>().s[level];
  if (!st.live) {
    st.z = z_stream();
    PELKO_ASSERT(deflateInit(&st.z, level) == Z_OK);
    st.live = true;
  } else {
    PELKO_ASSERT(deflateReset(&st.z) == Z_OK);
  }
  const uLong bound = deflateBound(&st.z, (uLong)n);
  st.z.next_in = const_cast<Bytef*>(src);
  st.z.avail_in = (uInt)n;
  st.z.next_out = reinterpret_cast<Bytef*>(scratch(bound));
  st.z.avail_out = (uInt)bound;
  const int r = deflate(&st.z, Z_FINISH);
  return r == Z_STREAM_END ? (size_t)st.z.total_out : 0;
}

bool parse_level(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = strtol(text.c_str(), &end, 10);
  if (*end != 0 || v < -1000000 || v > 1000000) return false;
  *out = v;
  return true;
}

}  // namespace

std::string codec_name(const codec_t& c) {
  switch (c.kind) {
    case CODEC_LZ4:
      return "lz4";
    case CODEC_ZSTD:
      return "zstd:" + std::to_string(c.level);
    case CODEC_DEFLATE:
      return "deflate:" + std::to_string(c.level);
  }
  return "?";
}

bool parse_codec(const std::string& text, codec_t* out, std::string* why) {
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  const bool has_level = colon != std::string::npos;
  long level = 0;
  if (has_level && !parse_level(text.substr(colon + 1), &level)) {
    *why = text + ": the level is a whole number, as in zstd:3";
    return false;
  }
  codec_t c;
  if (strcasecmp(name.c_str(), "lz4") == 0) {
    if (has_level) {
      *why = text + ": lz4 takes no level";
      return false;
    }
    c.kind = CODEC_LZ4;
  } else if (strcasecmp(name.c_str(), "zstd") == 0) {
    c.kind = CODEC_ZSTD;
    c.level = has_level ? (int)level : ZSTD_DEFAULT_LEVEL;
    if (has_level && (level == 0 || level < ZSTD_minCLevel() ||
                      level > ZSTD_maxCLevel())) {
      *why = text + ": the zstd levels are 1 to " +
             std::to_string(ZSTD_maxCLevel()) + ", or negative down to " +
             std::to_string(ZSTD_minCLevel()) + " for faster ones";
      return false;
    }
  } else if (strcasecmp(name.c_str(), "deflate") == 0) {
    c.kind = CODEC_DEFLATE;
    c.level = has_level ? (int)level : DEFLATE_DEFAULT_LEVEL;
    if (c.level < 1 || c.level > 9) {
      *why = text + ": the deflate levels are 1 to 9";
      return false;
    }
  } else {
    *why = text + ": unknown compressor; the compressors are lz4, zstd:LEVEL "
                  "and deflate:LEVEL";
    return false;
  }
  *out = c;
  return true;
}

bool parse_codec_list(const std::string& text, std::vector<codec_t>* out,
                      std::string* why) {
  std::vector<codec_t> list;
  size_t at = 0;
  for (;;) {
    const size_t comma = text.find(',', at);
    const std::string item = text.substr(at, comma - at);
    codec_t c;
    if (item.empty()) {
      *why = "an empty name in the list; separate the compressors with "
             "commas, as in lz4,zstd:1";
      return false;
    }
    if (!parse_codec(item, &c, why)) return false;
    if (std::find(list.begin(), list.end(), c) != list.end()) {
      *why = codec_name(c) + " is given twice";
      return false;
    }
    list.push_back(c);
    if (list.size() > MAX_CODECS) {
      *why = "more than " + std::to_string(MAX_CODECS) + " compressors";
      return false;
    }
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *out = list;
  return true;
}

size_t codec_max_input() { return (size_t)LZ4_MAX_INPUT_SIZE; }

size_t lz4_compressed_size(const unsigned char* src, size_t n) {
  if (n > (size_t)LZ4_MAX_INPUT_SIZE) return 0;  // LZ4's bound is 0 there
  const size_t bound = n + n / 255 + 16;
  char* out = scratch(bound);
#ifdef PELKO_LZ4_FAST_RESET
  // The default entry point clears a fresh 16 KiB state for every chunk;
  // the compressed bytes are the same either way, as no chunk is ever
  // matched against another.
  struct state_t {
    std::unique_ptr<LZ4_stream_t> state;
  };
  std::unique_ptr<LZ4_stream_t>& state = thread_object<state_t>().state;
  if (!state) {
    state.reset(new LZ4_stream_t);
    LZ4_initStream(state.get(), sizeof(LZ4_stream_t));
  }
  int r = LZ4_compress_fast_extState_fastReset(state.get(), (const char*)src,
                                               out, (int)n, (int)bound, 1);
#else
  int r = LZ4_compress_default((const char*)src, out, (int)n, (int)bound);
#endif
  return r > 0 ? (size_t)r : 0;
}

double byte_entropy(const unsigned char* src, size_t n) {
  // Every 7th byte: a seventh of the work, and nearly as good a guide to
  // the compressors' difference as all of them. The stride is odd so that
  // every byte of a word is sampled alike (every 4th or 8th byte would see
  // one lane of a table of integers only, and guide far worse).
  // c log2 c for the counts of a chunk of up to 7 KiB, looked up.
  static const size_t kTable = 1025;
  static const std::vector<double> table = [] {
    std::vector<double> t(kTable, 0.0);
    for (size_t c = 2; c < kTable; c++) t[c] = (double)c * log2((double)c);
    return t;
  }();
  uint32_t count[256] = {0};
  size_t m = 0;
  for (size_t i = 0; i < n; i += 7, m++) count[src[i]]++;
  if (m == 0) return 0;
  // H = log2 m - sum(c log2 c) / m.
  double sum = 0;
  for (uint32_t c : count)
    sum += c < kTable ? table[c] : (double)c * log2((double)c);
  return std::max(0.0, log2((double)m) - sum / (double)m);
}

size_t codec_compressed_size(const codec_t& c, const unsigned char* src,
                             size_t n) {
  if (n > codec_max_input()) return 0;
  switch (c.kind) {
    case CODEC_LZ4:
      return lz4_compressed_size(src, n);
    case CODEC_ZSTD:
      return zstd_compressed_size(c.level, src, n);
    case CODEC_DEFLATE:
      return deflate_compressed_size(c.level, src, n);
  }
  return 0;
}
