#include "PeImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace emu {
namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelHighLow = 3;

class Reader {
 public:
  Reader(std::span<const uint8_t> bytes, const std::string& path) : bytes_(bytes), path_(path) {}
  template <typename T>
  T At(uint32_t offset, const char* what) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T))
      throw ImageError(path_ + ": truncated at offset " + std::to_string(offset) + " (" + what + ")");
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }

 private:
  std::span<const uint8_t> bytes_;
  const std::string& path_;
};

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// Walks the base relocation directory of an image laid out in `mem`,
// calling `patch(rva)` for every HIGHLOW entry. Refuses blocks that run past
// the directory, a directory that ends inside a block header (1-7 bytes that
// hold no block), types other than ABSOLUTE and HIGHLOW, and targets whose
// four bytes do not lie inside the image, computed without wrapping (a block
// page near 4 GiB plus an offset must not come round to the headers).
template <typename Patch>
void WalkRelocations(const Reader& m, const std::string& path, uint32_t sizeOfImage, uint32_t relocRva,
                     uint32_t relocSize, Patch patch) {
  if (relocRva > sizeOfImage || sizeOfImage - relocRva < relocSize)
    throw ImageError(path + ": base relocation directory outside the image");
  uint32_t at = relocRva;
  const uint32_t end = relocRva + relocSize;
  while (at != end) {
    if (end - at < 8)
      throw ImageError(path + ": base relocation directory ends " + std::to_string(end - at) +
                       " bytes into a block header at RVA " + Hex(at));
    const uint32_t page = m.At<uint32_t>(at, "relocation block");
    const uint32_t blockSize = m.At<uint32_t>(at + 4, "relocation block");
    if (blockSize < 8 || blockSize > end - at || blockSize % 2 != 0)
      throw ImageError(path + ": malformed relocation block at RVA " + Hex(at) + " (size " + Hex(blockSize) + ")");
    for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
      const uint16_t entry = m.At<uint16_t>(e, "relocation entry");
      const uint16_t type = entry >> 12;
      const uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelHighLow)
        throw ImageError(path + ": relocation type " + std::to_string(type) + " at RVA " + Hex(at) +
                         " is not supported for i386");
      if (sizeOfImage < 4 || target > sizeOfImage - 4)
        throw ImageError(path + ": relocation of block " + Hex(page) + " offset " + Hex(entry & 0xFFF) +
                         " lies outside the image");
      patch(static_cast<uint32_t>(target));
    }
    at += blockSize;
  }
}

}  // namespace

