// The module's image as it goes into flash: a PE32 file whose file layout
// is its memory layout (so it can run where it lies), rebased to the flash
// address of its first byte, optionally converted to a Terse Executable.
#ifndef STATUSSINK_FV_IMAGE_H
#define STATUSSINK_FV_IMAGE_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Layout.h"

namespace fv {

enum class ImageFormat { Pe32, Te };
const char* FormatName(ImageFormat format);  // "PE32" or "TE"

struct PeSection {
  std::string name;
  uint32_t rva = 0, virtualSize = 0, rawOffset = 0, rawSize = 0;
};

// A PE32 (i386) file checked for running in place.
struct PeFile {
  std::string path;
  std::vector<uint8_t> bytes;
  uint32_t peOffset = 0;        // "PE\0\0"
  uint32_t optionalOffset = 0;  // optional header
  uint32_t sectionTable = 0;    // = the bytes a TE image strips
  uint16_t machine = 0, sectionCount = 0, subsystem = 0;
  uint32_t entryRva = 0, baseOfCode = 0, imageBase = 0, sectionAlignment = 0, sizeOfImage = 0;
  uint32_t relocRva = 0, relocSize = 0, debugRva = 0, debugSize = 0;
  std::vector<PeSection> sections;
};

// Checks the headers, that every section's file offset equals its RVA and
// that the file holds all of the image (otherwise it cannot run in place),
// and, when it is to be rebased, that base relocations are present. Throws
// FvError naming the file.
PeFile ParsePeFile(std::vector<uint8_t> bytes, std::string path, bool toRebase = true);
PeFile ReadPeFile(const std::string& path);

// The file with every base relocation moved to `newBase` and the optional
// header's image base set to it. Counts the relocations applied.
PeFile Rebase(const PeFile& image, uint32_t newBase, uint32_t* relocationsApplied = nullptr);

// The Terse Executable form: the TE header, then the file from its section
// table on. The image base stays the PE one (see te:: in Layout.h).
std::vector<uint8_t> ToTe(const PeFile& image);

// What a loader needs of an image lying in flash: where its RVA 0 is
// (TE: the header address - stripped size + 40), the entry and the base the
// image was rebased to.
struct ImageView {
  ImageFormat format = ImageFormat::Pe32;
  uint32_t headerAddress = 0;  // address of the section data's first byte
  uint32_t rvaZero = 0;        // address that RVA 0 stands for
  uint32_t recordedBase = 0;   // the image base written in its header
  uint32_t entryRva = 0, sizeOfImage = 0, strippedSize = 0, sectionAlignment = 0;
  uint16_t machine = 0, subsystem = 0;
};
// Reads a PE32 or TE image lying at `address` (the section's data).
ImageView ViewImage(std::span<const uint8_t> data, ImageFormat format, uint32_t address, const std::string& where);

}  // namespace fv

#endif
