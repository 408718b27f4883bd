// The module's image as every path takes it: a PE32 file whose file layout
// is its memory layout (so it can run where it lies), or the Terse
// Executable form of one inside a firmware file. One parser and one check
// serve fvpack, the emulated machine's bare-image loader and its walk of a
// volume, so all three accept the same images and refuse the rest with the
// same reason. The image is rebased to the flash address of its first byte
// and can be converted to a TE image.
#ifndef STATUSSINK_FV_IMAGE_H
#define STATUSSINK_FV_IMAGE_H

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fv/Layout.h"

namespace fv {

enum class ImageFormat { Pe32, Te };
const char* FormatName(ImageFormat format);  // "PE32" or "TE"

// An image refused by the check: what() is "where: reason"; Reason() is the
// reason alone, the same whichever path met the image.
class ImageRefused : public FvError {
 public:
  ImageRefused(const std::string& where, const std::string& reason) : FvError(where + ": " + reason), reason_(reason) {}
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

struct PeSection {
  std::string name;
  uint32_t rva = 0, virtualSize = 0, rawOffset = 0, rawSize = 0, characteristics = 0;
  uint32_t Extent() const { return virtualSize > rawSize ? virtualSize : rawSize; }
};

// What the check allows.
namespace image {
constexpr uint16_t kMachineI386 = pe::kMachineI386;
constexpr uint16_t kSubsystemBootServiceDriver = 11;  // EFI boot service driver: what a PEIM is built as
// The largest section alignment: a volume both machines run is based on a
// whole 4 KiB page (Placement.h), and the firmware file's data alignment
// can promise no more than its volume's base gives.
constexpr uint32_t kMaxSectionAlignment = 0x1000;
constexpr uint32_t kMaxSections = 96;  // the PE loader's limit
constexpr uint32_t kMaxHeaderBytes = 0xFFFF;  // a TE header records the stripped size in 16 bits
constexpr uint32_t kSectionWritable = 0x80000000u;
}  // namespace image

// A PE32 or TE image that passed the check.
struct PeFile {
  std::string path;  // where it came from, for messages
  ImageFormat format = ImageFormat::Pe32;
  std::vector<uint8_t> bytes;  // the PE32 file, or the TE section's data
  // Byte i of `bytes` stands for RVA i + rvaShift: 0 for PE32, the stripped
  // size - 40 for TE (its header replaces the stripped PE headers).
  uint32_t rvaShift = 0;
  uint32_t optionalOffset = 0;  // PE32: the optional header in the file
  uint32_t sectionTable = 0;    // RVA of the section table (PE32: also the bytes a TE image strips)
  uint32_t headersEnd = 0;      // RVA where the headers end: sections, entry and relocations lie beyond
  uint16_t machine = 0, subsystem = 0;
  uint32_t entryRva = 0, baseOfCode = 0, imageBase = 0, sectionAlignment = 0, sizeOfImage = 0;
  uint32_t relocRva = 0, relocSize = 0, debugRva = 0, debugSize = 0;
  uint32_t relocations = 0;  // HIGHLOW entries: the words a rebase moves
  std::vector<PeSection> sections;
};

// Checks a PE32 file: i386, PE32, an EFI boot service driver, no imports,
// headers, sections laid out in the file as in memory without overlap or
// gaps the file does not hold, no writable section, the entry in a section,
// a section alignment that is a power of two up to 4 KiB (and the file
// alignment equal to it), base relocations present and every block and
// entry of them well formed, pointing into the sections. Throws
// ImageRefused naming `path`.
PeFile ParsePeFile(std::vector<uint8_t> bytes, std::string path);
// The same check on the data of a TE image section (as far as a TE header
// keeps the facts: not the alignments, sizes of image and headers or the
// import directories, which it drops).
PeFile ParseTeImage(std::span<const uint8_t> data, std::string where);
PeFile ParseImageSection(std::span<const uint8_t> data, ImageFormat format, std::string where);
// A PE32 file read with the image's size cap, then checked.
PeFile ReadPeFile(const std::string& path);

// The PE32 file with every base relocation moved to `newBase` and the
// optional header's image base set to it.
PeFile Rebase(const PeFile& image, uint32_t newBase);

// The Terse Executable form of a PE32 file: the TE header, then the file
// from its section table on. The image base stays the PE one (see te:: in
// Layout.h). Every image the check passes converts.
std::vector<uint8_t> ToTe(const PeFile& image);

// Where RVA 0 of an image section's data lies when that data starts at `address`.
inline uint32_t RvaZero(const PeFile& image, uint32_t address) { return address - image.rvaShift; }

}  // namespace fv

#endif
