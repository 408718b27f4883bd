#include "fv/Volume.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "fv/Placement.h"

namespace fv {
namespace {

// The 8-bit sum of a file header with the state and file checksum bytes taken as 0.
uint8_t FileHeaderSum(const uint8_t* header) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < file::kHeaderSize; ++i)
    if (i != file::kStateOffset && i != file::kFileChecksumOffset) sum = static_cast<uint8_t>(sum + header[i]);
  return sum;
}

uint16_t Sum16(const uint8_t* p, uint32_t length) {
  uint16_t sum = 0;
  for (uint32_t i = 0; i + 1 < length; i += 2) sum = static_cast<uint16_t>(sum + Get(p + i, 2));
  return sum;
}

}  // namespace

void WriteFileHeader(uint8_t* h, const Guid& name, uint8_t type, uint8_t attributes, uint32_t size) {
  std::copy(name.begin(), name.end(), h);
  h[file::kTypeOffset] = type;
  h[file::kAttributesOffset] = attributes;
  Put(h + file::kSizeOffset, 3, size);
  h[file::kHeaderChecksumOffset] = 0;
  h[file::kHeaderChecksumOffset] = static_cast<uint8_t>(0x100 - FileHeaderSum(h));
  uint8_t sum = 0;
  if ((attributes & file::kAttribChecksum) != 0)
    for (uint32_t i = file::kHeaderSize; i < size; ++i) sum = static_cast<uint8_t>(sum + h[i]);
  h[file::kFileChecksumOffset] =
      (attributes & file::kAttribChecksum) != 0 ? static_cast<uint8_t>(0x100 - sum) : file::kFixedFileChecksum;
  h[file::kStateOffset] = file::kStateValidPolarity1;
}

void WritePadFile(uint8_t* h, uint32_t size) {
  std::fill(h, h + size, 0xFF);
  Guid padName;
  padName.fill(0xFF);
  WriteFileHeader(h, padName, file::kTypePad, 0, size);
}

