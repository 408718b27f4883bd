// What the parts of the QEMU boot ROM's stand-in PEI foundation share: the
// values the linker script sets, where things sit in temporary RAM, the
// foundation's state there, memory access that the compiler may not drop or
// merge, the summary the ROM writes to the second serial port, and the
// parts' entry points (qemu/rom/Foundation.cpp says what the foundation does).
#ifndef STATUSSINK_QEMU_ROM_FOUNDATION_H
#define STATUSSINK_QEMU_ROM_FOUNDATION_H

#include <stddef.h>
#include <stdint.h>

#include "include/PiTypes.h"
#include "qemu/rom/RomFormat.h"

namespace QemuRom {

// Values set by the linker script (Rom.ld), read as immediates: taken as
// addresses of C++ objects, the compiler would treat RAM reached through
// them as part of those (constant) objects and drop the stores.
inline uint32_t TemporaryRamBase() {
  uint32_t value;
  __asm__("movl $TemporaryRamBase, %0" : "=r"(value));
  return value;
}
inline uint32_t TemporaryRamSize() {
  uint32_t value;
  __asm__("movl $TemporaryRamSize, %0" : "=r"(value));
  return value;
}
inline uint32_t TemporaryRamPhysical() {
  uint32_t value;
  __asm__("movl $TemporaryRamPhysical, %0" : "=r"(value));
  return value;
}
inline uint32_t PageDirectoryPhysical() {
  uint32_t value;
  __asm__("movl $PageDirectoryPhysical, %0" : "=r"(value));
  return value;
}
inline uint32_t PageTablePhysical() {
  uint32_t value;
  __asm__("movl $PageTablePhysical, %0" : "=r"(value));
  return value;
}
inline uint32_t StubBase() {
  uint32_t value;
  __asm__("movl $StubBase, %0" : "=r"(value));
  return value;
}
inline uint32_t RamBase() { return TemporaryRamBase(); }
inline uint32_t RamSize() { return TemporaryRamSize(); }
inline uint32_t Address(const void* pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

// Where things sit in temporary RAM (offsets from its base).
constexpr uint32_t ServicesTableOffset = 0x0000;
constexpr uint32_t ServicesPointerOffset = 0x0100;
constexpr uint32_t HandlerPpiOffset = 0x0140;
constexpr uint32_t PpiDescriptorOffset = 0x0160;
constexpr uint32_t StateOffset = 0x0400;
constexpr uint32_t IdtOffset = 0x1000;  // the services pointer sits in the 4 bytes below
constexpr uint16_t IdtLimit = 0x7FF;    // 256 gates of 8 bytes
constexpr uint32_t HobListOffset = 0x2000;
constexpr uint32_t HobListSize = 0x10000;
constexpr uint32_t ReportAreaOffset = 0x12000;  // caller GUIDs and data records of the reports
constexpr uint32_t ReportAreaEnd = 0x30000;     // the stack is above

constexpr uint32_t MemoryLogBase = 0x70000;
constexpr uint32_t MemoryLogSize = 0x10000;

constexpr uint32_t MaxHandlers = 8;
constexpr uint32_t MaxCreatedHobs = 8;

struct ServiceCounts {
  uint32_t LocatePpi;
  uint32_t Register;
  uint32_t CreateHob;
  uint32_t GetHobList;
  uint32_t CopyMem;
  uint32_t Other;
  uint32_t LocatePpiServices;  // the PeiServices value of the last LocatePpi call
  uint32_t CreateHobServices;  // and of the last CreateHob call
};

// Everything the foundation keeps between calls.
struct FoundationState {
  const ReportBlockHeader* Block;
  EFI_PEI_RSC_HANDLER_CALLBACK Handlers[MaxHandlers];
  uint32_t HandlerCount;
  uint32_t HobEnd;  // offset of the end-of-list HOB in the HOB list
  uint32_t CreatedHobs[MaxCreatedHobs];
  uint32_t CreatedHobCount;
  ServiceCounts Calls;
};

template <typename T>
inline T* At(uint32_t offset) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(RamBase() + offset));
}
inline FoundationState* State() { return At<FoundationState>(StateOffset); }

inline uint8_t Read8(uint32_t address) {
  return *reinterpret_cast<const volatile uint8_t*>(static_cast<uintptr_t>(address));
}
inline uint16_t Read16(uint32_t address) {
  return *reinterpret_cast<const volatile uint16_t*>(static_cast<uintptr_t>(address));
}
inline uint32_t Read32(uint32_t address) {
  return *reinterpret_cast<const volatile uint32_t*>(static_cast<uintptr_t>(address));
}
inline void Write32(uint32_t address, uint32_t value) {
  *reinterpret_cast<volatile uint32_t*>(static_cast<uintptr_t>(address)) = value;
}

inline void CopyBytes(void* destination, const void* source, uint32_t length) {
  volatile uint8_t* to = static_cast<volatile uint8_t*>(destination);
  const volatile uint8_t* from = static_cast<const volatile uint8_t*>(source);
  for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
}

inline void FillBytes(uint32_t address, uint8_t value, uint32_t length) {
  volatile uint8_t* to = reinterpret_cast<volatile uint8_t*>(static_cast<uintptr_t>(address));
  for (uint32_t i = 0; i < length; ++i) to[i] = value;
}

inline BOOLEAN SameGuid(const EFI_GUID* a, const EFI_GUID* b) {
  const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
  for (uint32_t i = 0; i < sizeof(EFI_GUID); ++i)
    if (x[i] != y[i]) return FALSE;
  return TRUE;
}

inline uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// The summary on the second serial port (Summary.cpp): lines of words, each
// value in hexadecimal after a space.
void PutByte(uint8_t byte);
void PutText(const char* text);
void PutHex(uint32_t value);
void PutHexBytes(uint32_t address, uint32_t length);
void PutGuid(const uint8_t* guid);  // registry form: 8-4-4-4-12 hexadecimal digits
void EndLine();
[[noreturn]] void ExitQemu(uint8_t value);
// Ends the boot with an ERROR line: what went wrong and a value that says where.
[[noreturn]] void Stop(const char* reason, uint32_t detail);
// The same at a file the foundation refuses, naming it by address and name GUID.
[[noreturn]] void StopAtFile(const char* reason, uint32_t file);
// The created HOBs, the memory log, the service calls, then END.
void WriteClosingSummary();

// Temporary RAM, the services table, the handler PPI, the HOB list and the IDT (Services.cpp).
void SetUpEnvironment(const ReportBlockHeader* block);

// The firmware volume, walked as a PEI core walks it (VolumeWalk.cpp).
struct FoundModule {
  uint32_t File;
  uint32_t Image;   // the PE32 or TE section's image
  uint32_t Origin;  // where the image's relative address 0 lies
  uint32_t Entry;
  BOOLEAN IsTe;
  uint32_t Depex;
  uint32_t DepexLength;
};
// Walks every file of the volume at `base`: header and data checksums,
// states, sizes. Each valid PEIM is listed with whether its dependency
// expression holds; the one named `name` is the module, whose image is found.
// Other PEIMs are not run: this foundation runs the module only.
FoundModule FindModule(uint32_t base, const uint8_t* name, uint32_t* volumeLength);
// True when the dependency expression holds with the PPIs installed here
// (only the report-status-code handler PPI).
BOOLEAN DepexHolds(uint32_t depex, uint32_t length);

}  // namespace QemuRom

#endif
