// Names POST codes as read off a port 0x80 display: value-table codes by the
// status code value they stand for, module codes as "begins", "ends" or
// "nested level begins" with every platform module that has the base code,
// and the other words of the blink cycle that follows an unrecoverable error
// (its code rotated a byte at a time through 32 bits, low 16 bits written).
#ifndef STATUSSINK_EMU_POSTCODEDECODE_H
#define STATUSSINK_EMU_POSTCODEDECODE_H

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

struct PostCodeMeaning {
  uint32_t code = 0;
  bool written = false;            // the module can write it to port 0x80
  std::vector<std::string> lines;  // written: one per reading; else why not, when that can be told
};

PostCodeMeaning DecodePostCode(uint32_t code);

}  // namespace emu

#endif
