// Compressors whose compressed sizes the analysis measures: LZ4 (the
// default), zstd at a level and DEFLATE (zlib) at a level, each through its
// own library. The compressed bytes are never kept.
//
// Every function is thread-safe. The compression state and the output
// scratch are kept per thread (allocated on first use, grown only for a
// larger input), so no call allocates once a thread has warmed up.
#ifndef PELKO_CODEC_H_
#define PELKO_CODEC_H_

#include <stddef.h>

#include <string>
#include <vector>

enum codec_kind_t { CODEC_LZ4, CODEC_ZSTD, CODEC_DEFLATE };

struct codec_t {
  codec_kind_t kind = CODEC_LZ4;
  int level = 0;  // zstd and DEFLATE only
  bool operator==(const codec_t& o) const {
    return kind == o.kind && level == o.level;
  }
  bool operator!=(const codec_t& o) const { return !(*this == o); }
};

// Compressors a run estimates at most.
const size_t MAX_CODECS = 16;

// The codec as the command line names it: "lz4", "zstd:3", "deflate:6".
std::string codec_name(const codec_t& c);

// A codec name: "lz4"; "zstd" (level 3) or "zstd:L" with L from zstd's
// fastest negative level to its highest, 0 excepted; "deflate" (level 6) or
// "deflate:L" with L from 1 to 9. Case-insensitive. False with *why set
// ("zstd:40: the zstd levels are -7 to 22, 0 excepted") otherwise.
bool parse_codec(const std::string& text, codec_t* out, std::string* why);

// A comma-separated list of codec names, none twice, at least one and at
// most MAX_CODECS. False with *why set otherwise.
bool parse_codec_list(const std::string& text, std::vector<codec_t>* out,
                      std::string* why);

// The largest input any codec here takes at once (LZ4's limit).
size_t codec_max_input();

// What n bytes at src compress to with c; 0 when n is beyond
// codec_max_input() or the library fails.
size_t codec_compressed_size(const codec_t& c, const unsigned char* src,
                             size_t n);

// The same for LZ4, the default codec.
size_t lz4_compressed_size(const unsigned char* src, size_t n);

// The order-0 entropy of n bytes at src, in bits per byte (0 to 8),
// estimated from every 7th byte: how far a compressor that entropy-codes
// its literals (zstd, DEFLATE) can shrink what LZ4 leaves.
double byte_entropy(const unsigned char* src, size_t n);

#endif  // PELKO_CODEC_H_
