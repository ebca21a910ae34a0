// Sampled compression: the compressed sizes of a share of the distinct
// chunks, chosen by their fingerprints, stand for all of them.
//
// A chunk is chosen when a hash of its fingerprint falls below the share:
// the choice does not depend on the host, the run or the reading order, so
// every host of a merge chooses the same chunks, and a chunk's copies are
// all chosen or none. The share is either fixed, or chosen as the run goes
// (adaptive): it starts at 1 and halves, once or more at a time, as soon as
// the chunks chosen so far show that half as many would still give the
// compression ratio at the end of a complete run a range within
// +-kTargetWidth: from the spread of their compressed sizes and the number
// of chunks needing compression that the run is expected to meet in all.
// The spread is judged once kMinSpread chunks are chosen, and the share
// falls at once as far as it allows, as long as the run is expected to
// end with at least kMinChosen chosen (a share that halved only once as
// many had been chosen again would measure, and then drop, several times
// the chunks it keeps). A share only ever falls: the
// chunks no longer chosen leave the totals as if they had never been
// measured, so the figures do not depend on when the share fell.
//
// The ratio's range is that of a two-stage sample: the buckets read (a
// share f of the plan's) and, within them, the chosen chunks (a share p):
//   variance = (1 - f) * V_buckets + f * (1 - p) * V_choice,
// V_buckets the delete-a-group jackknife over the buckets' groups (which
// sees both stages), V_choice the same over groups of the chosen chunks
// dealt by their hash (which sees the choice alone). A complete read keeps
// the second term: its range closes only when every chunk is chosen.
//
// With an auxiliary figure (a compressed size known for every chunk that
// needs compressing: the stored size of the same bytes under a compressor
// measured in full), the chosen chunks measure only how the compressor
// differs from it: the ratio is that of all those chunks' bytes over
// their auxiliary total times the chosen chunks' compressed over
// auxiliary bytes (ranges.h, aux_ratio_range). Two compressors of the same
// bytes, or of the same bytes in chunks of other sizes, compress alike, so
// the spread that matters is the chosen chunks' about the auxiliary
// figure, mostly a small share of their spread about the mean, and the
// adaptive share falls far lower for the same range.
//
// Not thread-safe: the owner's lock guards it.
#ifndef PELKO_COMPRESS_SAMPLE_H_
#define PELKO_COMPRESS_SAMPLE_H_

#include <stddef.h>
#include <stdint.h>

#include "ranges.h"
#include "unseen.h"  // UNSEEN_GROUPS

class CompressSample {
 public:
  // The adaptive share is expected to keep at least this many chosen
  // chunks at the end, and judges the spread from at least kMinSpread:
  // the spread of 256 sizes is known to within about 9 % (a relative
  // standard error of sqrt(2 / n) for residuals near normal), which
  // kSpreadMargin covers twice over. Once it is lowered, at least
  // kMinKept stay chosen (enough for a row's range).
  static constexpr size_t kMinChosen = 1024;
  static constexpr size_t kMinSpread = 256;
  static constexpr size_t kMinKept = 2 * UNSEEN_GROUPS;
  // A chained sample's second phase is expected to keep at least this
  // many: its residuals are judged from as many (the 9 % above), and are
  // a small part of the range, so the count need not be kMinChosen.
  static constexpr size_t kMinChainChosen = kMinSpread;
  // The half-width, relative to the ratio, that the adaptive share keeps
  // the end's range within, and the room it leaves for the error of the
  // spread it measures (a factor on its square).
  static constexpr double kTargetWidth = 0.009;
  static constexpr double kSpreadMargin = 1.2;

  // Not in use: chosen() is false for every fingerprint.
  CompressSample();
  // A fixed share (0 < share <= 1), or with share 0 the adaptive share,
  // for chunks of chunk_size bytes; with aux, every chunk needing
  // compression is given to add_candidate with its auxiliary figure, and
  // each chosen one to add with it too.
  // key: what compress_sample_hash mixes in; pelko always uses the one
  // key (kKey), so that every host chooses alike; another one makes another
  // choice, for judging how often a range holds its figure.
  static constexpr uint64_t kKey = 0x6A09E667F3BCC909ull;
  CompressSample(double share, size_t chunk_size, bool aux = false,
                 uint64_t key = kKey);

  bool active() const { return m_active; }
  bool has_aux() const { return m_aux; }

