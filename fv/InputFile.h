// Reading a file the user names: a regular file of at most a given size,
// checked before a byte is read, so that a directory, a FIFO, a device such
// as /dev/zero or a file far larger than its kind can be is refused with the
// file's name instead of hanging or exhausting memory.
#ifndef STATUSSINK_FV_INPUTFILE_H
#define STATUSSINK_FV_INPUTFILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "fv/Placement.h"

namespace fv {

// The largest inputs of each kind, and why.
// An image must fit in one firmware file (24-bit size, header included).
constexpr uint64_t kMaxImageFileBytes = 16u << 20;
// A volume both machines map lies between temporary RAM and the PEI core
// page (Placement.h): at most 16.69 MiB.
constexpr uint64_t kMaxVolumeFileBytes = flash::kMostBytes;
// A whole flash image that a volume is inserted into: SPI flash parts of
// boards end at 64 MiB.
constexpr uint64_t kMaxFlashFileBytes = 64u << 20;
// A linker map names the symbols of an image of at most 16 MiB.
constexpr uint64_t kMaxMapFileBytes = 16u << 20;
// Count ranges: one line per function of the image; 1 MiB holds some 30,000.
constexpr uint64_t kMaxRangeFileBytes = 1u << 20;
// The QEMU boot ROM's own code.
constexpr uint64_t kMaxBootRomFileBytes = 64u << 10;

// What kind of input a file is, for messages: "image", "firmware volume", ...
struct InputKind {
  const char* name;
  uint64_t maxBytes;
};

// The size of `path` when it is a regular file of at most kind.maxBytes;
// throws FvError naming the file otherwise (missing, a directory, not a
// regular file, too large). Opens without blocking, so a FIFO is refused
// rather than waited on.
uint64_t CheckInputFile(const std::string& path, const InputKind& kind);

// The whole of `path`, checked as above before it is read.
std::vector<uint8_t> ReadInputFile(const std::string& path, const InputKind& kind);

}  // namespace fv

#endif
