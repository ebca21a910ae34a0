// Sizing many hosts at once: every host's run writes its sample to an
// export (--export), and one run merges any number of exports (--merge)
// into the final row and summary of their data taken together, duplicates
// across hosts included.
//
// A merge is what a single run over all the hosts' inputs would report, as
// far as the samples allow:
// - The exports must agree on chunk size, estimate mode and fingerprint
//   width, and hold the same share of their plans (runs with the same
//   --stop-at, or complete ones): the combined sample is then one uniform
//   sample of the combined data. A run's share may miss its --stop-at by
//   the buckets its threads were reading when it was reached.
// - Counts of a fingerprint add up across exports; its compressed size
//   (of its first chunk) counts once.
// - Exports of runs in the memory-saving mode merge at the highest of
//   their thresholds: every entry below it (except the all-zero chunk's,
//   when zeros take part in dedupe) counts as skipped, as it would in a
//   single run that had reached that threshold. The compression ratio is
//   then measured on the entries kept.
// - The same run given twice is refused (its data would count twice).
//   Stopped runs read in the same order (the same --seed) draw a warning.
// Streams the exports: memory does not grow with their size.
#ifndef PELKO_MERGE_H_
#define PELKO_MERGE_H_

#include <memory>
#include <string>
#include <vector>

#include "options.h"

class Estimator;
class SampleReader;
class Sampler;

// Before a run with --export and without --seed: draws a random reading
// order. Hosts that hold the same data (clones of one image) would
// otherwise all sample the same places, and the merge would see their
// copies together far more often than chance.
void export_choose_seed(pelko_params_t* params);

// Before a run with --export: false, after an "ERROR: " line on stderr,
// when the export could not be written where asked (no such directory, not
// writable, a directory) or would land among the inputs (inside a root, or
// on the file system of a block device root).
bool export_check(const pelko_params_t& params);

// After the final row: writes the run's export to params.export_file
// through a temporary file renamed into place, so that the name never
// holds a partial export. True on success; false after an "ERROR: " line.
bool export_write(const pelko_params_t& params, const Estimator& estimator,
                  const Sampler& sampler);

// The whole --merge run after the parameters were parsed: the parameter
// echo, one line per export, the merged final row and the summary. Every
// export is opened and checked before open_outputs(params) is called (so
// that a merge refused at its start writes nothing); the exports' host
// names, paths and stop reasons are shown with their control characters
// escaped. Each export takes SAMPLE_READ_BUFFER bytes of buffer and, within
// the limit on open files, a file descriptor; past it, the others are
// opened again for each read of their buffer. Returns the exit status: 0;
// 1 after an "ERROR: " line naming the file (and the field) that stopped
// it, or when open_outputs returned false; after a signal (interrupt.h),
// which ends the merge with a line saying so and without a summary, 128 +
// its number.
int merge_run(const pelko_params_t& params,
              bool (*open_outputs)(const pelko_params_t& params));

// What merge_run does once its exports are open and the echo is printed:
// readers holds one open reader per params.merge_files entry, in order
// (readers of memory, for tests and fuzzing, will do). Same result.
int merge_readers(const pelko_params_t& params,
                  std::vector<std::unique_ptr<SampleReader>>* readers,
                  bool (*open_outputs)(const pelko_params_t& params));

#endif  // PELKO_MERGE_H_
