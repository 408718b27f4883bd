#include "fv/Placement.h"

#include <string>

#include "fv/Layout.h"

namespace fv::flash {

void CheckVolumePlacement(uint64_t base, uint64_t size) {
  const std::string what = "a volume of " + Hex32(size) + " bytes at " + Hex32(base);
  const std::string where = "; both machines run a volume on whole 4 KiB pages from " + Hex32(kLowest) +
                            " (the end of temporary RAM) to " + Hex32(kTop) + " (the PEI core page)";
  if (size == 0) throw FvError(what + " is empty");
  if (base % kPageSize != 0 || size % kPageSize != 0) throw FvError(what + " is not whole 4 KiB pages" + where);
  if (base < kLowest || base > kTop || size > kTop - base)
    throw FvError(what + " lies outside the flash both machines map" + where);
}

}  // namespace fv::flash
