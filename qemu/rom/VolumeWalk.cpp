// The firmware volume in the ROM, walked as a PEI core walks it: the volume
// header and its checksum, file headers with their checksums and states,
// each PEIM's dependency expression, and the module's PE32 or TE section.
// The image runs in place, so it must have been rebased to where it lies.
#include "qemu/rom/Foundation.h"

#include "fv/FfsLayout.h"

#include "start/ModuleEntry.h"  // HandlerPpiGuid: the one PPI installed

namespace QemuRom {
namespace {

using namespace fv;

// The file systems a volume may hold: FFSv2, and FFSv3, which adds large files.
constexpr EFI_GUID FileSystem2Guid = {0x8C8CE578u, 0x8A3Du, 0x4F1Cu, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
constexpr EFI_GUID FileSystem3Guid = {0x5473C07Au, 0x3DCBu, 0x4DCAu, {0xBD, 0x6F, 0x1E, 0x96, 0x89, 0xE7, 0x34, 0x9A}};
constexpr uint32_t DepexStackDepth = 16;

BOOLEAN Sum16IsZero(uint32_t address, uint32_t length) {
  uint16_t sum = 0;
  for (uint32_t i = 0; i + 1 < length; i += 2) sum = static_cast<uint16_t>(sum + Read16(address + i));
  return sum == 0 ? TRUE : FALSE;
}

uint8_t Sum8(uint32_t address, uint32_t length) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + Read8(address + i));
  return sum;
}

uint32_t Size24(uint32_t address) {
  return Read8(address) | (static_cast<uint32_t>(Read8(address + 1)) << 8) |
         (static_cast<uint32_t>(Read8(address + 2)) << 16);
}

// The state bit that counts is the highest one set (bits are cleared one by
// one as a file is written when the erase polarity is 1).
uint8_t FileState(uint32_t file, BOOLEAN erasedIsOne) {
  uint8_t state = Read8(file + file::kStateOffset);
  if (erasedIsOne) state = static_cast<uint8_t>(~state);
  uint8_t highest = 0x80;
  while (highest != 0 && (state & highest) == 0) highest = static_cast<uint8_t>(highest >> 1);
  return highest;
}

// A PE32 image found at `image`: it runs in place, so it must have been
// linked or rebased to that address with sections laid out as in the file.
uint32_t Pe32Origin(uint32_t image) {
  if (Read16(image) != pe::kMzSignature) Stop("PE32 section without an MZ header at", image);
  const uint32_t signature = image + Read32(image + pe::kPeOffsetField);
  if (Read32(signature) != pe::kPeSignature || Read16(signature + pe::kMachineOffset) != pe::kMachineI386)
    Stop("not an IA32 PE image at", image);
  const uint32_t optional = signature + pe::kOptionalHeaderOffset;
  if (Read16(optional) != pe::kPe32Magic) Stop("not a PE32 optional header at", optional);
  if (Read32(optional + pe::kOptImageBase) != image)
    Stop("image not rebased to its place in flash; its base is", Read32(optional + pe::kOptImageBase));
  if (Read32(optional + pe::kOptSectionAlignment) != Read32(optional + pe::kOptFileAlignment))
    Stop("image sections not laid out as in memory; section alignment",
         Read32(optional + pe::kOptSectionAlignment));
  return image;
}

uint32_t Pe32EntryPoint(uint32_t image) {
  const uint32_t optional = image + Read32(image + pe::kPeOffsetField) + pe::kOptionalHeaderOffset;
  return Read32(optional + pe::kOptEntry);
}

// A TE image: the stripped PE headers are replaced by the 40-byte TE header,
// so offset 0 of the original image lies StrippedSize - 40 bytes before it.
uint32_t TeOrigin(uint32_t image) {
  if (Read16(image) != te::kSignature || Read16(image + te::kMachineOffset) != pe::kMachineI386)
    Stop("not an IA32 TE image at", image);
  const uint32_t origin = image + te::kHeaderSize - Read16(image + te::kStrippedSizeOffset);
  if (Read32(image + te::kImageBaseOffset) != origin || Read32(image + te::kImageBaseOffset + 4) != 0)
    Stop("TE image not rebased to its place in flash; its base is", Read32(image + te::kImageBaseOffset));
  return origin;
}

// True when the dependency expression holds with the PPIs installed here

}  // namespace