PeImage ParsePeImage(std::vector<uint8_t> file, std::string path) {
  PeImage img;
  img.path = std::move(path);
  img.file = std::move(file);
  img.fileSize = static_cast<uint32_t>(img.file.size());
  const Reader r(img.file, img.path);
  auto fail = [&](const std::string& what) { throw ImageError(img.path + ": " + what); };

  if (r.At<uint16_t>(0, "DOS header") != 0x5A4D) fail("no MZ signature");
  const uint32_t pe = r.At<uint32_t>(0x3C, "e_lfanew");
  if (r.At<uint32_t>(pe, "PE signature") != 0x00004550) fail("no PE signature at " + Hex(pe));
  const uint32_t coff = pe + 4;
  if (const uint16_t m = r.At<uint16_t>(coff, "machine"); m != kMachineI386) fail("machine " + Hex(m) + " is not i386");
  const uint16_t sectionCount = r.At<uint16_t>(coff + 2, "section count");
  const uint16_t optSize = r.At<uint16_t>(coff + 16, "optional header size");
  const uint32_t opt = coff + 20;
  if (r.At<uint16_t>(opt, "optional header magic") != kPe32Magic) fail("optional header is not PE32");
  img.entryRva = r.At<uint32_t>(opt + 16, "entry point");
  img.preferredBase = r.At<uint32_t>(opt + 28, "image base");
  const uint32_t sectionAlign = r.At<uint32_t>(opt + 32, "section alignment");
  img.sizeOfImage = r.At<uint32_t>(opt + 56, "size of image");
  img.sizeOfHeaders = r.At<uint32_t>(opt + 60, "size of headers");
  img.subsystem = r.At<uint16_t>(opt + 68, "subsystem");
  const uint32_t dirCount = r.At<uint32_t>(opt + 92, "directory count");
  if (optSize < 96 || (optSize - 96u) / 8u < std::min<uint32_t>(dirCount, kDirBaseReloc + 1))
    fail("optional header of " + std::to_string(optSize) + " bytes cannot hold its " + std::to_string(dirCount) +
         " data directories");
  if (img.subsystem != kSubsystemEfiBootServiceDriver)
    fail("subsystem " + std::to_string(img.subsystem) + " is not an EFI boot service driver (11)");
  if (sectionAlign == 0 || img.sizeOfImage == 0 || img.sizeOfImage > kMaxImageBytes) fail("implausible size of image");
  if (img.sizeOfHeaders > img.sizeOfImage || img.sizeOfHeaders > img.fileSize) fail("implausible size of headers");
  auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
    rva = size = 0;
    if (index < dirCount) {
      rva = r.At<uint32_t>(opt + 96 + 8 * index, "data directory");
      size = r.At<uint32_t>(opt + 100 + 8 * index, "data directory");
    }
  };
  uint32_t importRva, importSize;
  directory(kDirImport, importRva, importSize);
  if (importRva != 0 || importSize != 0) fail("has an import directory; the module must import nothing");
  directory(kDirBaseReloc, img.relocRva, img.relocSize);
  if (img.relocRva == 0 || img.relocSize == 0) fail("no base relocation directory; the image cannot be placed in flash");
  if (img.entryRva == 0 || img.entryRva >= img.sizeOfImage) fail("entry point " + Hex(img.entryRva) + " outside the image");

  const uint32_t sectionTable = opt + optSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    const uint32_t s = sectionTable + 40u * i;
    Section sec;
    char name[9] = {};
    for (int k = 0; k < 8; ++k) name[k] = static_cast<char>(r.At<uint8_t>(s + k, "section name"));
    sec.name = name;
    sec.virtualSize = r.At<uint32_t>(s + 8, "section size");
    sec.rva = r.At<uint32_t>(s + 12, "section address");
    sec.rawSize = r.At<uint32_t>(s + 16, "section raw size");
    sec.rawOffset = r.At<uint32_t>(s + 20, "section raw offset");
    sec.characteristics = r.At<uint32_t>(s + 36, "section flags");
    const uint32_t extent = std::max(sec.virtualSize, sec.rawSize);
    if (sec.rva < img.sizeOfHeaders || sec.rva > img.sizeOfImage || img.sizeOfImage - sec.rva < extent)
      fail("section " + sec.name + " lies outside the image");
    if (sec.rawSize != 0 && (sec.rawOffset > img.fileSize || img.fileSize - sec.rawOffset < sec.rawSize))
      fail("section " + sec.name + " extends past the end of the file");
    img.sections.push_back(sec);
  }
  if (img.sections.empty()) fail("no sections");
  // The relocations are checked here, once, by laying the image out where it wants to be.
  img.LayOut(img.preferredBase);
  return img;
}

std::vector<uint8_t> PeImage::LayOut(uint32_t base, uint32_t* relocationsApplied) const {
  std::vector<uint8_t> mem(sizeOfImage, 0);
  std::memcpy(mem.data(), file.data(), sizeOfHeaders);
  for (const Section& s : sections) {
    const uint32_t n = std::min(s.rawSize, s.virtualSize != 0 ? s.virtualSize : s.rawSize);
    std::memcpy(mem.data() + s.rva, file.data() + s.rawOffset, n);
  }

  const uint32_t delta = base - preferredBase;
  uint32_t applied = 0;
  WalkRelocations(Reader(mem, path), path, sizeOfImage, relocRva, relocSize, [&](uint32_t target) {
    uint32_t v;
    std::memcpy(&v, mem.data() + target, 4);
    v += delta;
    std::memcpy(mem.data() + target, &v, 4);
    ++applied;
  });
  if (relocationsApplied != nullptr) *relocationsApplied = applied;
  return mem;
}

std::vector<uint8_t> ReadImageFile(const std::string& path, const char* what, uint64_t maxBytes) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error || !std::filesystem::exists(status)) throw ImageError(path + ": cannot open the " + what);
  if (!std::filesystem::is_regular_file(status)) throw ImageError(path + ": is not a file (the " + what + " must be one)");
  const uint64_t size = std::filesystem::file_size(path, error);
  if (error) throw ImageError(path + ": cannot read the " + what + ": " + error.message());
  if (size > maxBytes)
    throw ImageError(path + ": " + std::to_string(size) + " bytes; a " + what + " has at most " +
                     std::to_string(maxBytes));
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError(path + ": cannot open the " + what);
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)) || in.peek() != EOF)
    throw ImageError(path + ": the " + what + " changed or could not be read while it was read");
  return bytes;
}

PeImage LoadPeImage(const std::string& path) {
  return ParsePeImage(ReadImageFile(path, "image", kMaxImageBytes), path);
}

}  // namespace emu
