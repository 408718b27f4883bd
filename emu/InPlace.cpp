#include "InPlace.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "Volume.h"

namespace emu {
namespace {

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

}  // namespace

FlashImage PlaceVolume(std::vector<uint8_t> bytes, std::string path, uint32_t flashBase) {
  fv::Volume volume;
  try {
    volume = fv::ReadVolume(bytes, path);
  } catch (const fv::FvError& e) {
    throw ImageError(e.what());
  }
  FlashImage f;
  f.path = path;
  f.source = "firmware volume in place";
  f.fileSize = static_cast<uint32_t>(bytes.size());
  f.flashBase = flashBase;
  f.dispatch.push_back("volume: " + std::to_string(bytes.size()) + " bytes at " + Hex(flashBase) +
                       ", FFSv2, header and file checksums good, " + std::to_string(volume.files.size()) + " files");
  std::vector<const fv::File*> peims;
  for (const fv::File& file : volume.files)
    if (file.type == fv::file::kTypePeim) peims.push_back(&file);
  if (peims.size() != 1)
    throw ImageError(path + ": holds " + std::to_string(peims.size()) + " PEIMs; the emulated machine dispatches one");
  const fv::File& peim = *peims[0];
  const std::string who = "PEIM " + fv::GuidText(peim.name) + (peim.uiName.empty() ? "" : " (" + peim.uiName + ")");
  f.dispatch.push_back(who + " at " + Hex(flashBase + peim.offset));
  f.fileHandle = flashBase + peim.offset;

  if (const fv::Section* depex = peim.Find(fv::section::kPeiDepex)) {
    const std::span<const uint8_t> expression(bytes.data() + depex->dataOffset, depex->dataSize);
    const std::vector<fv::Guid> installed = InstalledPpis();
    const auto isInstalled = [&](const fv::Guid& g) {
      return std::find(installed.begin(), installed.end(), g) != installed.end();
    };
    const std::string text = fv::DepexText(expression);
    if (!fv::EvaluateDepex(expression, isInstalled)) {
      std::string list;
      for (const fv::Guid& g : installed) list += (list.empty() ? "" : ", ") + fv::GuidText(g);
      throw ImageError(path + ": " + who + " is not dispatched: its dependency expression \"" + text +
                       "\" does not hold with the installed PPIs (" + list + ")");
    }
    f.dispatch.push_back("dependency expression \"" + text + "\" holds");
  } else {
    f.dispatch.push_back("no dependency expression: dispatched at once");
  }

  const fv::Section* image = peim.Find(fv::section::kTe);
  fv::ImageFormat format = fv::ImageFormat::Te;
  if (image == nullptr) {
    image = peim.Find(fv::section::kPe32);
    format = fv::ImageFormat::Pe32;
  }
  if (image == nullptr) throw ImageError(path + ": " + who + " has no PE32 or TE image section");
  const uint32_t address = flashBase + image->dataOffset;
  fv::ImageView view;
  try {
    view = fv::ViewImage({bytes.data() + image->dataOffset, image->dataSize}, format, address, path);
  } catch (const fv::FvError& e) {
    throw ImageError(e.what());
  }
  if (view.recordedBase != view.rvaZero) {
    const uint32_t builtFor = flashBase + (view.recordedBase - view.rvaZero);
    throw ImageError(path + ": the image was rebased for a volume at " + Hex(builtFor) +
                     " but the volume is mapped at " + Hex(flashBase) +
                     "; it runs only where it was built for (rebuild with FV_BASE=" + Hex(flashBase) +
                     " or map it with --fv-base " + Hex(builtFor) + ")");
  }
  f.format = fv::FormatName(format);
  f.imageBase = view.rvaZero;
  f.imageSize = view.sizeOfImage;
  f.entryRva = view.entryRva;
  f.dispatch.push_back(f.format + " image section at " + Hex(address) + ", rebased by the build to " +
                       Hex(view.recordedBase) + ", entry " + Hex(view.rvaZero + view.entryRva));
  f.flash = std::move(bytes);
  CheckPlacement(f);
  return f;
}

FlashImage LoadVolume(const std::string& path, uint32_t flashBase) {
  return PlaceVolume(ReadImageFile(path, "volume", kMaxImageBytes), path, flashBase);
}

}  // namespace emu
