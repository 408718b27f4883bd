// Adds the module's file to an existing FFSv2 volume, alone or inside a
// whole flash image, without moving any file already there: other modules'
// images run where they lie, so the file goes into room nobody uses (a pad
// file's space or the volume's free space), with pad files for alignment,
// its image rebased to the address where it lands.
#ifndef STATUSSINK_FV_INSERT_H
#define STATUSSINK_FV_INSERT_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fv/Volume.h"

namespace fv {

struct InsertOptions {
  PackOptions file;            // what the file holds (its base is not used)
  uint64_t volumeOffset = 0;   // of the volume in the flash image
  uint32_t flashBase = 0;      // the address of the flash image's first byte
  std::optional<Guid> after;   // into the first room after this file; none: the first room in the volume
};

struct Inserted {
  std::vector<uint8_t> flash;  // the whole input with the volume changed
  uint32_t volumeBase = 0;     // where the volume is mapped
  uint64_t volumeBytes = 0;
  uint32_t fileOffset = 0;     // of the new file, in the volume
  BuiltFile file;
  std::string room;            // where it went, for messages
};

// The flash image `flash` (`where` names it) with the module's file added to
// the volume at options.volumeOffset. Refuses with the reason when there is
// no volume there, the volume is not one this writes (ReadVolume's rules:
// FFSv2, erase polarity 1, ...), a file of the same name is already in it,
// the volume's base or its alignment attribute cannot give the file's data
// alignment, or no room holds the file.
Inserted Insert(std::span<const uint8_t> flash, const PeFile& image, const InsertOptions& options,
                const std::string& where);

}  // namespace fv

#endif
