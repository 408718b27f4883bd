#include "fv/ModuleFile.h"

#include <algorithm>
#include <cstring>

#include "fv/Placement.h"
#include "include/PiTypes.h"

namespace fv {

Guid HandlerPpi() {
  // EFI_GUID's fields are little endian in memory, as on this host.
  static_assert(sizeof(EFI_GUID) == sizeof(Guid));
  Guid g;
  std::memcpy(g.data(), &HandlerPpiGuid, g.size());
  return g;
}

PackOptions ModulePackOptions(uint32_t base, ImageFormat format) {
  PackOptions o;
  o.fileName = kModuleFileName;
  o.depexPpis = {HandlerPpi()};
  o.uiName = kModuleUiName;
  o.buildNumber = kModuleBuildNumber;
  o.version = kModuleVersion;
  o.format = format;
  o.base = base;
  return o;
}

std::string FileTitle(const File& file) {
  const char* kind = file.type == file::kTypePeim ? "PEIM " : file.type == file::kTypePad ? "pad file " : "file ";
  return kind + hostlib::GuidText(file.name) + (file.uiName.empty() ? "" : " (" + file.uiName + ")");
}

Dispatch DispatchModule(std::span<const uint8_t> bytes, uint32_t base, const std::string& where,
                        std::span<const Guid> installed) {
  Dispatch d;
  d.volume = ReadVolume(bytes, where);
  const auto isInstalled = [&](const Guid& g) { return std::find(installed.begin(), installed.end(), g) != installed.end(); };
  std::string listed;
  bool found = false;
  for (size_t i = 0; i < d.volume.files.size(); ++i) {
    const File& f = d.volume.files[i];
    if (f.name == kModuleFileName && f.type != file::kTypePeim)
      throw FvError(where + ": at offset " + Hex32(f.offset) + ": the file named " + hostlib::GuidText(f.name) +
                    " is not a PEIM (type " + Hex32(f.type) + ")");
    if (f.type != file::kTypePeim) continue;
    PeimSeen seen;
    seen.file = i;
    seen.holds = true;
    if (const Section* depex = f.Find(section::kPeiDepex)) {
      const std::span<const uint8_t> expression(bytes.data() + depex->dataOffset, depex->dataSize);
      seen.depex = DepexText(expression);
      seen.holds = EvaluateDepex(expression, isInstalled);
    }
    if (f.name == kModuleFileName) {
      d.module = i;
      d.moduleDepex = seen.depex;
      found = true;
    }
    listed += (listed.empty() ? "" : ", ") + FileTitle(f);
    d.peims.push_back(std::move(seen));
  }
  if (!found)
    throw FvError(where + ": holds no PEIM named " + hostlib::GuidText(kModuleFileName) + " (" + kModuleUiName +
                  "); its PEIMs: " + (listed.empty() ? "none" : listed));
  const File& module = d.Module();
  const std::string who = where + ": at offset " + Hex32(module.offset) + ": " + FileTitle(module);
  const auto seen = std::find_if(d.peims.begin(), d.peims.end(), [&](const PeimSeen& p) { return p.file == d.module; });
  if (!seen->holds) {
    std::string ppis;
    for (const Guid& g : installed) ppis += (ppis.empty() ? "" : ", ") + hostlib::GuidText(g);
    throw FvError(who + " is not dispatched: its dependency expression \"" + seen->depex +
                  "\" does not hold with the installed PPIs (" + ppis + ")");
  }

  const auto image = std::find_if(module.sections.begin(), module.sections.end(), [](const Section& s) {
    return s.type == section::kTe || s.type == section::kPe32;
  });
  if (image == module.sections.end()) throw FvError(who + " has no PE32 or TE image section");
  d.imageSection = *image;
  const ImageFormat format = image->type == section::kTe ? ImageFormat::Te : ImageFormat::Pe32;
  d.image = ParseImageSection(bytes.subspan(image->dataOffset, image->dataSize), format,
                              who + ": " + FormatName(format) + " image section");
  d.imageAddress = base + image->dataOffset;
  d.rvaZero = RvaZero(d.image, d.imageAddress);
  if (d.image.imageBase != d.rvaZero) {
    const uint32_t shift = d.image.imageBase - d.rvaZero;
    const uint32_t packedFor = base + shift;
    // A shift of whole pages that lands on a place both machines run: the
    // volume was moved whole after packing. Anything else: the file was moved.
    bool wholeVolume = shift % flash::kPageSize == 0;
    if (wholeVolume) {
      try {
        CheckVolumePlacement(packedFor, bytes.size());
      } catch (const FvError&) {
        wholeVolume = false;
      }
    }
    throw FvError(who + ": the image lies at " + Hex32(d.rvaZero) + " but was rebased for " + Hex32(d.image.imageBase) +
                  ", and nothing relocates an image that runs in place: the file was moved after it was packed "
                  "(add it with 'fvpack insert', which rebases it to where it lands)" +
                  (wholeVolume ? "; or, if the whole volume was packed for " + Hex32(packedFor) +
                                     ", map it there (--fv-base " + Hex32(packedFor) + ")"
                               : std::string()));
  }
  return d;
}

}  // namespace fv
