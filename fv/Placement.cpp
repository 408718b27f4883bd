#include "Placement.h"

#include <cstdio>
#include <string>

#include "Layout.h"

namespace fv::flash {
namespace {

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

void CheckVolumePlacement(uint64_t base, uint64_t size) {
  const std::string what = "a volume of " + Hex(size) + " bytes at " + Hex(base);
  const std::string where = "; both machines run a volume on whole 4 KiB pages from " + Hex(kLowest) +
                            " (the end of temporary RAM) to " + Hex(kTop) + " (the PEI core page)";
  if (size == 0) throw FvError(what + " is empty");
  if (base % kPageSize != 0 || size % kPageSize != 0) throw FvError(what + " is not whole 4 KiB pages" + where);
  if (base < kLowest || base > kTop || size > kTop - base)
    throw FvError(what + " lies outside the flash both machines map" + where);
}

}  // namespace fv::flash
