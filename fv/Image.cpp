#include "Image.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace fv {
namespace {

constexpr uint16_t kMzSignature = 0x5A4D;
constexpr uint32_t kPeSignature = 0x00004550;
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kDirDebug = 6;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelHighLow = 3;
// Optional header fields (PE32).
constexpr uint32_t kOptEntry = 16, kOptBaseOfCode = 20, kOptImageBase = 28, kOptSectionAlignment = 32,
                   kOptSizeOfImage = 56, kOptSubsystem = 68, kOptDirCount = 92, kOptDirs = 96;

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

// Bounds-checked little-endian reads that name what they were reading.
struct Bytes {
  std::span<const uint8_t> data;
  const std::string& where;
  uint32_t At(uint32_t offset, int width, const char* what) const {
    if (offset > data.size() || data.size() - offset < static_cast<size_t>(width))
      throw FvError(where + ": truncated at offset " + Hex(offset) + " (" + what + ")");
    return Get(data.data() + offset, width);
  }
};

}  // namespace

const char* FormatName(ImageFormat format) { return format == ImageFormat::Te ? "TE" : "PE32"; }

PeFile ParsePeFile(std::vector<uint8_t> bytes, std::string path, bool toRebase) {
  PeFile pe;
  pe.path = std::move(path);
  pe.bytes = std::move(bytes);
  const Bytes b{pe.bytes, pe.path};
  auto fail = [&](const std::string& what) { throw FvError(pe.path + ": " + what); };
  if (b.At(0, 2, "DOS header") != kMzSignature) fail("no MZ signature");
  pe.peOffset = b.At(0x3C, 4, "PE header offset");
  if (b.At(pe.peOffset, 4, "PE signature") != kPeSignature) fail("no PE signature at " + Hex(pe.peOffset));
  const uint32_t coff = pe.peOffset + 4;
  pe.machine = static_cast<uint16_t>(b.At(coff, 2, "machine"));
  if (pe.machine != kMachineI386) fail("machine " + Hex(pe.machine) + " is not i386");
  pe.sectionCount = static_cast<uint16_t>(b.At(coff + 2, 2, "section count"));
  const uint32_t optionalSize = b.At(coff + 16, 2, "optional header size");
  pe.optionalOffset = coff + 20;
  const uint32_t opt = pe.optionalOffset;
  if (b.At(opt, 2, "optional header magic") != kPe32Magic) fail("optional header is not PE32");
  pe.entryRva = b.At(opt + kOptEntry, 4, "entry point");
  pe.baseOfCode = b.At(opt + kOptBaseOfCode, 4, "base of code");
  pe.imageBase = b.At(opt + kOptImageBase, 4, "image base");
  pe.sectionAlignment = b.At(opt + kOptSectionAlignment, 4, "section alignment");
  pe.sizeOfImage = b.At(opt + kOptSizeOfImage, 4, "size of image");
  pe.subsystem = static_cast<uint16_t>(b.At(opt + kOptSubsystem, 2, "subsystem"));
  const uint32_t dirCount = b.At(opt + kOptDirCount, 4, "directory count");
  if (dirCount > kDirBaseReloc) {
    pe.relocRva = b.At(opt + kOptDirs + 8 * kDirBaseReloc, 4, "relocation directory");
    pe.relocSize = b.At(opt + kOptDirs + 8 * kDirBaseReloc + 4, 4, "relocation directory");
  }
  if (dirCount > kDirDebug) {
    pe.debugRva = b.At(opt + kOptDirs + 8 * kDirDebug, 4, "debug directory");
    pe.debugSize = b.At(opt + kOptDirs + 8 * kDirDebug + 4, 4, "debug directory");
  }
  if (pe.sectionAlignment == 0 || (pe.sectionAlignment & (pe.sectionAlignment - 1)) != 0)
    fail("section alignment " + Hex(pe.sectionAlignment) + " is not a power of two");
  if (toRebase && (pe.relocRva == 0 || pe.relocSize == 0)) fail("no base relocations: the image cannot be rebased to its flash address");
  if (pe.entryRva == 0 || pe.entryRva >= pe.sizeOfImage) fail("entry point " + Hex(pe.entryRva) + " outside the image");
  // Running in place means the file is the image: it must hold every byte of it.
  if (pe.sizeOfImage > pe.bytes.size())
    fail("size of image " + Hex(pe.sizeOfImage) + " is larger than the file (" + Hex(pe.bytes.size()) +
         "): it cannot run in place");

  pe.sectionTable = opt + optionalSize;
  for (uint16_t i = 0; i < pe.sectionCount; ++i) {
    const uint32_t s = pe.sectionTable + kSectionHeaderSize * i;
    PeSection sec;
    for (uint32_t k = 0; k < 8; ++k) {
      const char c = static_cast<char>(b.At(s + k, 1, "section name"));
      if (c == 0) break;
      sec.name += c;
    }
    sec.virtualSize = b.At(s + 8, 4, "section size");
    sec.rva = b.At(s + 12, 4, "section address");
    sec.rawSize = b.At(s + 16, 4, "section raw size");
    sec.rawOffset = b.At(s + 20, 4, "section raw offset");
    if (sec.rawSize != 0 && sec.rawOffset != sec.rva)
      fail("section " + sec.name + " lies at file offset " + Hex(sec.rawOffset) + " but RVA " + Hex(sec.rva) +
           ": link with equal file and section alignment to run in place");
    if (sec.virtualSize > sec.rawSize)
      fail("section " + sec.name + " needs " + Hex(sec.virtualSize) + " bytes but the file holds " +
           Hex(sec.rawSize) + ": it cannot run in place");
    if (sec.rva > pe.sizeOfImage || pe.sizeOfImage - sec.rva < sec.virtualSize)
      fail("section " + sec.name + " lies outside the image");
    if (sec.rva % pe.sectionAlignment != 0) fail("section " + sec.name + " is not aligned to the section alignment");
    pe.sections.push_back(sec);
  }
  if (pe.sections.empty()) fail("no sections");
  if (pe.relocRva > pe.sizeOfImage || pe.sizeOfImage - pe.relocRva < pe.relocSize)
    fail("base relocation directory outside the image");
  return pe;
}

