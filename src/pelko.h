// pelko: data-reduction estimator.
//
// The run driver. The shared declarations have headers of their own:
// pelko_assert.h, types.h, format.h, os.h and options.h, included here for
// the driver's convenience; no other module includes this header.
#ifndef PELKO_PELKO_H_
#define PELKO_PELKO_H_

#include "format.h"
#include "options.h"
#include "os.h"
#include "pelko_assert.h"
#include "types.h"

// The whole program: what main() runs. Returns the exit status: 1 also when
// standard output or the report file lost part of the report (a failed
// write, flush or close), after an "ERROR: " line on stderr.
int pelko_main(int argc, char** argv);

// The scan and analysis phases, run by pelko_main after the root lines with
// the parsed and probed parameters. Returns the exit status: 0, or after
// SIGINT or SIGTERM (see interrupt.h) 128 + the signal's number. A signal
// during the scan ends it with one line; during the analysis, the final row
// and the summary cover what was read. With params.export_file set, the
// sample is exported after the summary (status 1 when that fails). Without
// params.bucket_size_given, the bucket size is chosen for the plan after
// the scan and stored in params; the "run" record follows then.
int run_phases(pelko_params_t& params);

#endif  // PELKO_PELKO_H_
