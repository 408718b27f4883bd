// Firmware file system layouts of the PI standard as this project uses them:
// the firmware volume header and its block map, the FFS file header, section
// headers, dependency expression opcodes and the Terse Executable header.
// Everything is little endian and written and read byte by byte, so no host
// structure packing is involved.
#ifndef STATUSSINK_FV_LAYOUT_H
#define STATUSSINK_FV_LAYOUT_H

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "hostlib/Text.h"

namespace fv {

using Guid = hostlib::Guid;
// "0x1F" for sizes, offsets and values in messages; "0x0000001F" for addresses.
using hostlib::Hex;
using hostlib::Hex32;

// Every reader and packer failure: says which file, where and what is wrong.
class FvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Firmware volume header: 16 zero bytes, file system GUID, u64 length,
// "_FVH", u32 attributes, u16 header length, u16 checksum, u16 extended
// header offset, u8 reserved, u8 revision, then the block map.
namespace volume {
constexpr uint32_t kFileSystemGuidOffset = 16;
constexpr uint32_t kLengthOffset = 32;
constexpr uint32_t kSignatureOffset = 40;
constexpr uint32_t kAttributesOffset = 44;
constexpr uint32_t kHeaderLengthOffset = 48;
constexpr uint32_t kChecksumOffset = 50;
constexpr uint32_t kExtHeaderOffsetOffset = 52;
constexpr uint32_t kReservedOffset = 54;
constexpr uint32_t kRevisionOffset = 55;
constexpr uint32_t kBlockMapOffset = 56;
constexpr uint32_t kBlockMapEntrySize = 8;  // u32 block count, u32 block length
constexpr uint32_t kSignature = 0x4856465F;  // "_FVH"
constexpr uint8_t kRevision = 2;
constexpr uint32_t kBlockSize = 0x1000;  // the block map's one block size
constexpr uint32_t kExtHeaderMinSize = 20;  // volume name GUID, u32 extended header size

// Attribute bits.
constexpr uint32_t kReadEnabledCap = 0x00000002;
constexpr uint32_t kReadStatus = 0x00000004;
constexpr uint32_t kStickyWrite = 0x00000200;
constexpr uint32_t kMemoryMapped = 0x00000400;
constexpr uint32_t kErasePolarity = 0x00000800;  // erased flash reads 1: free space is 0xFF
constexpr uint32_t kAlignmentShift = 16;         // bits 16-20: the volume's base is aligned to 2^n
constexpr uint32_t kAlignmentMask = 0x001F0000;

// The FFSv2 file system: 8C8CE578-8A3D-4F1C-9935-896185C32DD3.
constexpr Guid kFfs2FileSystem = {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F,
                                  0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};
}  // namespace volume

// FFS file header (24 bytes): name GUID, u8 header checksum, u8 file
// checksum, u8 type, u8 attributes, u24 size (header included), u8 state.
namespace file {
constexpr uint32_t kHeaderSize = 24;
constexpr uint32_t kHeaderChecksumOffset = 16;
constexpr uint32_t kFileChecksumOffset = 17;
constexpr uint32_t kTypeOffset = 18;
constexpr uint32_t kAttributesOffset = 19;
constexpr uint32_t kSizeOffset = 20;
constexpr uint32_t kStateOffset = 23;
constexpr uint32_t kFileAlignment = 8;  // every file header starts 8-byte aligned in the volume
constexpr uint32_t kMaxSize = 0xFFFFFF;

constexpr uint8_t kTypeRaw = 0x01;
constexpr uint8_t kTypePeim = 0x06;
constexpr uint8_t kTypePad = 0xF0;

constexpr uint8_t kAttribLargeFile = 0x01;
constexpr uint8_t kAttribFixed = 0x04;
constexpr uint8_t kAttribDataAlignmentMask = 0x38;  // bits 3-5, an index into kDataAlignments
constexpr uint8_t kAttribDataAlignmentShift = 3;
constexpr uint8_t kAttribChecksum = 0x40;
constexpr uint8_t kAttribKnown = kAttribFixed | kAttribDataAlignmentMask | kAttribChecksum;
constexpr uint32_t kDataAlignments[8] = {1, 16, 128, 512, 1024, 4096, 32768, 65536};

constexpr uint8_t kFixedFileChecksum = 0xAA;  // file checksum byte without the checksum attribute

// State bits, as set on flash whose erased state is 0: header being built,
// header valid, data valid. On erase-polarity-1 flash every bit is stored
// inverted, so a complete valid file reads 0xF8.
constexpr uint8_t kStateHeaderConstruction = 0x01;
constexpr uint8_t kStateHeaderValid = 0x02;
constexpr uint8_t kStateDataValid = 0x04;
constexpr uint8_t kStateValidPolarity1 =
    static_cast<uint8_t>(~(kStateHeaderConstruction | kStateHeaderValid | kStateDataValid));
static_assert(kStateValidPolarity1 == 0xF8);
}  // namespace file

// Section header (4 bytes): u24 size (header included), u8 type. Sections
// start 4-byte aligned within their file.
namespace section {
constexpr uint32_t kHeaderSize = 4;
constexpr uint32_t kAlignment = 4;
constexpr uint32_t kExtendedSize = 0xFFFFFF;  // the size follows as a u32: not used here
constexpr uint8_t kPe32 = 0x10;
constexpr uint8_t kTe = 0x12;
constexpr uint8_t kVersion = 0x14;
constexpr uint8_t kUserInterface = 0x15;
constexpr uint8_t kRaw = 0x19;
constexpr uint8_t kPeiDepex = 0x1B;
}  // namespace section

// Dependency expression opcodes a PEI expression may use.
namespace depex {
constexpr uint8_t kPush = 0x02;  // followed by a 16-byte PPI GUID
constexpr uint8_t kAnd = 0x03;
constexpr uint8_t kOr = 0x04;
constexpr uint8_t kNot = 0x05;
constexpr uint8_t kTrue = 0x06;
constexpr uint8_t kFalse = 0x07;
constexpr uint8_t kEnd = 0x08;
}  // namespace depex

// Terse Executable header (40 bytes): u16 "VZ", u16 machine, u8 section
// count, u8 subsystem, u16 stripped size, u32 entry RVA, u32 base of code,
// u64 image base, then the base relocation and debug directories (u32 RVA,
// u32 size each). The PE section table follows directly. A TE header at
// address H belongs to the PE image based at H - stripped size + 40.
namespace te {
constexpr uint32_t kHeaderSize = 40;
constexpr uint16_t kSignature = 0x5A56;  // "VZ"
constexpr uint32_t kMachineOffset = 2;
constexpr uint32_t kSectionCountOffset = 4;
constexpr uint32_t kSubsystemOffset = 5;
constexpr uint32_t kStrippedSizeOffset = 6;
constexpr uint32_t kEntryOffset = 8;
constexpr uint32_t kBaseOfCodeOffset = 12;
constexpr uint32_t kImageBaseOffset = 16;
constexpr uint32_t kRelocDirOffset = 24;
constexpr uint32_t kDebugDirOffset = 32;
}  // namespace te

// Little-endian access to byte buffers; bounds are the caller's business.
inline uint32_t Get(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline void Put(uint8_t* p, int bytes, uint64_t v) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

}  // namespace fv

#endif