PeFile ReadPeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FvError(path + ": cannot open the image");
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParsePeFile(std::move(bytes), path);
}

PeFile Rebase(const PeFile& image, uint32_t newBase, uint32_t* relocationsApplied) {
  if (newBase % image.sectionAlignment != 0)
    throw FvError(image.path + ": base " + Hex(newBase) + " is not aligned to the section alignment " +
                  Hex(image.sectionAlignment));
  if (uint64_t{newBase} + image.sizeOfImage > 0x100000000ull)
    throw FvError(image.path + ": base " + Hex(newBase) + " puts the image past 4 GiB");
  PeFile out = image;
  const uint32_t delta = newBase - image.imageBase;
  const Bytes b{out.bytes, out.path};
  uint32_t applied = 0;
  const uint32_t end = image.relocRva + image.relocSize;
  for (uint32_t at = image.relocRva; at + 8 <= end;) {
    const uint32_t page = b.At(at, 4, "relocation block");
    const uint32_t blockSize = b.At(at + 4, 4, "relocation block");
    if (blockSize < 8 || blockSize > end - at || blockSize % 2 != 0)
      throw FvError(image.path + ": malformed relocation block at RVA " + Hex(at));
    for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const uint32_t entry = b.At(e, 2, "relocation entry");
      const uint32_t type = entry >> 12, target = page + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelHighLow)
        throw FvError(image.path + ": relocation type " + std::to_string(type) + " at RVA " + Hex(target) +
                      " is not an i386 one");
      if (target > image.sizeOfImage - 4) throw FvError(image.path + ": relocation at RVA " + Hex(target) + " outside the image");
      Put(&out.bytes[target], 4, b.At(target, 4, "relocated word") + delta);
      ++applied;
    }
    at += blockSize;
  }
  Put(&out.bytes[image.optionalOffset + kOptImageBase], 4, newBase);
  out.imageBase = newBase;
  if (relocationsApplied != nullptr) *relocationsApplied = applied;
  return out;
}

