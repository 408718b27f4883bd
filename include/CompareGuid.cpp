#include "include/PiTypes.h"

BOOLEAN CompareGuid(const EFI_GUID* A, const EFI_GUID* B) {
  const uint32_t* x = reinterpret_cast<const uint32_t*>(A);
  const uint32_t* y = reinterpret_cast<const uint32_t*>(B);
  return (x[0] == y[0] && x[1] == y[1] && x[2] == y[2] && x[3] == y[3]) ? TRUE : FALSE;
}