BOOLEAN DepexHolds(uint32_t depex, uint32_t length) {
  if (depex == 0) return TRUE;
  BOOLEAN stack[DepexStackDepth];
  uint32_t depth = 0;
  for (uint32_t at = depex; at < depex + length;) {
    const uint8_t opcode = Read8(at++);
    if (opcode == depex::kPush) {
      if (depth == DepexStackDepth || at + sizeof(EFI_GUID) > depex + length) return FALSE;
      stack[depth++] = SameGuid(reinterpret_cast<const EFI_GUID*>(static_cast<uintptr_t>(at)), &HandlerPpiGuid);
      at += sizeof(EFI_GUID);
    } else if (opcode == depex::kTrue || opcode == depex::kFalse) {
      if (depth == DepexStackDepth) return FALSE;
      stack[depth++] = opcode == depex::kTrue ? TRUE : FALSE;
    } else if (opcode == depex::kAnd || opcode == depex::kOr) {
      if (depth < 2) return FALSE;
      --depth;
      stack[depth - 1] = opcode == depex::kAnd ? (stack[depth - 1] && stack[depth] ? TRUE : FALSE)
                                            : (stack[depth - 1] || stack[depth] ? TRUE : FALSE);
    } else if (opcode == depex::kNot) {
      if (depth < 1) return FALSE;
      stack[depth - 1] = stack[depth - 1] ? FALSE : TRUE;
    } else if (opcode == depex::kEnd) {
      return depth == 1 ? stack[0] : FALSE;
    } else {
      return FALSE;  // BEFORE, AFTER and SOR have no meaning in PEI
    }
  }
  return FALSE;
}

namespace {

void FindSections(uint32_t body, uint32_t end, FoundModule* module, BOOLEAN isModule) {
  uint32_t section = AlignUp(body, 4);
  while (section + section::kHeaderSize <= end) {
    uint32_t size = Size24(section);
    uint32_t header = section::kHeaderSize;
    if (size == 0xFFFFFF) {
      size = Read32(section + section::kExtendedSizeOffset);
      header = section::kLargeHeaderSize;
    }
    if (size < header || size > end - section) Stop("section with a bad size at", section);
    const uint8_t type = Read8(section + 3);
    if (isModule && (type == section::kPe32 || type == section::kTe) && module->Image == 0) {
      module->Image = section + header;
      module->IsTe = type == section::kTe ? TRUE : FALSE;
      module->Origin = module->IsTe ? TeOrigin(module->Image) : Pe32Origin(module->Image);
      module->Entry =
          module->Origin + (module->IsTe ? Read32(module->Image + te::kEntryOffset) : Pe32EntryPoint(module->Image));
    } else if (type == section::kPeiDepex && module->Depex == 0) {
      module->Depex = section + header;
      module->DepexLength = size - header;
    }
    section = AlignUp(section + size, 4);
  }
}

}  // namespace