std::vector<uint8_t> ToTe(const PeFile& image) {
  if (image.sectionTable < te::kHeaderSize)
    throw FvError(image.path + ": headers too small to strip for a TE image");
  if (image.subsystem > 0xFF || image.sectionCount > 0xFF)
    throw FvError(image.path + ": subsystem or section count does not fit a TE header");
  const uint32_t stripped = image.sectionTable;
  if (stripped > 0xFFFF) throw FvError(image.path + ": headers too large for a TE image");
  // Every RVA the TE image keeps must lie in what it keeps.
  for (uint32_t rva : {image.entryRva, image.relocRva, image.baseOfCode})
    if (rva != 0 && rva < stripped) throw FvError(image.path + ": RVA " + Hex(rva) + " lies in the stripped headers");
  std::vector<uint8_t> te(te::kHeaderSize + image.bytes.size() - stripped, 0);
  uint8_t* h = te.data();
  Put(h, 2, te::kSignature);
  Put(h + te::kMachineOffset, 2, image.machine);
  Put(h + te::kSectionCountOffset, 1, image.sectionCount);
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

ImageView ViewImage(std::span<const uint8_t> data, ImageFormat format, uint32_t address, const std::string& where) {
  ImageView v;
  v.format = format;
  v.headerAddress = address;
  const Bytes b{data, where};
  if (format == ImageFormat::Pe32) {
    const PeFile pe = ParsePeFile(std::vector<uint8_t>(data.begin(), data.end()), where, false);
    v.rvaZero = address;
    v.recordedBase = pe.imageBase;
    v.entryRva = pe.entryRva;
    v.sizeOfImage = pe.sizeOfImage;
    v.sectionAlignment = pe.sectionAlignment;
    v.machine = pe.machine;
    v.subsystem = pe.subsystem;
    return v;
  }
  if (b.At(0, 2, "TE signature") != te::kSignature) throw FvError(where + ": no TE signature");
  v.machine = static_cast<uint16_t>(b.At(te::kMachineOffset, 2, "TE machine"));
  if (v.machine != kMachineI386) throw FvError(where + ": TE machine " + Hex(v.machine) + " is not i386");
  const uint32_t sections = b.At(te::kSectionCountOffset, 1, "TE section count");
  v.subsystem = static_cast<uint16_t>(b.At(te::kSubsystemOffset, 1, "TE subsystem"));
  v.strippedSize = b.At(te::kStrippedSizeOffset, 2, "TE stripped size");
  v.entryRva = b.At(te::kEntryOffset, 4, "TE entry point");
  const uint64_t base = b.At(te::kImageBaseOffset, 4, "TE image base") |
                        uint64_t{b.At(te::kImageBaseOffset + 4, 4, "TE image base")} << 32;
  if (base > 0xFFFFFFFFu) throw FvError(where + ": TE image base " + Hex(base) + " is not a 32-bit address");
  if (v.strippedSize < te::kHeaderSize) throw FvError(where + ": TE stripped size " + Hex(v.strippedSize) + " below 40");
  v.recordedBase = static_cast<uint32_t>(base);
  v.rvaZero = address - v.strippedSize + te::kHeaderSize;
  // RVA r lies at offset r - stripped + 40 of the data: the image ends with its furthest section.
  for (uint32_t i = 0; i < sections; ++i) {
    const uint32_t s = te::kHeaderSize + kSectionHeaderSize * i;
    const uint32_t size = std::max(b.At(s + 8, 4, "TE section size"), b.At(s + 16, 4, "TE section raw size"));
    const uint32_t rva = b.At(s + 12, 4, "TE section address");
    if (rva < v.strippedSize || uint64_t{rva} - v.strippedSize + te::kHeaderSize + size > data.size())
      throw FvError(where + ": TE section " + std::to_string(i) + " lies outside the image section");
    v.sizeOfImage = std::max(v.sizeOfImage, rva + size);
  }
  if (v.entryRva < v.strippedSize || v.entryRva >= v.sizeOfImage)
    throw FvError(where + ": TE entry point " + Hex(v.entryRva) + " outside the image");
  return v;
}

}  // namespace fv
