// The convergence chart of --plot: the report rows against progress as an
// SVG image. The dedupe estimate with its low/high band and the compression
// ratio share the left axis (ratio); the zero share has the right one
// (percent). The final values and how the run ended are written under the
// plot.
#ifndef PELKO_CHART_H_
#define PELKO_CHART_H_

#include <string>
#include <vector>

#include "record.h"

// estimate_mask: the ESTIMATE_* bits of the run (lines of modes that were
// off are left out). stop_reason: why the run ended early; empty: it ran
// to its end.
std::string chart_svg(const std::vector<record_row_t>& rows, int estimate_mask,
                      const std::string& stop_reason);

#endif  // PELKO_CHART_H_
