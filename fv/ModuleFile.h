// StatusSinkPei as a firmware file: its file name GUID, user-interface name,
// version and dependency. The one place these are written.
#ifndef STATUSSINK_FV_MODULEFILE_H
#define STATUSSINK_FV_MODULEFILE_H

#include "Volume.h"

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

}  // namespace fv

#endif
