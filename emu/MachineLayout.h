// Where things sit in the emulated machine's physical address space.
#ifndef STATUSSINK_EMU_MACHINELAYOUT_H
#define STATUSSINK_EMU_MACHINELAYOUT_H

#include <cstdint>

#include "scenario/Scenario.h"

namespace emu::layout {

constexpr uint32_t kPageSize = 0x1000;
constexpr uint64_t kAddressSpaceEnd = 0x100000000ull;
constexpr uint32_t kTempRamBase = 0xFEF00000u;  // temporary RAM (cache as RAM) of the PEI phase
constexpr uint32_t kTempRamSize = 0x40000u;
constexpr uint32_t kServicesTable = kTempRamBase + 0x000;
constexpr uint32_t kServicesPointer = kTempRamBase + 0x100;  // the EFI_PEI_SERVICES** handed to the module
constexpr uint32_t kHandlerPpi = kTempRamBase + 0x140;
constexpr uint32_t kPpiDescriptor = kTempRamBase + 0x160;
constexpr uint32_t kPpiGuid = kTempRamBase + 0x170;
constexpr uint32_t kGdt = kTempRamBase + 0x200;
constexpr uint32_t kIdtBase = kTempRamBase + 0x1000;  // the services pointer sits in the 4 bytes below
constexpr uint32_t kIdtLimit = 0x7FF;                // 256 gates of 8 bytes
constexpr uint32_t kHobList = kTempRamBase + 0x2000;
constexpr uint32_t kReportArea = scenario::kReportDataAddress - 16;  // caller GUID, then the data record
static_assert(kReportArea == kTempRamBase + 0x12000);
constexpr uint32_t kReportAreaSize = 0x11000;
constexpr uint32_t kStackBottom = kTempRamBase + 0x30000;
constexpr uint32_t kStackTop = kTempRamBase + kTempRamSize;
constexpr uint32_t kThunkPage = 0xFFFF0000u;  // host-implemented PEI core code
constexpr uint32_t kReturnThunk = kThunkPage + 0xFF0;  // where calls from the dispatcher return to
constexpr uint32_t kNeverReached = kThunkPage + 0xFF8;  // uc_emu_start's end address; calls stop at kReturnThunk
constexpr uint32_t kFlashTop = kThunkPage;  // the image ends at or below this address
constexpr uint32_t kFileHandle = 0xFFF00000u;  // the module's FFS file, as the dispatcher would pass it

}  // namespace emu::layout

#endif
