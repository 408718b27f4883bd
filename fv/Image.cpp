#include "fv/Image.h"

#include <algorithm>

#include "fv/InputFile.h"

namespace fv {
namespace {

using namespace pe;

struct ImportDirectory {
  uint32_t index;
  const char* name;
};
// Anything that makes a loader bind the image to other code: the module imports nothing.
constexpr ImportDirectory kImportDirectories[] = {
    {1, "import"}, {11, "bound import"}, {12, "import address table"}, {13, "delay import"}};

[[noreturn]] void Refuse(const PeFile& pe, const std::string& reason) { throw ImageRefused(pe.path, reason); }

// Little-endian read at an offset of the bytes, naming what was read when they end first.
uint32_t At(const PeFile& pe, uint64_t offset, int width, const char* what) {
  if (offset > pe.bytes.size() || pe.bytes.size() - offset < static_cast<uint64_t>(width))
    Refuse(pe, "truncated at offset " + Hex(offset) + " (" + what + ")");
  return Get(pe.bytes.data() + offset, width);
}

// The same at an RVA.
uint32_t AtRva(const PeFile& pe, uint32_t rva, int width, const char* what) {
  if (rva < pe.rvaShift) Refuse(pe, std::string(what) + " at RVA " + Hex(rva) + " lies in the stripped headers");
  return At(pe, rva - pe.rvaShift, width, what);
}

PeSection ReadSectionHeader(const PeFile& pe, uint64_t at) {
  PeSection s;
  for (uint32_t k = 0; k < 8; ++k) {
    const char c = static_cast<char>(At(pe, at + k, 1, "section name"));
    if (c == 0) break;
    s.name += c >= 0x20 && c < 0x7F ? c : '?';
  }
  s.virtualSize = At(pe, at + 8, 4, "section size");
  s.rva = At(pe, at + 12, 4, "section address");
  s.rawSize = At(pe, at + 16, 4, "section raw size");
  s.rawOffset = At(pe, at + 20, 4, "section raw offset");
  s.characteristics = At(pe, at + 36, 4, "section flags");
  return s;
}

// Calls `patch(rva)` for every HIGHLOW entry of the base relocation
// directory. Refuses a directory that ends inside a block header (1 to 7
// bytes that hold no block), blocks that run past the directory, are shorter
// than their header or of odd size, types other than ABSOLUTE and HIGHLOW,
// and targets whose four bytes do not lie past the headers and inside the
// image, computed without wrapping (a block page near 4 GiB plus an offset
// must not come round to the headers).
template <typename Patch>
void WalkRelocations(const PeFile& pe, Patch patch) {
  uint32_t at = pe.relocRva;
  const uint32_t end = pe.relocRva + pe.relocSize;
  while (at != end) {
    if (end - at < kRelocBlockHeader)
      Refuse(pe, "base relocation directory ends " + std::to_string(end - at) + " bytes into a block header at RVA " +
                     Hex(at));
    const uint32_t page = AtRva(pe, at, 4, "relocation block");
    const uint32_t blockSize = AtRva(pe, at + 4, 4, "relocation block");
    if (blockSize < kRelocBlockHeader || blockSize > end - at || blockSize % 2 != 0)
      Refuse(pe, "malformed relocation block at RVA " + Hex(at) + " (size " + Hex(blockSize) + ")");
    for (uint32_t e = at + kRelocBlockHeader; e < at + blockSize; e += 2) {
      const uint32_t entry = AtRva(pe, e, 2, "relocation entry");
      const uint32_t type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelHighLow)
        Refuse(pe, "relocation type " + std::to_string(type) + " in the block at RVA " + Hex(at) +
                       " is not an i386 one");
      if (target < pe.headersEnd || target + 4 > pe.sizeOfImage)
        Refuse(pe, "relocation of block " + Hex(page) + " offset " + Hex(entry & 0xFFF) +
                       " lies outside the image's sections");
      patch(static_cast<uint32_t>(target));
    }
    at += blockSize;
  }
}

// What PE32 and TE images are held to alike, on the facts both headers keep.
void CheckImage(PeFile& pe) {
  if (pe.machine != image::kMachineI386) Refuse(pe, "machine " + Hex(pe.machine) + " is not i386");
  if (pe.subsystem != image::kSubsystemBootServiceDriver)
    Refuse(pe, "subsystem " + std::to_string(pe.subsystem) + " is not an EFI boot service driver (11)");
  if (pe.sections.empty()) Refuse(pe, "no sections");
  const PeSection* previous = nullptr;
  for (const PeSection& s : pe.sections) {
    const std::string name = "section " + (s.name.empty() ? std::string("(unnamed)") : s.name);
    if ((s.characteristics & image::kSectionWritable) != 0)
      Refuse(pe, name + " is writable: an image that runs in place from flash cannot write its own sections");
    if (s.rawSize != 0 && s.rawOffset != s.rva)
      Refuse(pe, name + " lies at file offset " + Hex(s.rawOffset) + " but RVA " + Hex(s.rva) +
                     ": link with equal file and section alignment to run in place");
    if (s.virtualSize > s.rawSize)
      Refuse(pe, name + " needs " + Hex(s.virtualSize) + " bytes but the file holds " + Hex(s.rawSize) +
                     ": it cannot run in place");
    if (s.rva < pe.headersEnd)
      Refuse(pe, name + " at RVA " + Hex(s.rva) + " overlaps the headers, which end at " + Hex(pe.headersEnd));
    if (pe.sectionAlignment != 0 && s.rva % pe.sectionAlignment != 0)
      Refuse(pe, name + " at RVA " + Hex(s.rva) + " is not aligned to the section alignment " +
                     Hex(pe.sectionAlignment));
    if (uint64_t{s.rva} + s.Extent() > pe.sizeOfImage)
      Refuse(pe, name + " (RVA " + Hex(s.rva) + ", " + Hex(s.Extent()) + " bytes) lies outside the image of " +
                     Hex(pe.sizeOfImage) + " bytes");
    if (uint64_t{s.rva} - pe.rvaShift + s.Extent() > pe.bytes.size())
      Refuse(pe, name + " runs past the end of the image's bytes");
    if (previous != nullptr && s.rva < uint64_t{previous->rva} + previous->Extent())
      Refuse(pe, name + " at RVA " + Hex(s.rva) + " overlaps or comes before section " + previous->name +
                     " (RVA " + Hex(previous->rva) + ", " + Hex(previous->Extent()) + " bytes)");
    previous = &s;
  }
  if (pe.entryRva < pe.headersEnd) Refuse(pe, "entry point " + Hex(pe.entryRva) + " lies in the headers");
  if (std::none_of(pe.sections.begin(), pe.sections.end(), [&](const PeSection& s) {
        return pe.entryRva >= s.rva && pe.entryRva - s.rva < s.Extent();
      }))
    Refuse(pe, "entry point " + Hex(pe.entryRva) + " is not inside a section");
  if (pe.baseOfCode != 0 && (pe.baseOfCode < pe.headersEnd || pe.baseOfCode >= pe.sizeOfImage))
    Refuse(pe, "base of code " + Hex(pe.baseOfCode) + " lies in the headers or outside the image");
  if (pe.relocRva == 0 || pe.relocSize == 0)
    Refuse(pe, "no base relocations: the image cannot be rebased to its flash address");
  if (pe.relocRva < pe.headersEnd)
    Refuse(pe, "base relocation directory at RVA " + Hex(pe.relocRva) + " lies in the headers");
  if (uint64_t{pe.relocRva} + pe.relocSize > pe.sizeOfImage) Refuse(pe, "base relocation directory outside the image");
  pe.relocations = 0;
  WalkRelocations(pe, [&](uint32_t) { ++pe.relocations; });
}

}  // namespace

