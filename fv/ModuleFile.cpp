#include "ModuleFile.h"

#include <cstring>

#include "PiTypes.h"

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

}  // namespace fv
