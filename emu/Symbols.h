// What sinksim reads beside a run to name and count its addresses: the
// image's linker map and the count range files.
#ifndef STATUSSINK_EMU_SYMBOLS_H
#define STATUSSINK_EMU_SYMBOLS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "run/RunResult.h"

namespace emu {

// Public symbols of the image from its linker map, by RVA; used for naming
// only, so a map that is missing, unreadable or malformed never stops a run:
// lines that cannot be read are left out, and what was left out is said in
// `warnings` when given.
std::map<uint32_t, std::string> ReadMapSymbols(const std::string& mapPath, std::vector<std::string>* warnings = nullptr);

// Count ranges from a text file, one a line: START END [NAME], START and END
// offsets from the image base in hexadecimal (0x optional), END excluded;
// blank lines and lines starting with '#' are skipped. Throws
// std::invalid_argument naming the file and line of anything else.
std::vector<run::CountRange> ReadCountRanges(const std::string& path);

}  // namespace emu

#endif
