// Loader for the module's PE32 image: checks the headers that matter for a
// PEI module that runs in place (i386, PE32, EFI boot service driver, no
// imports, base relocations present), places the sections at a chosen base
// and applies the base relocations, as a flash build tool would.
#ifndef STATUSSINK_EMU_PEIMAGE_H
#define STATUSSINK_EMU_PEIMAGE_H

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace emu {

class ImageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Section {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t rawSize = 0;
  uint32_t rawOffset = 0;
  uint32_t characteristics = 0;
  bool Writable() const { return (characteristics & 0x80000000u) != 0; }
  bool Executable() const { return (characteristics & 0x20000000u) != 0; }
};

struct PeImage {
  std::string path;
  uint32_t fileSize = 0;
  uint32_t preferredBase = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t entryRva = 0;
  uint16_t subsystem = 0;
  uint32_t relocRva = 0, relocSize = 0;
  std::vector<Section> sections;
  std::vector<uint8_t> file;  // the file as read

  // The image laid out at `base` with every relocation applied: sizeOfImage bytes.
  std::vector<uint8_t> LayOut(uint32_t base, uint32_t* relocationsApplied = nullptr) const;
};

// The largest image the machine places: it fits between temporary RAM and the PEI core page.
constexpr uint32_t kMaxImageBytes = 16u << 20;

// Parses and checks the headers and the base relocations; throws ImageError
// naming the file and what is wrong. `file` may hold any bytes.
PeImage ParsePeImage(std::vector<uint8_t> file, std::string path);
PeImage LoadPeImage(const std::string& path);

// A whole file of at most maxBytes bytes; ImageError when it is missing, not
// a regular file (a directory, a pipe), larger, or cannot be read.
std::vector<uint8_t> ReadImageFile(const std::string& path, const char* what, uint64_t maxBytes);

}  // namespace emu

#endif
