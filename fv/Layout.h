// Firmware file system layouts as the host tools use them: the offsets and
// values of fv/FfsLayout.h, the GUID type and the FFSv2 file system's GUID,
// the error every reader and packer throws, and byte access helpers.
#ifndef STATUSSINK_FV_LAYOUT_H
#define STATUSSINK_FV_LAYOUT_H

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fv/FfsLayout.h"
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

// The FFSv2 file system GUID beside the volume header's offsets (fv/FfsLayout.h).
namespace volume {
// The FFSv2 file system: 8C8CE578-8A3D-4F1C-9935-896185C32DD3.
constexpr Guid kFfs2FileSystem = {0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F,
                                  0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3};
}  // namespace volume

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