const char* FormatName(ImageFormat format) { return format == ImageFormat::Te ? "TE" : "PE32"; }

PeFile ParsePeFile(std::vector<uint8_t> bytes, std::string path) {
  PeFile pe;
  pe.path = std::move(path);
  pe.format = ImageFormat::Pe32;
  pe.bytes = std::move(bytes);
  if (At(pe, 0, 2, "DOS header") != kMzSignature) Refuse(pe, "no MZ signature");
  const uint32_t peOffset = At(pe, kPeOffsetField, 4, "PE header offset");
  if (At(pe, peOffset, 4, "PE signature") != kPeSignature) Refuse(pe, "no PE signature at " + Hex(peOffset));
  const uint64_t coff = uint64_t{peOffset} + 4;
  pe.machine = static_cast<uint16_t>(At(pe, coff, 2, "machine"));
  const uint32_t sectionCount = At(pe, coff + 2, 2, "section count");
  const uint32_t optionalSize = At(pe, coff + 16, 2, "optional header size");
  const uint64_t opt = coff + kCoffHeaderSize;
  if (const uint32_t magic = At(pe, opt, 2, "optional header magic"); magic != kPe32Magic)
    Refuse(pe, "optional header is not PE32 (magic " + Hex(magic) + ")");
  pe.optionalOffset = static_cast<uint32_t>(opt);
  pe.entryRva = At(pe, opt + kOptEntry, 4, "entry point");
  pe.baseOfCode = At(pe, opt + kOptBaseOfCode, 4, "base of code");
  pe.imageBase = At(pe, opt + kOptImageBase, 4, "image base");
  pe.sectionAlignment = At(pe, opt + kOptSectionAlignment, 4, "section alignment");
  const uint32_t fileAlignment = At(pe, opt + kOptFileAlignment, 4, "file alignment");
  pe.sizeOfImage = At(pe, opt + kOptSizeOfImage, 4, "size of image");
  const uint32_t sizeOfHeaders = At(pe, opt + kOptSizeOfHeaders, 4, "size of headers");
  pe.subsystem = static_cast<uint16_t>(At(pe, opt + kOptSubsystem, 2, "subsystem"));
  const uint32_t dirCount = At(pe, opt + kOptDirCount, 4, "directory count");
  const uint32_t dirsRead = std::min(dirCount, kDirectoryCountRead);
  if (optionalSize < kOptDirs + 8 * dirsRead)
    Refuse(pe, "optional header of " + std::to_string(optionalSize) + " bytes cannot hold its " +
                   std::to_string(dirCount) + " data directories");
  auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
    rva = size = 0;
    if (index < dirsRead) {
      rva = At(pe, opt + kOptDirs + 8 * index, 4, "data directory");
      size = At(pe, opt + kOptDirs + 8 * index + 4, 4, "data directory");
    }
  };
  for (const ImportDirectory& d : kImportDirectories) {
    uint32_t rva, size;
    directory(d.index, rva, size);
    if (rva != 0 || size != 0) Refuse(pe, std::string("the ") + d.name + " directory is set; the module must import nothing");
  }
  directory(kDirBaseReloc, pe.relocRva, pe.relocSize);
  directory(kDirDebug, pe.debugRva, pe.debugSize);

  const uint32_t a = pe.sectionAlignment;
  if (a == 0 || (a & (a - 1)) != 0) Refuse(pe, "section alignment " + Hex(a) + " is not a power of two");
  if (a > image::kMaxSectionAlignment)
    Refuse(pe, "section alignment " + Hex(a) + " is more than 4 KiB, the most a volume based on a whole page can give");
  if (fileAlignment != a)
    Refuse(pe, "file alignment " + Hex(fileAlignment) + " differs from the section alignment " + Hex(a) +
                   ": the file must lie as the image does in memory to run in place");
  // Running in place means the file is the image: it must hold every byte of it.
  if (pe.sizeOfImage == 0 || pe.sizeOfImage > pe.bytes.size())
    Refuse(pe, "size of image " + Hex(pe.sizeOfImage) + " is not within the file (" + Hex(pe.bytes.size()) +
                   " bytes): it cannot run in place");
  if (sectionCount > image::kMaxSections)
    Refuse(pe, std::to_string(sectionCount) + " sections; an image has at most " + std::to_string(image::kMaxSections));
  const uint64_t sectionTable = opt + optionalSize;
  const uint64_t tableEnd = sectionTable + uint64_t{kSectionHeaderSize} * sectionCount;
  if (sizeOfHeaders < tableEnd || sizeOfHeaders > pe.sizeOfImage)
    Refuse(pe, "size of headers " + Hex(sizeOfHeaders) + " does not cover the headers (they end at " + Hex(tableEnd) +
                   ") or is larger than the image");
  if (sizeOfHeaders > image::kMaxHeaderBytes)
    Refuse(pe, "headers of " + Hex(sizeOfHeaders) + " bytes: at most 0xFFFF (what a TE header records)");
  pe.sectionTable = static_cast<uint32_t>(sectionTable);
  pe.headersEnd = sizeOfHeaders;
  for (uint32_t i = 0; i < sectionCount; ++i)
    pe.sections.push_back(ReadSectionHeader(pe, sectionTable + uint64_t{kSectionHeaderSize} * i));
  CheckImage(pe);
  return pe;
}

