// qkmine bench --plot: a grouped bar chart of TOPS per shape, one bar per
// engine and one for cuBLASLt, with the device's peak as a line when known.
#pragma once

#include "bench_report.h"
#include "png_image.h"

namespace qkmine {

Image render_plot(const PlotData& data);

}  // namespace qkmine
