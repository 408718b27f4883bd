#include "PiTypes.h"

BOOLEAN CompareGuid(const EFI_GUID* a, const EFI_GUID* b) {
  const uint32_t* x = reinterpret_cast<const uint32_t*>(a);
  const uint32_t* y = reinterpret_cast<const uint32_t*>(b);
  return (x[0] == y[0] && x[1] == y[1] && x[2] == y[2] && x[3] == y[3]) ? TRUE : FALSE;
}
