// A run as a logic analyser would have captured it: a Value Change Dump of
// port 0x80 and each serial line's transmit wire, a GTKWave save file that
// opens it, and the translate filter that names the POST codes.
#ifndef STATUSSINK_VIEW_VCD_H
#define STATUSSINK_VIEW_VCD_H

#include <string>

#include "compare/RunDocument.h"

namespace view {

struct VcdFiles {
  std::string vcd;     // the dump
  std::string gtkw;    // GTKWave's save file: loads vcdPath, applies filterPath to postcode
  std::string filter;  // one line per POST code the run wrote: its hexadecimal value and name
};

// vcdPath and filterPath are written into the save file as given. With
// postcodeBits the port 0x80 word is 16 one-bit wires postcode_0 (least
// significant) to postcode_15 instead of one vector, for readers that take
// no vectors (libsigrok 0.5's VCD input stops at the first one).
VcdFiles MakeVcd(const comparison::RunDocument& document, const std::string& vcdPath, const std::string& filterPath,
                 bool postcodeBits = false);

}  // namespace view

#endif
