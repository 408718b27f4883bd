// Firmware volumes made by hand for tests, file by file, as other build
// tools would leave them: an empty FFSv2 volume (erase polarity 1, 4 KiB
// blocks), then raw files, pad files and PEIMs of made-up images placed one
// after another on 8-byte boundaries. Headers are sealed by the packer's
// own header writer; the volume header is written here.
#ifndef STATUSSINK_TESTS_TESTVOLUME_H
#define STATUSSINK_TESTS_TESTVOLUME_H

#include <cstdint>
#include <string>
#include <vector>

#include "fv/Volume.h"

namespace test {

class VolumeBuilder {
 public:
  // `alignmentLog2`: the volume's alignment attribute (bits 16-20).
  explicit VolumeBuilder(uint32_t size, uint32_t alignmentLog2 = 12) : bytes(size, 0xFF) {
    uint8_t* v = bytes.data();
    std::fill(v, v + kHeaderLength, 0);
    std::copy(fv::volume::kFfs2FileSystem.begin(), fv::volume::kFfs2FileSystem.end(), v + 16);
    fv::Put(v + 32, 8, size);
    fv::Put(v + 40, 4, fv::volume::kSignature);
    fv::Put(v + 44, 4, 0x00000E06u | alignmentLog2 << 16);  // read, memory mapped, sticky write, erase polarity 1
    fv::Put(v + 48, 2, kHeaderLength);
    v[55] = 2;
    fv::Put(v + 56, 4, size / 0x1000);
    fv::Put(v + 60, 4, 0x1000);
    uint16_t sum = 0;
    for (uint32_t i = 0; i < kHeaderLength; i += 2) sum = static_cast<uint16_t>(sum + fv::Get(v + i, 2));
    fv::Put(v + 50, 2, static_cast<uint16_t>(0x10000 - sum));
  }

  // A file of `type` whose data is `data`, with the data checksum kept.
  uint32_t Add(const fv::Guid& name, uint8_t type, const std::vector<uint8_t>& data) {
    const uint32_t at = next_, size = 24 + static_cast<uint32_t>(data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + at + 24);
    fv::WriteFileHeader(&bytes[at], name, type, fv::file::kAttribChecksum, size);
    next_ = fv::AlignUp(at + size, 8);
    return at;
  }
  uint32_t AddPad(uint32_t size) {
    const uint32_t at = next_;
    fv::WritePadFile(&bytes[at], size);
    next_ = fv::AlignUp(at + size, 8);
    return at;
  }
  // A PEIM: its dependency expression, a PE32 image section, a user-interface name.
  uint32_t AddPeim(const fv::Guid& name, const std::vector<uint8_t>& depex, const std::vector<uint8_t>& image,
                   const std::string& ui) {
    std::vector<uint8_t> data;
    auto section = [&](uint8_t type, const std::vector<uint8_t>& body) {
      while (data.size() % 4 != 0) data.push_back(0);
      const uint32_t size = 4 + static_cast<uint32_t>(body.size());
      data.insert(data.end(), {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), type});
      data.insert(data.end(), body.begin(), body.end());
    };
    section(fv::section::kPeiDepex, depex);
    section(fv::section::kPe32, image);
    std::vector<uint8_t> text;
    for (char c : ui) text.insert(text.end(), {static_cast<uint8_t>(c), 0});
    text.insert(text.end(), {0, 0});
    section(fv::section::kUserInterface, text);
    return Add(name, fv::file::kTypePeim, data);
  }

  std::vector<uint8_t> bytes;

 private:
  static constexpr uint32_t kHeaderLength = 72;  // the header and a block map of one entry and its end
  uint32_t next_ = kHeaderLength;
};

// Made-up names for the other files.
inline fv::Guid Name(uint8_t n) {
  fv::Guid g{};
  for (uint8_t i = 0; i < 16; ++i) g[i] = static_cast<uint8_t>(0x50 + n + i);
  return g;
}

}  // namespace test

#endif
