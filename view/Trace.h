// A run as a Trace Event Format file (the JSON that Perfetto's UI,
// chrome://tracing and speedscope open): a thread per handler with each call,
// the POST code as a counter, the module spans nested on a thread of their
// own, each output's text lines as instants, and the halt.
#ifndef STATUSSINK_VIEW_TRACE_H
#define STATUSSINK_VIEW_TRACE_H

#include <string>

#include "compare/RunDocument.h"

namespace view {

std::string TraceJson(const comparison::RunDocument& document);

}  // namespace view

#endif