PeFile ParseTeImage(std::span<const uint8_t> data, std::string where) {
  PeFile pe;
  pe.path = std::move(where);
  pe.format = ImageFormat::Te;
  pe.bytes.assign(data.begin(), data.end());
  if (At(pe, 0, 2, "TE signature") != te::kSignature) Refuse(pe, "no TE signature");
  pe.machine = static_cast<uint16_t>(At(pe, te::kMachineOffset, 2, "TE machine"));
  const uint32_t sectionCount = At(pe, te::kSectionCountOffset, 1, "TE section count");
  pe.subsystem = static_cast<uint16_t>(At(pe, te::kSubsystemOffset, 1, "TE subsystem"));
  const uint32_t stripped = At(pe, te::kStrippedSizeOffset, 2, "TE stripped size");
  pe.entryRva = At(pe, te::kEntryOffset, 4, "TE entry point");
  pe.baseOfCode = At(pe, te::kBaseOfCodeOffset, 4, "TE base of code");
  const uint64_t base = At(pe, te::kImageBaseOffset, 4, "TE image base") |
                        uint64_t{At(pe, te::kImageBaseOffset + 4, 4, "TE image base")} << 32;
  pe.relocRva = At(pe, te::kRelocDirOffset, 4, "TE relocation directory");
  pe.relocSize = At(pe, te::kRelocDirOffset + 4, 4, "TE relocation directory");
  pe.debugRva = At(pe, te::kDebugDirOffset, 4, "TE debug directory");
  pe.debugSize = At(pe, te::kDebugDirOffset + 4, 4, "TE debug directory");
  if (base > 0xFFFFFFFFu) Refuse(pe, "TE image base " + Hex(base) + " is not a 32-bit address");
  if (stripped < te::kHeaderSize) Refuse(pe, "TE stripped size " + Hex(stripped) + " is below 40");
  pe.imageBase = static_cast<uint32_t>(base);
  pe.rvaShift = stripped - te::kHeaderSize;
  pe.sectionTable = stripped;
  pe.headersEnd = stripped + kSectionHeaderSize * sectionCount;
  for (uint32_t i = 0; i < sectionCount; ++i)
    pe.sections.push_back(ReadSectionHeader(pe, te::kHeaderSize + kSectionHeaderSize * i));
  // A TE header keeps no size of image: the image is what the section holds
  // (the PE file from its section table on, which held the whole image).
  pe.sizeOfImage = static_cast<uint32_t>(std::min<uint64_t>(0xFFFFFFFFu, uint64_t{pe.rvaShift} + pe.bytes.size()));
  CheckImage(pe);
  return pe;
}

