// Names POST codes as read off a port 0x80 display: value-table codes by the
// status code value they stand for, module codes as "begins", "ends" or
// "nested level begins" with every platform module that has the base code.
#ifndef STATUSSINK_EMU_POSTCODEDECODE_H
#define STATUSSINK_EMU_POSTCODEDECODE_H

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct PostCodeMeaning {
  uint16_t code = 0;
  std::vector<std::string> lines;  // one per reading; empty when nothing produces the code
};

PostCodeMeaning DecodePostCode(uint32_t code);

}  // namespace emu

#endif