FoundModule FindModule(uint32_t base, const uint8_t* name, uint32_t* volumeLength) {
  if (Read32(base + volume::kSignatureOffset) != volume::kSignature) Stop("no firmware volume signature at", base);
  const uint32_t headerLength = Read16(base + volume::kHeaderLengthOffset);
  if (!Sum16IsZero(base, headerLength)) Stop("firmware volume header checksum wrong at", base);
  const EFI_GUID* fileSystem =
      reinterpret_cast<const EFI_GUID*>(static_cast<uintptr_t>(base + volume::kFileSystemGuidOffset));
  const BOOLEAN ffs3 = SameGuid(fileSystem, &FileSystem3Guid);
  if (!ffs3 && !SameGuid(fileSystem, &FileSystem2Guid)) Stop("unknown file system in volume at", base);
  const uint32_t length = Read32(base + volume::kLengthOffset);
  if (Read32(base + volume::kLengthOffset + 4) != 0 || length > StubBase() - sizeof(RomDirectory) - base)
    Stop("firmware volume overlaps the boot ROM's code; its length is", length);
  *volumeLength = length;
  const BOOLEAN erasedIsOne = (Read32(base + volume::kAttributesOffset) & volume::kErasePolarity) != 0 ? TRUE : FALSE;
  const uint8_t erasedByte = erasedIsOne ? 0xFF : 0x00;

  FoundModule found = {0, 0, 0, 0, FALSE, 0, 0};
  uint32_t file = base + headerLength;
  const uint32_t extHeader = Read16(base + volume::kExtHeaderOffsetOffset);
  if (extHeader != 0) file = base + extHeader + Read32(base + extHeader + volume::kExtHeaderSizeOffset);
  const uint32_t end = base + length;
  for (file = AlignUp(file, 8); file + file::kHeaderSize <= end; file = AlignUp(file, 8)) {
    BOOLEAN erased = TRUE;
    for (uint32_t i = 0; i < file::kHeaderSize && erased; ++i) erased = Read8(file + i) == erasedByte ? TRUE : FALSE;
    if (erased) break;  // free space: no more files
    const uint8_t attributes = Read8(file + file::kAttributesOffset);
    uint32_t size = Size24(file + file::kSizeOffset);
    uint32_t header = file::kHeaderSize;
    if (ffs3 && (attributes & file::kAttribLargeFile) != 0) {
      size = Read32(file + file::kExtendedSizeOffset);
      header = file::kLargeHeaderSize;
    }
    if (size < header || size > end - file) StopAtFile("file with a bad size at", file);
    // The header checksum covers the header with its state and file checksum taken as 0.
    const uint8_t headerSum = static_cast<uint8_t>(Sum8(file, header) - Read8(file + file::kStateOffset) -
                                                   Read8(file + file::kFileChecksumOffset));
    if (headerSum != 0) StopAtFile("file header checksum wrong at", file);
    // The data checksum makes the data and itself sum to 0, or is the fixed 0xAA when not kept.
    const uint8_t fileChecksum = Read8(file + file::kFileChecksumOffset);
    const BOOLEAN dataGood = (attributes & file::kAttribChecksum) != 0
                                 ? static_cast<uint8_t>(Sum8(file + header, size - header) + fileChecksum) == 0
                                 : fileChecksum == file::kFixedFileChecksum;
    if (!dataGood) StopAtFile("file data checksum wrong at", file);
    const uint8_t state = FileState(file, erasedIsOne);
    if (Read8(file + file::kTypeOffset) == file::kTypePeim &&
        (state == file::kStateDataValid || state == file::kStateMarkedForUpdate)) {
      const uint8_t* fileName = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(file));
      BOOLEAN isModule = found.File == 0 ? TRUE : FALSE;
      for (uint32_t i = 0; i < sizeof(EFI_GUID) && isModule; ++i) isModule = fileName[i] == name[i] ? TRUE : FALSE;
      FoundModule peim = {file, 0, 0, 0, FALSE, 0, 0};
      FindSections(file + header, file + size, &peim, isModule);
      PutText("PEIM");
      PutHex(file);
      PutHex(DepexHolds(peim.Depex, peim.DepexLength));
      PutGuid(fileName);
      EndLine();
      if (isModule) {
        if (peim.Image == 0) StopAtFile("PEIM without a PE32 or TE section at", file);
        found = peim;
      }
    }
    file += size;
  }
  if (found.File == 0) Stop("no PEIM of the module's name in the firmware volume at", base);
  return found;
}

}  // namespace QemuRom
