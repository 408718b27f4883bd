#include "Platform.h"

namespace sim {

Platform::Platform() { bus.Attach(postCodes); }

}  // namespace sim
