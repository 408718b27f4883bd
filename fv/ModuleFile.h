// StatusSinkPei as a firmware file: its file name GUID, user-interface name,
// version and dependency, and how a foundation finds it in a volume that
// may hold any number of other files. The one place these are written.
#ifndef STATUSSINK_FV_MODULEFILE_H
#define STATUSSINK_FV_MODULEFILE_H

#include <span>
#include <string>
#include <vector>

#include "fv/Volume.h"

namespace fv {

// 1E825F10-D9B4-40FA-8C83-1512FBFFD0F3 (made once with uuidgen -r).
constexpr Guid kModuleFileName = {0x10, 0x5F, 0x82, 0x1E, 0xB4, 0xD9, 0xFA, 0x40,
                                  0x8C, 0x83, 0x15, 0x12, 0xFB, 0xFF, 0xD0, 0xF3};
constexpr const char* kModuleUiName = "StatusSinkPei";
constexpr const char* kModuleVersion = "1.0";
constexpr uint16_t kModuleBuildNumber = 1;
constexpr uint32_t kDefaultVolumeBase = 0xFFFE0000u;  // the build's FV_BASE default

// The report-status-code handler PPI, which the module needs installed before it runs.
Guid HandlerPpi();

// Options that pack StatusSinkPei at `base` in `format`.
PackOptions ModulePackOptions(uint32_t base, ImageFormat format);

// "PEIM 1E825F10-... (StatusSinkPei)", for messages.
std::string FileTitle(const File& file);

// A PEIM of the volume as the foundation met it.
struct PeimSeen {
  size_t file = 0;      // index into Volume::files
  std::string depex;    // the expression as text; empty when the file has none
  bool holds = false;   // it holds with the installed PPIs (no expression: it holds)
};

// What the machines' PEI foundation makes of a volume mapped at `base`. It
// stands for a PEI core at the point where the PPIs in `installed` (the
// report-status-code handler PPI) are installed and nothing else is: every
// file is walked and checked (ReadVolume), every PEIM's dependency
// expression is evaluated against those PPIs, and the module is the PEIM
// named kModuleFileName. It is dispatched when its expression holds; its
// first image section (TE or PE32) passes the one image check (Image.h)
// and was rebased to where it lies, since nothing relocates it at boot.
// Every other PEIM is listed with its expression and not run. Throws
// FvError naming `where` with the reason it would not be dispatched.
struct Dispatch {
  Volume volume;
  std::vector<PeimSeen> peims;  // in volume order, the module among them
  size_t module = 0;            // index into volume.files
  std::string moduleDepex;      // as text; empty: none
  Section imageSection;          // the one the image came from
  PeFile image;                 // the image section's data, checked
  uint32_t imageAddress = 0;    // of the image section's data
  uint32_t rvaZero = 0;         // where the image's RVA 0 lies
  const File& Module() const { return volume.files[module]; }
};
Dispatch DispatchModule(std::span<const uint8_t> bytes, uint32_t base, const std::string& where,
                        std::span<const Guid> installed);

}  // namespace fv

#endif
