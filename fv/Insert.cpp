#include "fv/Insert.h"

#include <algorithm>

namespace fv {
namespace {

// Space no file uses: a pad file's, or the free space after the last file.
struct Room {
  uint32_t start = 0;  // a file header may start here
  uint32_t end = 0;    // the pad file's end, or the volume's
  uint32_t next = 0;   // where the next file starts (AlignUp(end, 8)), or the volume's end
  bool freeSpace = false;
};

// Where in `room` a file of `size` bytes whose data needs `alignment` fits:
// on an 8-byte boundary with its data aligned, any space before it large
// enough for a pad file's header, and what is left after it of a pad
// file's space either nothing or large enough for a pad file again.
std::optional<uint32_t> PlaceIn(const Room& room, uint32_t size, uint32_t alignment) {
  for (uint64_t f = room.start; f + size <= room.next; f += file::kFileAlignment) {
    if ((f + file::kHeaderSize) % alignment != 0) continue;
    if (f != room.start && f - room.start < file::kHeaderSize) continue;
    const uint64_t end = AlignUp(static_cast<uint32_t>(f + size), file::kFileAlignment);
    if (!room.freeSpace && end < room.end && room.end - end < file::kHeaderSize) continue;
    return static_cast<uint32_t>(f);
  }
  return std::nullopt;
}

}  // namespace

Inserted Insert(std::span<const uint8_t> flash, const PeFile& image, const InsertOptions& options,
                const std::string& where) {
  const uint64_t at = options.volumeOffset;
  const std::string here = where + ": the volume at offset " + Hex(at);
  if (at > flash.size() || flash.size() - at < volume::kBlockMapOffset ||
      Get(flash.data() + at + volume::kSignatureOffset, 4) != volume::kSignature)
    throw FvError(here + ": no firmware volume header (\"_FVH\") there");
  const uint64_t length = Get(flash.data() + at + volume::kLengthOffset, 4) |
                          uint64_t{Get(flash.data() + at + volume::kLengthOffset + 4, 4)} << 32;
  if (length > flash.size() - at)
    throw FvError(here + ": its header says " + Hex(length) + " bytes but the file ends " + Hex(flash.size() - at) +
                  " bytes after its start");
  Inserted out;
  out.volumeBase = static_cast<uint32_t>(options.flashBase + at);
  out.volumeBytes = length;
  if (uint64_t{options.flashBase} + at + length > 0x100000000ull)
    throw FvError(here + ": mapped at " + Hex(uint64_t{options.flashBase} + at) + " it would run past 4 GiB");
  const std::span<const uint8_t> bytes = flash.subspan(at, length);
  Volume v;
  try {
    v = ReadVolume(bytes, where + " (volume at offset " + Hex(at) + ")");
  } catch (const FvError& e) {
    throw FvError(std::string(e.what()) + " (not a volume fvpack can write)");
  }
  for (const File& f : v.files)
    if (f.type != file::kTypePad && f.name == options.file.fileName)
      throw FvError(here + ": a file named " + hostlib::GuidText(f.name) + " is already in it, at offset " + Hex(f.offset));

  const uint32_t alignment = FileDataAlignment(image);
  if (v.baseAlignment < alignment)
    throw FvError(here + ": its alignment attribute promises " + Hex(v.baseAlignment) +
                  " bytes, less than the file's data alignment " + Hex(alignment));
  if (out.volumeBase % alignment != 0)
    throw FvError(here + ": mapped at " + Hex(out.volumeBase) + " it is not on the file's data alignment " +
                  Hex(alignment));

  // Every room, in volume order, from the file named by `after` on.
  uint32_t from = 0;
  if (options.after) {
    const auto named = std::find_if(v.files.begin(), v.files.end(), [&](const File& f) {
      return f.type != file::kTypePad && f.name == *options.after;
    });
    if (named == v.files.end()) throw FvError(here + ": no file named " + hostlib::GuidText(*options.after) + " in it");
    from = named->offset + named->size;
  }
  std::vector<Room> rooms;
  for (const File& f : v.files)
    if (f.type == file::kTypePad && f.offset >= from)
      rooms.push_back({f.offset, f.offset + f.size,
                       std::min(AlignUp(f.offset + f.size, file::kFileAlignment), static_cast<uint32_t>(length)), false});
  if (v.freeSpaceOffset < length && v.freeSpaceOffset >= from)
    rooms.push_back({v.freeSpaceOffset, static_cast<uint32_t>(length), static_cast<uint32_t>(length), true});

  // The file's size does not depend on where it lies: build it once to learn it.
  const uint32_t probe = AlignUp(0x100000 + file::kHeaderSize, alignment) - file::kHeaderSize;
  const uint32_t size = static_cast<uint32_t>(BuildFile(image, options.file, probe).bytes.size());
  std::optional<uint32_t> place;
  const Room* chosen = nullptr;
  for (const Room& r : rooms) {
    if ((place = PlaceIn(r, size, alignment))) {
      chosen = &r;
      break;
    }
  }
  if (!place) {
    uint64_t largest = 0;
    for (const Room& r : rooms) largest = std::max<uint64_t>(largest, r.next - r.start);
    throw FvError(here + ": no room for the file's " + Hex(size) + " bytes" +
                  (options.after ? " after " + hostlib::GuidText(*options.after) : std::string()) +
                  " (the largest pad file or free space there is " + Hex(largest) +
                  " bytes; files already in the volume are never moved)");
  }

  out.fileOffset = *place;
  out.file = BuildFile(image, options.file, out.volumeBase + out.fileOffset);
  out.room = chosen->freeSpace ? "the free space"
                               : "the pad file of " + Hex(chosen->end - chosen->start) + " bytes at offset " +
                                     Hex(chosen->start);
  out.flash.assign(flash.begin(), flash.end());
  uint8_t* vol = out.flash.data() + at;
  std::fill(vol + chosen->start, vol + chosen->end, 0xFF);
  if (out.fileOffset != chosen->start) WritePadFile(vol + chosen->start, out.fileOffset - chosen->start);
  std::copy(out.file.bytes.begin(), out.file.bytes.end(), vol + out.fileOffset);
  const uint32_t end = AlignUp(out.fileOffset + size, file::kFileAlignment);
  if (!chosen->freeSpace && end < chosen->end) WritePadFile(vol + end, chosen->end - end);
  return out;
}

}  // namespace fv