namespace {

// A UCS-2 string with its terminator filling `data` exactly; printable ASCII kept, the rest '?'.
std::string FromUcs2(std::span<const uint8_t> data, const std::string& where) {
  if (data.size() < 2 || data.size() % 2 != 0 || Get(&data[data.size() - 2], 2) != 0)
    throw FvError(where + ": text is not a terminated UCS-2 string");
  std::string out;
  for (size_t i = 0; i + 2 < data.size(); i += 2) {
    const uint32_t c = Get(&data[i], 2);
    if (c == 0) throw FvError(where + ": text has a terminator before its end");
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return out;
}

uint32_t DataAlignmentFor(uint32_t alignment, const std::string& where) {
  for (uint32_t index = 0; index < 8; ++index)
    if (file::kDataAlignments[index] >= alignment) return index;
  throw FvError(where + ": alignment " + Hex(alignment) + " is larger than a file can ask for");
}

uint32_t Log2(uint32_t v) {
  uint32_t n = 0;
  while ((1u << n) < v) ++n;
  return n;
}

}  // namespace

std::vector<uint8_t> DepexForAll(std::span<const Guid> ppis) {
  std::vector<uint8_t> out;
  if (ppis.empty()) out.push_back(depex::kTrue);
  for (size_t i = 0; i < ppis.size(); ++i) {
    out.push_back(depex::kPush);
    out.insert(out.end(), ppis[i].begin(), ppis[i].end());
    if (i > 0) out.push_back(depex::kAnd);
  }
  out.push_back(depex::kEnd);
  return out;
}

namespace {

// Walks an expression, calling `step` for each opcode with its GUID (PUSH only).
template <typename Step>
void WalkDepex(std::span<const uint8_t> e, Step step) {
  size_t at = 0;
  int depth = 0;
  while (true) {
    if (at >= e.size()) throw FvError("dependency expression has no END");
    const uint8_t op = e[at++];
    switch (op) {
      case depex::kPush: {
        if (e.size() - at < 16) throw FvError("dependency expression: PUSH without its GUID");
        Guid g;
        std::copy(e.begin() + at, e.begin() + at + 16, g.begin());
        at += 16;
        ++depth;
        step(op, &g);
        break;
      }
      case depex::kTrue:
      case depex::kFalse:
        ++depth;
        step(op, nullptr);
        break;
      case depex::kAnd:
      case depex::kOr:
        if (depth < 2) throw FvError("dependency expression: AND/OR with fewer than two operands");
        --depth;
        step(op, nullptr);
        break;
      case depex::kNot:
        if (depth < 1) throw FvError("dependency expression: NOT without an operand");
        step(op, nullptr);
        break;
      case depex::kEnd:
        if (depth != 1) throw FvError("dependency expression ends with " + std::to_string(depth) + " values, not one");
        if (at != e.size()) throw FvError("dependency expression has bytes after END");
        step(op, nullptr);
        return;
      default:
        throw FvError("dependency expression: opcode " + Hex(op) + " is not one a PEI expression may use");
    }
  }
}

}  // namespace

bool EvaluateDepex(std::span<const uint8_t> expression, const std::function<bool(const Guid&)>& installed) {
  std::vector<bool> stack;
  WalkDepex(expression, [&](uint8_t op, const Guid* guid) {
    auto pop = [&] {
      const bool v = stack.back();
      stack.pop_back();
      return v;
    };
    switch (op) {
      case depex::kPush: stack.push_back(installed(*guid)); break;
      case depex::kTrue: stack.push_back(true); break;
      case depex::kFalse: stack.push_back(false); break;
      case depex::kAnd: { const bool b = pop(), a = pop(); stack.push_back(a && b); break; }
      case depex::kOr: { const bool b = pop(), a = pop(); stack.push_back(a || b); break; }
      case depex::kNot: stack.back() = !stack.back(); break;
      default: break;
    }
  });
  return stack.back();
}

std::string DepexText(std::span<const uint8_t> expression) {
  std::string text;
  WalkDepex(expression, [&](uint8_t op, const Guid* guid) {
    static const char* const kNames[] = {"BEFORE", "AFTER", "PUSH", "AND", "OR", "NOT", "TRUE", "FALSE", "END"};
    if (!text.empty()) text += ' ';
    text += kNames[op];
    if (guid != nullptr) text += " " + hostlib::GuidText(*guid);
  });
  return text;
}

uint32_t FileDataAlignment(const PeFile& image) {
  return file::kDataAlignments[DataAlignmentFor(image.sectionAlignment, image.path)];
}

BuiltFile BuildFile(const PeFile& image, const PackOptions& options, uint32_t fileAddress) {
  const std::string& where = image.path;
  const bool te = options.format == ImageFormat::Te;
  const uint32_t imageAlignment = image.sectionAlignment;
  const uint32_t alignmentIndex = DataAlignmentFor(imageAlignment, where);
  BuiltFile out;
  out.dataAlignment = file::kDataAlignments[alignmentIndex];
  if ((uint64_t{fileAddress} + file::kHeaderSize) % out.dataAlignment != 0)
    throw FvError("the file's data at " + Hex(uint64_t{fileAddress} + file::kHeaderSize) + " is not aligned to " +
                  Hex(out.dataAlignment) + ", the alignment the image needs");

  // Sections, as offsets within the file's data.
  const std::vector<uint8_t> depex = DepexForAll(options.depexPpis);
  const uint32_t imageBytes = te ? te::kHeaderSize + static_cast<uint32_t>(image.bytes.size()) - image.sectionTable
                                 : static_cast<uint32_t>(image.bytes.size());
  // Where the image's RVA 0 lies relative to its section data: TE strips the
  // headers and puts its own 40 bytes in their place.
  const uint32_t rvaZeroShift = te ? image.sectionTable - te::kHeaderSize : 0;
  const uint32_t afterDepex = AlignUp(section::kHeaderSize + static_cast<uint32_t>(depex.size()), section::kAlignment);
  uint32_t imageSection = afterDepex;
  // The image's RVA 0 must fall on its section alignment; a raw section fills any gap.
  while ((imageSection + section::kHeaderSize - rvaZeroShift) % imageAlignment != 0 ||
         (imageSection != afterDepex && imageSection - afterDepex < section::kHeaderSize))
    imageSection += section::kAlignment;
  const std::vector<uint8_t> ui = hostlib::Ucs2(options.uiName);
  const std::vector<uint8_t> versionText = hostlib::Ucs2(options.version);
  const uint32_t uiSection = AlignUp(imageSection + section::kHeaderSize + imageBytes, section::kAlignment);
  const uint32_t versionSection = AlignUp(uiSection + section::kHeaderSize + static_cast<uint32_t>(ui.size()),
                                          section::kAlignment);
  const uint32_t dataSize = versionSection + section::kHeaderSize + 2 + static_cast<uint32_t>(versionText.size());
  const uint32_t fileSize = file::kHeaderSize + dataSize;
  if (fileSize > file::kMaxSize) throw FvError(where + ": the file would be larger than 16 MiB");

  // Rebase the image to the address its RVA 0 will have in flash.
  out.imageOffset = file::kHeaderSize + imageSection + section::kHeaderSize;
  out.imageBytes = imageBytes;
  out.imageBase = fileAddress + out.imageOffset - rvaZeroShift;
  out.strippedBytes = te ? image.sectionTable - te::kHeaderSize : 0;
  const PeFile rebased = Rebase(image, out.imageBase);
  out.relocations = rebased.relocations;
  const std::vector<uint8_t> imageData = te ? ToTe(rebased) : rebased.bytes;

  out.bytes.assign(fileSize, 0);
  uint8_t* data = out.bytes.data() + file::kHeaderSize;
  auto sectionHeader = [&](uint32_t at, uint32_t size, uint8_t type) {
    Put(data + at, 3, size);
    data[at + 3] = type;
  };
  sectionHeader(0, section::kHeaderSize + static_cast<uint32_t>(depex.size()), section::kPeiDepex);
  std::copy(depex.begin(), depex.end(), data + section::kHeaderSize);
  if (imageSection != afterDepex) sectionHeader(afterDepex, imageSection - afterDepex, section::kRaw);
  sectionHeader(imageSection, section::kHeaderSize + imageBytes, te ? section::kTe : section::kPe32);
  std::copy(imageData.begin(), imageData.end(), data + imageSection + section::kHeaderSize);
  sectionHeader(uiSection, section::kHeaderSize + static_cast<uint32_t>(ui.size()), section::kUserInterface);
  std::copy(ui.begin(), ui.end(), data + uiSection + section::kHeaderSize);
  sectionHeader(versionSection, dataSize - versionSection, section::kVersion);
  Put(data + versionSection + section::kHeaderSize, 2, options.buildNumber);
  std::copy(versionText.begin(), versionText.end(), data + versionSection + section::kHeaderSize + 2);
  const uint8_t checksum = options.fixedChecksum ? 0 : file::kAttribChecksum;
  WriteFileHeader(out.bytes.data(), options.fileName, file::kTypePeim,
                  static_cast<uint8_t>(checksum | alignmentIndex << file::kAttribDataAlignmentShift), fileSize);
  return out;
}

Packed Pack(const PeFile& image, const PackOptions& options) {
  const uint32_t fileAlignment = FileDataAlignment(image);
  if (options.base % fileAlignment != 0)
    throw FvError("volume base " + Hex(options.base) + " is not aligned to " + Hex(fileAlignment) +
                  ", the alignment the image needs");
  // The volume: header with a one-entry block map, then a pad file if the
  // file's data must start further on, then the file.
  const uint32_t headerLength = volume::kBlockMapOffset + 2 * volume::kBlockMapEntrySize;
  const uint32_t firstFile = AlignUp(headerLength, file::kFileAlignment);
  uint32_t fileOffset = firstFile;
  while ((fileOffset + file::kHeaderSize) % fileAlignment != 0 ||
         (fileOffset != firstFile && fileOffset - firstFile < file::kHeaderSize))
    fileOffset += file::kFileAlignment;
  const BuiltFile built = BuildFile(image, options, options.base + fileOffset);
  Packed out;
  out.ffs = built.bytes;
  out.fileOffset = fileOffset;
  out.imageOffset = fileOffset + built.imageOffset;
  out.imageBytes = built.imageBytes;
  out.imageBase = built.imageBase;
  out.relocations = built.relocations;
  out.dataAlignment = built.dataAlignment;
  out.strippedBytes = built.strippedBytes;
  const uint32_t used = fileOffset + static_cast<uint32_t>(out.ffs.size());
  const uint32_t volumeSize = options.volumeSize != 0 ? options.volumeSize : AlignUp(used, volume::kBlockSize);
  if (volumeSize % volume::kBlockSize != 0)
    throw FvError("volume size " + Hex(volumeSize) + " is not a whole number of 4 KiB blocks");
  if (volumeSize < used)
    throw FvError("volume size " + Hex(volumeSize) + " is too small: the file ends at " + Hex(used));
  CheckVolumePlacement(options.base, volumeSize);

  // The volume; everything not written is erased flash (0xFF).
  out.fv.assign(volumeSize, 0xFF);
  uint8_t* v = out.fv.data();
  std::fill(v, v + headerLength, 0);
  std::copy(volume::kFfs2FileSystem.begin(), volume::kFfs2FileSystem.end(), v + volume::kFileSystemGuidOffset);
  Put(v + volume::kLengthOffset, 8, volumeSize);
  Put(v + volume::kSignatureOffset, 4, volume::kSignature);
  Put(v + volume::kAttributesOffset, 4,
      volume::kReadEnabledCap | volume::kReadStatus | volume::kStickyWrite | volume::kMemoryMapped |
          volume::kErasePolarity | (Log2(fileAlignment) << volume::kAlignmentShift));
  Put(v + volume::kHeaderLengthOffset, 2, headerLength);
  v[volume::kRevisionOffset] = volume::kRevision;
  Put(v + volume::kBlockMapOffset, 4, volumeSize / volume::kBlockSize);
  Put(v + volume::kBlockMapOffset + 4, 4, volume::kBlockSize);
  Put(v + volume::kChecksumOffset, 2, static_cast<uint16_t>(0x10000 - Sum16(v, headerLength)));
  if (fileOffset != firstFile) WritePadFile(v + firstFile, fileOffset - firstFile);
  std::copy(out.ffs.begin(), out.ffs.end(), v + fileOffset);
  return out;
}

const Section* File::Find(uint8_t wanted) const {
  for (const Section& s : sections)
    if (s.type == wanted) return &s;
  return nullptr;
}

Volume ReadVolume(std::span<const uint8_t> bytes, const std::string& where) {
  Volume vol;
  auto fail = [&](uint64_t offset, const std::string& what) {
    throw FvError(where + ": at offset " + Hex(offset) + ": " + what);
  };
  const uint8_t* v = bytes.data();
  const uint64_t size = bytes.size();
  if (size < volume::kBlockMapOffset + 2 * volume::kBlockMapEntrySize) fail(0, "too short for a volume header");
  for (uint32_t i = 0; i < volume::kFileSystemGuidOffset; ++i)
    if (v[i] != 0) fail(i, "the first 16 bytes of the header are not zero");
  if (!std::equal(volume::kFfs2FileSystem.begin(), volume::kFfs2FileSystem.end(), v + volume::kFileSystemGuidOffset))
    fail(volume::kFileSystemGuidOffset, "file system is not FFSv2");
  if (Get(v + volume::kSignatureOffset, 4) != volume::kSignature) fail(volume::kSignatureOffset, "no _FVH signature");
  vol.length = Get(v + volume::kLengthOffset, 4) | uint64_t{Get(v + volume::kLengthOffset + 4, 4)} << 32;
  if (vol.length > size)
    fail(volume::kLengthOffset, "truncated: the header says " + Hex(vol.length) + " bytes, only " + Hex(size) + " present");
  if (vol.length < size)
    fail(volume::kLengthOffset, "the header says " + Hex(vol.length) + " bytes but " + Hex(size) + " are given");
  vol.attributes = Get(v + volume::kAttributesOffset, 4);
  if ((vol.attributes & volume::kErasePolarity) == 0)
    fail(volume::kAttributesOffset, "erase polarity 0 is not supported (free space must read 0xFF)");
  vol.baseAlignment = 1u << ((vol.attributes & volume::kAlignmentMask) >> volume::kAlignmentShift);
  vol.headerLength = static_cast<uint16_t>(Get(v + volume::kHeaderLengthOffset, 2));
  if (vol.headerLength < volume::kBlockMapOffset + 2 * volume::kBlockMapEntrySize || vol.headerLength > vol.length ||
      vol.headerLength % 2 != 0)
    fail(volume::kHeaderLengthOffset, "header length " + Hex(vol.headerLength) + " is impossible");
  if (const uint16_t sum = Sum16(v, vol.headerLength); sum != 0)
    fail(volume::kChecksumOffset, "bad header checksum " + Hex(Get(v + volume::kChecksumOffset, 2)) +
                                      " (the 16-bit sum of the header is " + Hex(sum) + ", not 0)");
  if (v[volume::kReservedOffset] != 0) fail(volume::kReservedOffset, "reserved byte is not 0");
  if (v[volume::kRevisionOffset] != volume::kRevision)
    fail(volume::kRevisionOffset, "revision " + std::to_string(v[volume::kRevisionOffset]) + " is not 2");
  uint64_t mapped = 0;
  uint32_t at = volume::kBlockMapOffset;
  for (;; at += volume::kBlockMapEntrySize) {
    if (at + volume::kBlockMapEntrySize > vol.headerLength) fail(at, "block map has no {0, 0} end inside the header");
    const uint32_t count = Get(v + at, 4), length = Get(v + at + 4, 4);
    if (count == 0 && length == 0) break;
    if (count == 0 || length == 0) fail(at, "block map entry with a zero count or length");
    vol.blockMap.emplace_back(count, length);
    mapped += uint64_t{count} * length;
  }
  if (at + volume::kBlockMapEntrySize != vol.headerLength)
    fail(at, "header length " + Hex(vol.headerLength) + " does not end with the block map");
  if (mapped != vol.length) fail(volume::kBlockMapOffset, "block map covers " + Hex(mapped) + " bytes, not the volume's length");

  uint32_t filesStart = vol.headerLength;
  if (const uint32_t ext = Get(v + volume::kExtHeaderOffsetOffset, 2); ext != 0) {
    if (ext < vol.headerLength || ext + uint64_t{volume::kExtHeaderMinSize} > vol.length)
      fail(volume::kExtHeaderOffsetOffset, "extended header offset " + Hex(ext) + " is outside the volume");
    const uint32_t extSize = Get(v + ext + 16, 4);
    if (extSize < volume::kExtHeaderMinSize || ext + uint64_t{extSize} > vol.length)
      fail(ext + 16, "extended header size " + Hex(extSize) + " is impossible");
    filesStart = ext + extSize;
  }

  const uint32_t length = static_cast<uint32_t>(vol.length);
  uint32_t offset = AlignUp(filesStart, file::kFileAlignment);
  for (uint32_t i = filesStart; i < offset && i < length; ++i)
    if (v[i] != 0xFF) fail(i, "byte before the first file is not erased (0xFF)");
  vol.freeSpaceOffset = length;
  std::set<Guid> names;  // of the files so far, pad files aside
  while (offset < length) {
    if (length - offset < file::kHeaderSize) {
      // Too little room for a header: it can only be free space.
      for (uint32_t i = offset; i < length; ++i)
        if (v[i] != 0xFF) fail(i, "truncated file header at the end of the volume");
      vol.freeSpaceOffset = offset;
      break;
    }
    const uint8_t* h = v + offset;
    if (std::all_of(h, h + file::kHeaderSize, [](uint8_t b) { return b == 0xFF; })) {
      vol.freeSpaceOffset = offset;
      for (uint32_t i = offset; i < length; ++i)
        if (v[i] != 0xFF) fail(i, "data in the free space after the last file");
      break;
    }
    File f;
    f.offset = offset;
    std::copy(h, h + 16, f.name.begin());
    f.type = h[file::kTypeOffset];
    f.attributes = h[file::kAttributesOffset];
    f.state = h[file::kStateOffset];
    f.size = Get(h + file::kSizeOffset, 3);
    // Messages are made only for a refusal: a volume may hold hundreds of thousands of files.
    const auto name = [&] { return "file " + hostlib::GuidText(f.name); };
    if (const uint8_t sum = FileHeaderSum(h); sum != 0)
      fail(offset, name() + ": bad header checksum " + Hex(h[file::kHeaderChecksumOffset]) + ", should be " +
                       Hex(static_cast<uint8_t>(h[file::kHeaderChecksumOffset] - sum)));
    if (f.state != file::kStateValidPolarity1)
      fail(offset + file::kStateOffset, name() + ": state byte " + Hex(f.state) + " is not a complete valid file (0xF8)");
    if ((f.attributes & file::kAttribLargeFile) != 0) fail(offset + file::kAttributesOffset, name() + ": large files are not supported");
    if ((f.attributes & ~file::kAttribKnown) != 0)
      fail(offset + file::kAttributesOffset, name() + ": unknown attribute bits " + Hex(f.attributes & ~file::kAttribKnown));
    if (f.size < file::kHeaderSize) fail(offset + file::kSizeOffset, name() + ": size " + Hex(f.size) + " is below the header's");
    if (f.size > length - offset)
      fail(offset + file::kSizeOffset, name() + ": truncated: " + Hex(f.size) + " bytes but the volume ends " +
                                           Hex(length - offset) + " bytes after its start");
    const uint8_t* data = h + file::kHeaderSize;
    const uint32_t dataSize = f.size - file::kHeaderSize;
    if ((f.attributes & file::kAttribChecksum) != 0) {
      uint8_t sum = h[file::kFileChecksumOffset];
      for (uint32_t i = 0; i < dataSize; ++i) sum = static_cast<uint8_t>(sum + data[i]);
      if (sum != 0) fail(offset + file::kFileChecksumOffset, name() + ": bad file checksum");
    } else if (h[file::kFileChecksumOffset] != file::kFixedFileChecksum) {
      fail(offset + file::kFileChecksumOffset, name() + ": file checksum byte " + Hex(h[file::kFileChecksumOffset]) +
                                                   " without the checksum attribute (should be 0xAA)");
    }
    f.dataAlignment = file::kDataAlignments[(f.attributes & file::kAttribDataAlignmentMask) >> file::kAttribDataAlignmentShift];
    if ((offset + file::kHeaderSize) % f.dataAlignment != 0)
      fail(offset, name() + ": data not aligned to " + Hex(f.dataAlignment) + " as its attribute asks");
    if (f.dataAlignment > vol.baseAlignment)
      fail(offset, name() + ": data alignment " + Hex(f.dataAlignment) + " is more than the volume's base alignment " +
                       Hex(vol.baseAlignment));
    if (f.type != file::kTypePad && !names.insert(f.name).second)
      fail(offset, name() + ": the name is used by an earlier file");

    if (f.type == file::kTypePad) {
      for (uint32_t i = 0; i < dataSize; ++i)
        if (data[i] != 0xFF) fail(offset + file::kHeaderSize + i, "pad file holds data");
    } else if (f.type != file::kTypeRaw) {
      // The file's sections, each 4-byte aligned from the file's start.
      uint32_t s = file::kHeaderSize;
      while (true) {
        s = AlignUp(s, section::kAlignment);
        if (s >= f.size) break;
        const uint32_t sectionAt = offset + s;
        if (f.size - s < section::kHeaderSize) fail(sectionAt, name() + ": section header runs past its file");
        Section sec;
        sec.offset = sectionAt;
        sec.size = Get(h + s, 3);
        sec.type = h[s + 3];
        const auto what = [&] { return name() + ": section type " + Hex(sec.type); };
        if (sec.size == section::kExtendedSize) fail(sectionAt, what() + ": extended sizes are not supported");
        if (sec.size < section::kHeaderSize) fail(sectionAt, what() + ": size " + Hex(sec.size) + " is below its header's");
        if (sec.size > f.size - s)
          fail(sectionAt, what() + ": " + Hex(sec.size) + " bytes run past its file (which ends " + Hex(f.size - s) +
                              " bytes after the section's start)");
        sec.dataOffset = sectionAt + section::kHeaderSize;
        sec.dataSize = sec.size - section::kHeaderSize;
        const std::span<const uint8_t> body(v + sec.dataOffset, sec.dataSize);
        const auto in = [&] { return where + ": at offset " + Hex(sectionAt) + ": " + what(); };
        try {
          switch (sec.type) {
            case section::kUserInterface: f.uiName = FromUcs2(body, in()); break;
            case section::kVersion:
              if (body.size() < 2) fail(sectionAt, what() + ": version section without a build number");
              f.buildNumber = static_cast<uint16_t>(Get(body.data(), 2));
              f.version = FromUcs2(body.subspan(2), in());
              break;
            case section::kPeiDepex: DepexText(body); break;
            default: break;  // images are checked where one is dispatched
          }
        } catch (const FvError& e) {
          if (std::string(e.what()).rfind(where, 0) == 0) throw;
          fail(sectionAt, what() + ": " + e.what());
        }
        f.sections.push_back(sec);
        s += sec.size;
      }
    }
    vol.files.push_back(std::move(f));
    const uint32_t next = AlignUp(offset + vol.files.back().size, file::kFileAlignment);
    for (uint32_t i = offset + vol.files.back().size; i < next && i < length; ++i)
      if (v[i] != 0xFF) fail(i, "byte between files is not erased (0xFF)");
    offset = next;
  }
  return vol;
}

}  // namespace fv
