// The convergence chart of --plot: the report rows against progress as an
// SVG image. The dedupe estimate with its low/high band and the compression
// ratio share the left axis (ratio); the zero share has the right one
// (percent), its ticks on the left axis's grid lines. The title names the
// inputs, their size, the chunk size and the date; the legend gives the
// final values and the total reduction ratio with its range; a run that
// ended early has its x axis end where it stopped.
#ifndef PELKO_CHART_H_
#define PELKO_CHART_H_

#include <string>
#include <vector>

#include "record.h"

// estimate_mask: the ESTIMATE_* bits of the run (lines of modes that were
// off are left out). stop_reason: why the run ended early; empty: it ran
// to its end.
std::string chart_svg(const std::vector<record_row_t>& rows, int estimate_mask,
                      const std::string& stop_reason,
                      const chart_info_t& info = chart_info_t());

#endif  // PELKO_CHART_H_
