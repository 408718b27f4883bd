// A comparison for a person (text) and for programs (one JSON document).
#ifndef STATUSSINK_COMPARE_DIFFVIEW_H
#define STATUSSINK_COMPARE_DIFFVIEW_H

#include <string>

#include "compare/Diff.h"

namespace comparison {

std::string DiffText(const Comparison& c);
Json DiffJson(const Comparison& c);

}  // namespace comparison

#endif
