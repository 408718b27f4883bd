// A run as a self-contained SVG timeline in the manner of systemd-analyze
// plot: a time scale, the module spans nested by depth, the calls of each
// handler, the POST codes along the axis, what each output's text lines
// cost, the halt, and a legend.
#ifndef STATUSSINK_VIEW_PLOT_H
#define STATUSSINK_VIEW_PLOT_H

#include <string>

#include "compare/RunDocument.h"

namespace view {

std::string PlotSvg(const comparison::RunDocument& document);

}  // namespace view

#endif