PeFile ParseImageSection(std::span<const uint8_t> data, ImageFormat format, std::string where) {
  if (format == ImageFormat::Te) return ParseTeImage(data, std::move(where));
  return ParsePeFile(std::vector<uint8_t>(data.begin(), data.end()), std::move(where));
}

PeFile ReadPeFile(const std::string& path) {
  return ParsePeFile(ReadInputFile(path, {"image", kMaxImageFileBytes}), path);
}

PeFile Rebase(const PeFile& image, uint32_t newBase) {
  if (image.format != ImageFormat::Pe32) throw FvError(image.path + ": only a PE32 file is rebased");
  if (newBase % image.sectionAlignment != 0)
    throw FvError(image.path + ": base " + Hex(newBase) + " is not aligned to the section alignment " +
                  Hex(image.sectionAlignment));
  if (uint64_t{newBase} + image.sizeOfImage > 0x100000000ull)
    throw FvError(image.path + ": base " + Hex(newBase) + " puts the image past 4 GiB");
  PeFile out = image;
  const uint32_t delta = newBase - image.imageBase;
  WalkRelocations(image, [&](uint32_t target) {
    Put(&out.bytes[target], 4, Get(&image.bytes[target], 4) + delta);
  });
  Put(&out.bytes[image.optionalOffset + kOptImageBase], 4, newBase);
  out.imageBase = newBase;
  return out;
}

std::vector<uint8_t> ToTe(const PeFile& image) {
  if (image.format != ImageFormat::Pe32) throw FvError(image.path + ": only a PE32 file converts to TE");
  const uint32_t stripped = image.sectionTable;
  std::vector<uint8_t> te(te::kHeaderSize + image.bytes.size() - stripped, 0);
  uint8_t* h = te.data();
  Put(h, 2, te::kSignature);
  Put(h + te::kMachineOffset, 2, image.machine);
  Put(h + te::kSectionCountOffset, 1, image.sections.size());
  Put(h + te::kSubsystemOffset, 1, image.subsystem);
  Put(h + te::kStrippedSizeOffset, 2, stripped);
  Put(h + te::kEntryOffset, 4, image.entryRva);
  Put(h + te::kBaseOfCodeOffset, 4, image.baseOfCode);
  Put(h + te::kImageBaseOffset, 8, image.imageBase);
  Put(h + te::kRelocDirOffset, 4, image.relocRva);
  Put(h + te::kRelocDirOffset + 4, 4, image.relocSize);
  Put(h + te::kDebugDirOffset, 4, image.debugRva);
  Put(h + te::kDebugDirOffset + 4, 4, image.debugSize);
  std::copy(image.bytes.begin() + stripped, image.bytes.end(), te.begin() + te::kHeaderSize);
  return te;
}

}  // namespace fv
