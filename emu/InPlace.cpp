#include "emu/InPlace.h"

#include "fv/InputFile.h"
#include "fv/ModuleFile.h"
#include "fv/Placement.h"

namespace emu {
namespace {

// The machine stands where its PEI core page and temporary RAM stand on both machines.
static_assert(fv::flash::kTop == layout::kThunkPage);
static_assert(fv::flash::kTempRamBase == layout::kTempRamBase && fv::flash::kTempRamSize == layout::kTempRamSize);

}  // namespace

FlashImage PlaceVolume(std::vector<uint8_t> bytes, std::string path, uint32_t flashBase) {
  fv::CheckVolumePlacement(flashBase, bytes.size());
  const std::vector<fv::Guid> installed = InstalledPpis();
  const fv::Dispatch d = fv::DispatchModule(bytes, flashBase, path, installed);
  FlashImage f;
  f.path = path;
  f.source = "firmware volume in place";
  f.fileSize = static_cast<uint32_t>(bytes.size());
  f.flashBase = flashBase;
  f.dispatch.push_back("volume: " + std::to_string(bytes.size()) + " bytes at " + hostlib::Hex32(flashBase) +
                       ", FFSv2, header and file checksums good, " + std::to_string(d.volume.files.size()) + " files");
  for (const fv::PeimSeen& p : d.peims) {
    const fv::File& file = d.volume.files[p.file];
    const std::string expression =
        p.depex.empty() ? "no dependency expression" : "dependency expression \"" + p.depex + "\"";
    if (p.file == d.module)
      f.dispatch.push_back(fv::FileTitle(file) + " at " + hostlib::Hex32(flashBase + file.offset) + ": " + expression +
                           " holds: dispatched");
    else
      f.dispatch.push_back(fv::FileTitle(file) + " at " + hostlib::Hex32(flashBase + file.offset) + ": " + expression +
                           (p.holds ? " holds" : " does not hold") + ": not run here");
  }
  f.fileHandle = flashBase + d.Module().offset;
  f.format = fv::FormatName(d.image.format);
  f.imageBase = d.rvaZero;
  f.imageSize = d.image.sizeOfImage;
  f.entryRva = d.image.entryRva;
  f.dispatch.push_back(f.format + " image section at " + hostlib::Hex32(d.imageAddress) + ", rebased by the packer to " +
                       hostlib::Hex32(d.image.imageBase) + ", entry " + hostlib::Hex32(d.rvaZero + d.image.entryRva));
  f.flash = std::move(bytes);
  CheckPlacement(f);
  return f;
}

FlashImage LoadVolume(const std::string& path, uint32_t flashBase) {
  return PlaceVolume(fv::ReadInputFile(path, {"firmware volume", fv::kMaxVolumeFileBytes}), path, flashBase);
}

}  // namespace emu