  // Chains this sample (with aux, of the same chunk size and key, adaptive
  // or at the same fixed share) to parent, a sample of a related
  // compressor (the same codec at another level), which must outlive it:
  // its chunks are then chosen among the parent's, each counted by add
  // with the parent's compressed size of it as aux and its own auxiliary
  // figure as base, and it stands for all chunks through the parent's
  // estimate (ranges.h, the second phase of aux_totals_t). Its share
  // falls below the parent's as far as the end's range, the parent's
  // variance included, stays within +-kTargetWidth. A compressor follows
  // another level of itself far more closely than any auxiliary figure
  // known for every chunk (the residual spread of zstd:3 about zstd:1 was
  // 0.03 of the mean on a 1 GiB tar of /usr, about LZ4's sizes times the
  // bytes' entropy 0.13), so the second phase needs a small share of the
  // first's chunks.
  void chain_to(const CompressSample* parent);
  bool chained() const { return m_parent != nullptr; }
  // The share of the chunks the range's first phase rests on: the
  // parent's when chained, else share().
  double first_share() const;
  // Whether the chunk with this fingerprint is measured at the share now.
  // A chunk not chosen now is never chosen later.
  bool chosen(uint64_t fp) const;
  // Counts a chosen chunk's compressed size, for a chunk of a bucket of
  // jackknife group bucket_group; a chunk no longer chosen is not counted.
  // Chained: aux is the parent's compressed size of the chunk and base
  // its auxiliary figure.
  void add(uint64_t fp, size_t csize, int bucket_group, size_t aux = 0,
           size_t base = 0);
  // With aux: a chunk needing compression, chosen or not, in a bucket of
  // jackknife group bucket_group, whose auxiliary figure is aux (> 0).
  void add_candidate(size_t aux, int bucket_group);
  // The adaptive share's step: lowers it as far as the chunks chosen so far
  // allow, for a run expected to meet candidates_at_end chunks that need
  // compressing (with dedupe, distinct ones).
  // spread_floor: the least relative spread (squared, with the margin) to
  // assume, which a parent is given from its chained samples'
  // first_phase_spread(): their first phase rests on its share, so it
  // keeps one large enough for them too. Adapt a parent before the
  // samples chained to it.
  void adapt(double candidates_at_end, double spread_floor = 0);
  // Chained, once judged: the relative spread (squared, with the margin)
  // of this compressor's sizes about the auxiliary figure, which the
  // parent's share must suit; 0 before.
  double first_phase_spread() const;
  // A merge's totals measured elsewhere at this share: bytes out and in by
  // hash group (the buckets' groups are not known: the same totals stand
  // for them), and bytes stored.
  void add_totals(const size_t* hash_compressed, const size_t* hash_uncompressed,
                  size_t stored);

  double share() const;
  // The chunks counted at the share now, and their bytes in and out, each
  // at most chunk_size when stored.
  size_t chosen_chunks() const;
  size_t compressed_size() const;
  size_t uncompressed_size() const;
  size_t stored_size() const;
  // The bytes in, out and stored that stand for every chunk needing
  // compression: with aux, all of those chunks' bytes and the ratio
  // estimates of their compressed and stored bytes; otherwise the chosen
  // chunks' (uncompressed_size, compressed_size, stored_size).
  void estimate(size_t* uncompressed, size_t* compressed, size_t* stored) const;
  // The ratio uncompressed / compressed and its range, f being the share of
  // the plan's buckets read (buckets of them).
  range_t ratio(double f, size_t buckets) const;
  // With aux: the totals that ratio's range is made of.
  void aux_totals(aux_totals_t* t) const;

  // The jackknife groups' totals (compressed bytes as wholes, bytes given
  // to the compressor as parts), by bucket group and by hash group.
  void group_totals(group_totals_t* by_bucket, group_totals_t* by_hash) const;

 private:
  // Levels of the adaptive share: level k keeps the hashes below
  // 2^(64 - k); each cell holds the chunks whose hash has k leading zero
  // bits (the last, at least that many).
  static const int kLevels = 48;
  struct cell_t {
    size_t compressed[UNSEEN_GROUPS];    // by bucket group
    size_t uncompressed[UNSEEN_GROUPS];
    size_t hash_compressed[UNSEEN_GROUPS];  // by hash group
    size_t hash_uncompressed[UNSEEN_GROUPS];
    size_t chunks;
    size_t stored;
    double squares;  // sum of the compressed sizes squared
    // With aux: the chosen chunks' auxiliary figures by bucket group, the
    // sums of their products with the compressed sizes and of their
    // squares.
    double aux[UNSEEN_GROUPS];
    double products, aux_squares;
    // Chained: the sums of the chunks' auxiliary figures (base), of their
    // products with the compressed sizes and of their squares.
    double base, base_products, base_squares;
  };
  int cell_of(uint64_t h) const;
  void adapt_chained(double candidates_at_end);
  template <typename F>
  void for_kept(F f) const;

  bool m_active;
  bool m_adaptive;
  bool m_aux;
  // With aux: every chunk needing compression, by bucket group.
  double m_all_bytes[UNSEEN_GROUPS];
  double m_all_aux[UNSEEN_GROUPS];
  uint64_t m_key;
  size_t m_chunk_size;
  uint64_t m_threshold;  // fixed share: hashes below it are chosen
  int m_level;           // adaptive share: 2^-m_level
  const CompressSample* m_parent;  // chained: the first phase
  // Adaptive: whether the spread has been judged (a chained sample waits
  // for its parent's).
  bool m_judged;
  cell_t m_cells[kLevels];
};

// The hash that chooses a fingerprint's chunks, and the hash group it
// deals them to.
uint64_t compress_sample_hash(uint64_t fp,
                              uint64_t key = CompressSample::kKey);
inline int compress_sample_group(uint64_t hash) {
  return (int)(hash & (UNSEEN_GROUPS - 1));
}

#endif  // PELKO_COMPRESS_SAMPLE_H_
