// The packer (one PEIM into an FFS file and a firmware volume, the image
// rebased to where it lies in flash) and the reader that walks a volume back
// and checks every field, as a PEI foundation would before dispatching.
// Images are checked where one is dispatched (ModuleFile.h), not here: a
// volume may hold other modules' images, which are not ours to judge.
#ifndef STATUSSINK_FV_VOLUME_H
#define STATUSSINK_FV_VOLUME_H

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fv/Image.h"
#include "fv/Layout.h"

namespace fv {

struct PackOptions {
  Guid fileName{};
  std::vector<Guid> depexPpis;  // the PEIM runs once all of these are installed (none: at once)
  std::string uiName;
  uint16_t buildNumber = 0;
  std::string version;
  ImageFormat format = ImageFormat::Te;
  uint32_t base = 0;        // flash address of the volume's first byte
  uint32_t volumeSize = 0;  // 0: the smallest whole number of blocks
  // The file checksum attribute with a real checksum of the file's data, so
  // that a foundation can tell a changed byte; or, when set, the fixed 0xAA
  // a file without the attribute carries.
  bool fixedChecksum = false;
};

// The PEIM as one firmware file whose header lies at flash address
// `fileAddress` (its data must fall on dataAlignment there): the image
// rebased to where its section's data lands.
struct BuiltFile {
  std::vector<uint8_t> bytes;  // header included
  uint32_t dataAlignment = 0;  // the file's data-alignment attribute, in bytes
  uint32_t imageOffset = 0;    // of the image section's data, from the file header
  uint32_t imageBytes = 0;     // the image section's data
  uint32_t imageBase = 0;      // the PE image base it was rebased to
  uint32_t relocations = 0;
  uint32_t strippedBytes = 0;  // TE: header bytes saved against PE32
};
// The data alignment a file holding `image` asks for (at least its section alignment).
uint32_t FileDataAlignment(const PeFile& image);
BuiltFile BuildFile(const PeFile& image, const PackOptions& options, uint32_t fileAddress);

// A complete, valid FFSv2 file header at `h` (checksums included) for a file
// of `size` bytes whose data follows it; the data checksum when the
// attributes ask for it, else the fixed 0xAA.
void WriteFileHeader(uint8_t* h, const Guid& name, uint8_t type, uint8_t attributes, uint32_t size);
// A pad file of `size` bytes (at least a header's) at `h`, its data erased.
void WritePadFile(uint8_t* h, uint32_t size);

struct Packed {
  std::vector<uint8_t> ffs;  // the file alone
  std::vector<uint8_t> fv;   // the volume
  uint32_t fileOffset = 0;   // of the file header in the volume
  uint32_t imageOffset = 0;  // of the image section's data in the volume
  uint32_t imageBytes = 0;   // the image section's data
  uint32_t imageBase = 0;    // the PE image base it was rebased to
  uint32_t relocations = 0;
  uint32_t dataAlignment = 0;  // the file's data-alignment attribute, in bytes
  uint32_t strippedBytes = 0;  // TE: header bytes saved against PE32
};

// A new volume at options.base holding the one file; refused when no
// machine could run it there (Placement.h).
Packed Pack(const PeFile& image, const PackOptions& options);

// The dependency expression for "all of these PPIs": PUSH each, AND them, END.
std::vector<uint8_t> DepexForAll(std::span<const Guid> ppis);
// Evaluates a PEI dependency expression; throws FvError when it is malformed.
bool EvaluateDepex(std::span<const uint8_t> expression, const std::function<bool(const Guid&)>& installed);
// "PUSH 0065D394-... END", for messages.
std::string DepexText(std::span<const uint8_t> expression);

struct Section {
  uint8_t type = 0;
  uint32_t offset = 0;      // of the section header, in the volume
  uint32_t size = 0;        // header included
  uint32_t dataOffset = 0;  // in the volume
  uint32_t dataSize = 0;
};

struct File {
  Guid name{};
  uint8_t type = 0, attributes = 0, state = 0;
  uint32_t offset = 0, size = 0, dataAlignment = 1;
  std::vector<Section> sections;
  std::string uiName;                  // from the user interface section
  std::optional<uint16_t> buildNumber;  // from the version section
  std::string version;
  const Section* Find(uint8_t type) const;
};

struct Volume {
  uint64_t length = 0;
  uint32_t attributes = 0;
  uint16_t headerLength = 0;
  uint32_t baseAlignment = 1;  // from the attributes
  std::vector<std::pair<uint32_t, uint32_t>> blockMap;  // (count, length), without the terminator
  std::vector<File> files;
  uint32_t freeSpaceOffset = 0;
};

// Walks and checks a volume in one pass: header fields, checksum, block
// map, every file header (checksums, state, size, alignment, a name no
// other file has), every section (inside its file), user-interface and
// version text and dependency expressions. `bytes` must be exactly the
// volume. Throws FvError naming `where`, the offset and the field.
Volume ReadVolume(std::span<const uint8_t> bytes, const std::string& where);

}  // namespace fv

#endif
