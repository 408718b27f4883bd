// A stand-in PEI foundation for QEMU's PC machine: just enough of a PI PEI
// phase to dispatch StatusSinkPei from the firmware volume in this ROM and
// route status-code reports to the handlers it registers.
//
// - temporary RAM with the services table, the services pointer in the word
//   below the IDT base, the report-status-code handler PPI, a HOB list, the
//   stack (Reset.S has turned paging on so that it sits at a cache-as-RAM
//   address);
// - the firmware volume is walked as a PEI core walks it (volume header and
//   its checksum, file headers and their checksums and states, the PEIM's
//   dependency expression and its PE32 or TE section); the image runs in
//   place, so it must have been rebased to where it lies;
// - the report block (the ROM directory below this code says where it and
//   the volume are) gives the board's set-up (CMOS bytes, the host bridge's
//   register 0xDC, 0xCF8, the memory log header), the foundation's failure
//   switches and the reports, each delivered as often as it repeats to every
//   registered handler in registration order;
// - a summary goes to the second serial port, and isa-debug-exit ends QEMU.
//
// Nothing here is writable but temporary RAM: the foundation's state lives
// there, at a fixed place, and every service finds it through that address.
#include <stddef.h>
#include <stdint.h>

#include "start/ModuleEntry.h"  // HandlerPpiGuid: the PPI this foundation installs
#include "include/PiTypes.h"
#include "qemu/rom/RomFormat.h"
#include "platform/platform.h"

using namespace QemuRom;

extern "C" const uint32_t ExceptionEntryTable[32];  // Reset.S

namespace {


// Values set by the linker script (Rom.ld), read as immediates: taken as
// addresses of C++ objects, the compiler would treat RAM reached through
// them as part of those (constant) objects and drop the stores.
uint32_t TemporaryRamBase() {
  uint32_t value;
  __asm__("movl $TemporaryRamBase, %0" : "=r"(value));
  return value;
}
uint32_t TemporaryRamSize() {
  uint32_t value;
  __asm__("movl $TemporaryRamSize, %0" : "=r"(value));
  return value;
}
uint32_t TemporaryRamPhysical() {
  uint32_t value;
  __asm__("movl $TemporaryRamPhysical, %0" : "=r"(value));
  return value;
}
uint32_t PageDirectoryPhysical() {
  uint32_t value;
  __asm__("movl $PageDirectoryPhysical, %0" : "=r"(value));
  return value;
}
uint32_t PageTablePhysical() {
  uint32_t value;
  __asm__("movl $PageTablePhysical, %0" : "=r"(value));
  return value;
}
uint32_t StubBase() {
  uint32_t value;
  __asm__("movl $StubBase, %0" : "=r"(value));
  return value;
}
uint32_t RamBase() { return TemporaryRamBase(); }
uint32_t RamSize() { return TemporaryRamSize(); }
uint32_t Address(const void* pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

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

// The board.
constexpr uint16_t SummaryPort = 0x2F8;  // second serial port
constexpr uint16_t SerialLineStatus = 5;
constexpr uint8_t SerialTransmitEmpty = 0x20;
// One status read takes about 1 us; a transmitter that has not emptied in
// 100,000 of them is not going to: the byte is dropped.
constexpr uint32_t SerialWaitLimit = 100000;
constexpr uint16_t DebugExitPort = 0xF4;
constexpr uint16_t CmosIndexPort = 0x70;
constexpr uint16_t CmosDataPort = 0x71;
constexpr uint16_t PicMasterData = 0x21;
constexpr uint16_t PicSlaveData = 0xA1;
// The local APIC (at its reset address, mapped to itself) as board firmware
// leaves it in virtual-wire mode: enabled, LINT0 masked (the PICs are masked
// too), LINT1 delivering a non-maskable interrupt.
constexpr uint32_t LocalApicSpuriousVector = 0xFEE000F0u;
constexpr uint32_t LocalApicLint0 = 0xFEE00350u;
constexpr uint32_t LocalApicLint1 = 0xFEE00360u;
constexpr uint32_t LocalApicEnabled = 0x100;
constexpr uint32_t LocalApicSpurious = 0xFF;
constexpr uint32_t LocalApicMasked = 0x10000;
constexpr uint32_t LocalApicDeliverNmi = 0x400;
constexpr uint16_t PciConfigAddressPort = 0xCF8;
constexpr uint16_t PciConfigDataPort = 0xCFC;
constexpr uint32_t HostBridgeDcAddress = 0x800000DCu;  // bus 0, device 0, function 0, register 0xDC
constexpr uint32_t MemoryLogBase = 0x70000;
constexpr uint32_t MemoryLogSize = 0x10000;
constexpr uint32_t MemoryLogChunk = 64;  // bytes of the text area per summary line

// Page table entries.
constexpr uint32_t PagePresent = 0x001;
constexpr uint32_t PageWritable = 0x002;
constexpr uint32_t PageLarge = 0x080;  // a 4 MiB page (page size extension)
constexpr uint32_t PageSize = 0x1000;
constexpr uint32_t LargePageShift = 22;

// Firmware volume and file layouts (PI volume 3).
constexpr uint32_t FvLengthOffset = 32;
constexpr uint32_t FvSignatureOffset = 40;
constexpr uint32_t FvAttributesOffset = 44;
constexpr uint32_t FvHeaderLengthOffset = 48;
constexpr uint32_t FvExtHeaderOffsetOffset = 52;
constexpr uint32_t FvFileSystemGuidOffset = 16;
constexpr uint32_t FvSignature = 0x4856465Fu;  // "_FVH"
constexpr uint32_t FvErasePolarity = 0x00000800u;
constexpr uint32_t FvExtHeaderSizeOffset = 16;
constexpr EFI_GUID FileSystem2Guid = {0x8C8CE578u, 0x8A3Du, 0x4F1Cu, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};
constexpr EFI_GUID FileSystem3Guid = {0x5473C07Au, 0x3DCBu, 0x4DCAu, {0xBD, 0x6F, 0x1E, 0x96, 0x89, 0xE7, 0x34, 0x9A}};
constexpr uint32_t FileHeaderSize = 24;
constexpr uint32_t LargeFileHeaderSize = 32;
constexpr uint32_t FileChecksumOffset = 16;  // header checksum byte, then file checksum byte
constexpr uint32_t FileTypeOffset = 18;
constexpr uint32_t FileAttributesOffset = 19;
constexpr uint32_t FileSizeOffset = 20;
constexpr uint32_t FileStateOffset = 23;
constexpr uint32_t FileExtendedSizeOffset = 24;
constexpr uint8_t FileTypePeim = 0x06;
constexpr uint8_t FileAttributeLargeFile = 0x01;
constexpr uint8_t FileAttributeChecksum = 0x40;
constexpr uint8_t FileChecksumNone = 0xAA;
constexpr uint8_t FileStateDataValid = 0x04;
constexpr uint8_t FileStateMarkedForUpdate = 0x08;
constexpr uint32_t SectionHeaderSize = 4;
constexpr uint32_t SectionExtendedSizeOffset = 4;
constexpr uint32_t SectionLargeHeaderSize = 8;
constexpr uint8_t SectionPe32 = 0x10;
constexpr uint8_t SectionTe = 0x12;
constexpr uint8_t SectionPeiDepex = 0x1B;

// Dependency expression opcodes.
constexpr uint8_t DepexPush = 0x02;
constexpr uint8_t DepexAnd = 0x03;
constexpr uint8_t DepexOr = 0x04;
constexpr uint8_t DepexNot = 0x05;
constexpr uint8_t DepexTrue = 0x06;
constexpr uint8_t DepexFalse = 0x07;
constexpr uint8_t DepexEnd = 0x08;
constexpr uint32_t DepexStackDepth = 16;

// Image headers.
constexpr uint16_t DosSignature = 0x5A4D;  // "MZ"
constexpr uint32_t DosNewHeaderOffset = 0x3C;
constexpr uint32_t PeSignature = 0x00004550u;  // "PE\0\0"
constexpr uint16_t MachineI386 = 0x014C;
constexpr uint32_t PeMachineOffset = 4;
constexpr uint32_t PeOptionalHeaderOffset = 24;
constexpr uint16_t Pe32Magic = 0x010B;
constexpr uint32_t OptionalEntryPointOffset = 16;
constexpr uint32_t OptionalImageBaseOffset = 28;
constexpr uint32_t OptionalSectionAlignmentOffset = 32;
constexpr uint32_t OptionalFileAlignmentOffset = 36;
constexpr uint16_t TeSignature = 0x5A56;  // "VZ"
constexpr uint32_t TeHeaderSize = 40;
constexpr uint32_t TeMachineOffset = 2;
constexpr uint32_t TeStrippedSizeOffset = 6;
constexpr uint32_t TeEntryPointOffset = 8;
constexpr uint32_t TeImageBaseOffset = 16;

// HOBs.
constexpr uint16_t HobTypeHandoff = 0x0001;
constexpr uint32_t HandoffHobLength = 0x38;
constexpr uint32_t HandoffHobVersion = 0x0009;

constexpr uint32_t NmiVector = 2;

constexpr uint32_t MaxHandlers = 8;
constexpr uint32_t MaxCreatedHobs = 8;
constexpr uint32_t PpiFlagsPpiEndOfList = 0x80000010u;

struct PpiDescriptor {
  uint32_t Flags;
  const EFI_GUID* Guid;
  void* Ppi;
};

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
T* At(uint32_t offset) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(RamBase() + offset));
}
FoundationState* State() { return At<FoundationState>(StateOffset); }

uint8_t Read8(uint32_t address) { return *reinterpret_cast<const volatile uint8_t*>(static_cast<uintptr_t>(address)); }
uint16_t Read16(uint32_t address) {
  return *reinterpret_cast<const volatile uint16_t*>(static_cast<uintptr_t>(address));
}
uint32_t Read32(uint32_t address) {
  return *reinterpret_cast<const volatile uint32_t*>(static_cast<uintptr_t>(address));
}
void Write32(uint32_t address, uint32_t value) {
  *reinterpret_cast<volatile uint32_t*>(static_cast<uintptr_t>(address)) = value;
}

void CopyBytes(void* destination, const void* source, uint32_t length) {
  volatile uint8_t* to = static_cast<volatile uint8_t*>(destination);
  const volatile uint8_t* from = static_cast<const volatile uint8_t*>(source);
  for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
}

void FillBytes(uint32_t address, uint8_t value, uint32_t length) {
  volatile uint8_t* to = reinterpret_cast<volatile uint8_t*>(static_cast<uintptr_t>(address));
  for (uint32_t i = 0; i < length; ++i) to[i] = value;
}

BOOLEAN SameGuid(const EFI_GUID* a, const EFI_GUID* b) {
  const uint8_t* x = reinterpret_cast<const uint8_t*>(a);
  const uint8_t* y = reinterpret_cast<const uint8_t*>(b);
  for (uint32_t i = 0; i < sizeof(EFI_GUID); ++i)
    if (x[i] != y[i]) return FALSE;
  return TRUE;
}

// ---- summary output on the second serial port ----

void PutByte(uint8_t byte) {
  for (uint32_t polls = 0; polls < SerialWaitLimit; ++polls) {
    if ((IoRead8(SummaryPort + SerialLineStatus) & SerialTransmitEmpty) != 0) {
      IoWrite8(SummaryPort, byte);
      return;
    }
  }
}

void PutText(const char* text) {
  while (*text != '\0') PutByte(static_cast<uint8_t>(*text++));
}

constexpr char HexDigits[] = "0123456789ABCDEF";

void PutHex(uint32_t value) {
  PutByte(' ');
  for (int shift = 28; shift >= 0; shift -= 4) PutByte(static_cast<uint8_t>(HexDigits[(value >> shift) & 0xF]));
}

void PutHexBytes(uint32_t address, uint32_t length) {
  PutByte(' ');
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t byte = Read8(address + i);
    PutByte(static_cast<uint8_t>(HexDigits[byte >> 4]));
    PutByte(static_cast<uint8_t>(HexDigits[byte & 0xF]));
  }
}

void EndLine() { PutByte('\n'); }

[[noreturn]] void ExitQemu(uint8_t value) {
  IoWrite8(DebugExitPort, value);
  for (;;) __asm__ __volatile__("cli\n\thlt");
}

[[noreturn]] void Stop(const char* reason, uint32_t detail) {
  PutText("ERROR ");
  PutText(reason);
  PutHex(detail);
  EndLine();
  ExitQemu(ExitNoModule);
}

// A GUID in registry form: 8-4-4-4-12 hexadecimal digits.
void PutGuid(const uint8_t* guid) {
  static constexpr uint8_t Order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  PutByte(' ');
  for (uint32_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) PutByte('-');
    const uint8_t byte = guid[Order[i]];
    PutByte(static_cast<uint8_t>(HexDigits[byte >> 4]));
    PutByte(static_cast<uint8_t>(HexDigits[byte & 0xF]));
  }
}

// Stops at a file the foundation refuses, naming it by address and name GUID.
[[noreturn]] void StopAtFile(const char* reason, uint32_t file) {
  PutText("ERROR ");
  PutText(reason);
  PutHex(file);
  PutText(" file");
  PutGuid(reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(file)));
  EndLine();
  ExitQemu(ExitNoModule);
}

// ---- PEI services ----

EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES** PeiServices, const EFI_GUID* Guid, uint32_t Instance,
                            EFI_PEI_PPI_DESCRIPTOR** Descriptor, void** Ppi) {
  FoundationState* state = State();
  ++state->Calls.LocatePpi;
  state->Calls.LocatePpiServices = Address(PeiServices);
  if ((state->Block->Switches & SwitchFailLocatePpi) != 0) return EFI_NOT_FOUND;
  if (Guid == nullptr || Ppi == nullptr || !SameGuid(Guid, &HandlerPpiGuid) || Instance != 0) return EFI_NOT_FOUND;
  if (Descriptor != nullptr) *Descriptor = At<EFI_PEI_PPI_DESCRIPTOR>(PpiDescriptorOffset);
  *Ppi = (state->Block->Switches & SwitchNullPpi) != 0 ? nullptr : At<EFI_PEI_RSC_HANDLER_PPI>(HandlerPpiOffset);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetHobList(const EFI_PEI_SERVICES** PeiServices, void** HobList) {
  (void)PeiServices;
  FoundationState* state = State();
  ++state->Calls.GetHobList;
  if ((state->Block->Switches & SwitchFailGetHobList) != 0) return EFI_NOT_READY;
  if (HobList == nullptr) return EFI_INVALID_PARAMETER;
  *HobList = (state->Block->Switches & SwitchNullHobList) != 0 ? nullptr : At<void>(HobListOffset);
  return EFI_SUCCESS;
}

void WriteEndOfHobList(uint32_t at) {
  Write32(at, EFI_HOB_TYPE_END_OF_HOB_LIST | (sizeof(EFI_HOB_GENERIC_HEADER) << 16));
  Write32(at + 4, 0);
}

EFI_STATUS EFIAPI CreateHob(const EFI_PEI_SERVICES** PeiServices, uint16_t Type, uint16_t Length, void** Hob) {
  FoundationState* state = State();
  ++state->Calls.CreateHob;
  state->Calls.CreateHobServices = Address(PeiServices);
  // HOBs keep 8-byte alignment; the end-of-list HOB moves up behind the new one.
  const uint32_t rounded = (static_cast<uint32_t>(Length) + 7u) & ~7u;
  if ((state->Block->Switches & SwitchFailCreateHob) != 0 || Length < sizeof(EFI_HOB_GENERIC_HEADER) ||
      rounded > 0xFFFF || state->HobEnd + rounded + sizeof(EFI_HOB_GENERIC_HEADER) > HobListSize ||
      state->CreatedHobCount == MaxCreatedHobs)
    return EFI_OUT_OF_RESOURCES;
  if (Hob == nullptr) return EFI_INVALID_PARAMETER;
  const uint32_t hob = RamBase() + HobListOffset + state->HobEnd;
  FillBytes(hob, static_cast<uint8_t>(state->Block->NewHobFill), rounded);
  Write32(hob, Type | (rounded << 16));
  Write32(hob + 4, 0);
  state->HobEnd += rounded;
  WriteEndOfHobList(RamBase() + HobListOffset + state->HobEnd);
  state->CreatedHobs[state->CreatedHobCount++] = hob;
  *Hob = reinterpret_cast<void*>(static_cast<uintptr_t>(hob));
  return EFI_SUCCESS;
}

void EFIAPI CopyMem(void* Destination, const void* Source, uint32_t Length) {
  ++State()->Calls.CopyMem;
  CopyBytes(Destination, Source, Length);
}

EFI_STATUS EFIAPI UnsupportedService() {
  ++State()->Calls.Other;
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI Register(EFI_PEI_RSC_HANDLER_CALLBACK Callback) {
  FoundationState* state = State();
  const uint32_t call = state->Calls.Register++;
  if (call < 32 && (state->Block->FailRegisterMask & (1u << call)) != 0) return EFI_OUT_OF_RESOURCES;
  if (Callback == nullptr) return EFI_INVALID_PARAMETER;
  for (uint32_t i = 0; i < state->HandlerCount; ++i)
    if (state->Handlers[i] == Callback) return EFI_ALREADY_STARTED;
  if (state->HandlerCount == MaxHandlers) return EFI_OUT_OF_RESOURCES;
  state->Handlers[state->HandlerCount++] = Callback;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Unregister(EFI_PEI_RSC_HANDLER_CALLBACK Callback) {
  FoundationState* state = State();
  for (uint32_t i = 0; i < state->HandlerCount; ++i) {
    if (state->Handlers[i] != Callback) continue;
    for (uint32_t k = i + 1; k < state->HandlerCount; ++k) state->Handlers[k - 1] = state->Handlers[k];
    --state->HandlerCount;
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

// ---- temporary RAM, services table, PPI, HOB list, IDT ----

void SetUpEnvironment(const ReportBlockHeader* block) {
  FillBytes(RamBase(), 0, ReportAreaEnd);  // the stack above is in use
  FoundationState* state = State();
  state->Block = block;

  EFI_PEI_SERVICES* table = At<EFI_PEI_SERVICES>(ServicesTableOffset);
  EFI_PEI_UNUSED_SERVICE* slots = &table->InstallPpi;
  const uint32_t slotCount = (reinterpret_cast<uintptr_t>(&table->CpuIo) - reinterpret_cast<uintptr_t>(slots)) /
                             sizeof(EFI_PEI_UNUSED_SERVICE);
  for (uint32_t i = 0; i < slotCount; ++i) slots[i] = &UnsupportedService;
  table->Hdr.Signature = PEI_SERVICES_SIGNATURE;
  table->Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  table->LocatePpi = &LocatePpi;
  table->GetHobList = &GetHobList;
  table->CreateHob = &CreateHob;
  table->CopyMem = &CopyMem;
  *At<const EFI_PEI_SERVICES*>(ServicesPointerOffset) = table;

  EFI_PEI_RSC_HANDLER_PPI* ppi = At<EFI_PEI_RSC_HANDLER_PPI>(HandlerPpiOffset);
  ppi->Register = &Register;
  ppi->Unregister = &Unregister;
  PpiDescriptor* descriptor = At<PpiDescriptor>(PpiDescriptorOffset);
  descriptor->Flags = PpiFlagsPpiEndOfList;
  descriptor->Guid = &HandlerPpiGuid;
  descriptor->Ppi = ppi;

  // The HOB list starts with the handoff HOB that describes temporary RAM.
  const uint32_t hobs = RamBase() + HobListOffset;
  const uint32_t handoff[HandoffHobLength / 4] = {HobTypeHandoff | (HandoffHobLength << 16),
                                                  0,
                                                  HandoffHobVersion,
                                                  0,
                                                  RamBase(),
                                                  0,
                                                  RamBase() + RamSize(),
                                                  0,
                                                  RamBase(),
                                                  0,
                                                  hobs + HobListSize,
                                                  0,
                                                  hobs + HandoffHobLength + sizeof(EFI_HOB_GENERIC_HEADER),
                                                  0};
  for (uint32_t i = 0; i < HandoffHobLength / 4; ++i) Write32(hobs + 4 * i, handoff[i]);
  state->HobEnd = HandoffHobLength;
  WriteEndOfHobList(hobs + state->HobEnd);

  // Interrupt gates for the processor's exceptions; the services pointer below the table.
  const uint32_t idt = RamBase() + IdtOffset;
  for (uint32_t vector = 0; vector < 32; ++vector) {
    const uint32_t entry = ExceptionEntryTable[vector];
    Write32(idt + 8 * vector, (entry & 0xFFFFu) | (0x08u << 16));
    Write32(idt + 8 * vector + 4, (entry & 0xFFFF0000u) | 0x8E00u);  // present, ring 0, 32-bit interrupt gate
  }
  Write32(idt - 4, RamBase() + ServicesPointerOffset);
  struct __attribute__((packed)) {
    uint16_t Limit;
    uint32_t Base;
  } idtr = {IdtLimit, idt};
  __asm__ __volatile__("lidt %0" : : "m"(idtr));
}

// ---- the firmware volume ----

BOOLEAN Sum16IsZero(uint32_t address, uint32_t length) {
  uint16_t sum = 0;
  for (uint32_t i = 0; i + 1 < length; i += 2) sum = static_cast<uint16_t>(sum + Read16(address + i));
  return sum == 0 ? TRUE : FALSE;
}

uint8_t Sum8(uint32_t address, uint32_t length) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + Read8(address + i));
  return sum;
}

uint32_t Size24(uint32_t address) {
  return Read8(address) | (static_cast<uint32_t>(Read8(address + 1)) << 8) |
         (static_cast<uint32_t>(Read8(address + 2)) << 16);
}

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }

// The state bit that counts is the highest one set (bits are cleared one by
// one as a file is written when the erase polarity is 1).
uint8_t FileState(uint32_t file, BOOLEAN erasedIsOne) {
  uint8_t state = Read8(file + FileStateOffset);
  if (erasedIsOne) state = static_cast<uint8_t>(~state);
  uint8_t highest = 0x80;
  while (highest != 0 && (state & highest) == 0) highest = static_cast<uint8_t>(highest >> 1);
  return highest;
}

struct FoundModule {
  uint32_t File;
  uint32_t Image;   // the PE32 or TE section's image
  uint32_t Origin;  // where the image's relative address 0 lies
  uint32_t Entry;
  BOOLEAN IsTe;
  uint32_t Depex;
  uint32_t DepexLength;
};

// A PE32 image found at `image`: it runs in place, so it must have been
// linked or rebased to that address with sections laid out as in the file.
uint32_t Pe32Origin(uint32_t image) {
  if (Read16(image) != DosSignature) Stop("PE32 section without an MZ header at", image);
  const uint32_t pe = image + Read32(image + DosNewHeaderOffset);
  if (Read32(pe) != PeSignature || Read16(pe + PeMachineOffset) != MachineI386) Stop("not an IA32 PE image at", image);
  const uint32_t optional = pe + PeOptionalHeaderOffset;
  if (Read16(optional) != Pe32Magic) Stop("not a PE32 optional header at", optional);
  if (Read32(optional + OptionalImageBaseOffset) != image)
    Stop("image not rebased to its place in flash; its base is", Read32(optional + OptionalImageBaseOffset));
  if (Read32(optional + OptionalSectionAlignmentOffset) != Read32(optional + OptionalFileAlignmentOffset))
    Stop("image sections not laid out as in memory; section alignment",
         Read32(optional + OptionalSectionAlignmentOffset));
  return image;
}

uint32_t Pe32EntryPoint(uint32_t image) {
  const uint32_t optional = image + Read32(image + DosNewHeaderOffset) + PeOptionalHeaderOffset;
  return Read32(optional + OptionalEntryPointOffset);
}

// A TE image: the stripped PE headers are replaced by the 40-byte TE header,
// so offset 0 of the original image lies StrippedSize - 40 bytes before it.
uint32_t TeOrigin(uint32_t image) {
  if (Read16(image) != TeSignature || Read16(image + TeMachineOffset) != MachineI386)
    Stop("not an IA32 TE image at", image);
  const uint32_t origin = image + TeHeaderSize - Read16(image + TeStrippedSizeOffset);
  if (Read32(image + TeImageBaseOffset) != origin || Read32(image + TeImageBaseOffset + 4) != 0)
    Stop("TE image not rebased to its place in flash; its base is", Read32(image + TeImageBaseOffset));
  return origin;
}

// True when the dependency expression holds with the PPIs installed here
// (only the report-status-code handler PPI).
BOOLEAN DepexHolds(uint32_t depex, uint32_t length) {
  if (depex == 0) return TRUE;
  BOOLEAN stack[DepexStackDepth];
  uint32_t depth = 0;
  for (uint32_t at = depex; at < depex + length;) {
    const uint8_t opcode = Read8(at++);
    if (opcode == DepexPush) {
      if (depth == DepexStackDepth || at + sizeof(EFI_GUID) > depex + length) return FALSE;
      stack[depth++] = SameGuid(reinterpret_cast<const EFI_GUID*>(static_cast<uintptr_t>(at)), &HandlerPpiGuid);
      at += sizeof(EFI_GUID);
    } else if (opcode == DepexTrue || opcode == DepexFalse) {
      if (depth == DepexStackDepth) return FALSE;
      stack[depth++] = opcode == DepexTrue ? TRUE : FALSE;
    } else if (opcode == DepexAnd || opcode == DepexOr) {
      if (depth < 2) return FALSE;
      --depth;
      stack[depth - 1] = opcode == DepexAnd ? (stack[depth - 1] && stack[depth] ? TRUE : FALSE)
                                            : (stack[depth - 1] || stack[depth] ? TRUE : FALSE);
    } else if (opcode == DepexNot) {
      if (depth < 1) return FALSE;
      stack[depth - 1] = stack[depth - 1] ? FALSE : TRUE;
    } else if (opcode == DepexEnd) {
      return depth == 1 ? stack[0] : FALSE;
    } else {
      return FALSE;  // BEFORE, AFTER and SOR have no meaning in PEI
    }
  }
  return FALSE;
}

void FindSections(uint32_t body, uint32_t end, FoundModule* module, BOOLEAN isModule) {
  uint32_t section = AlignUp(body, 4);
  while (section + SectionHeaderSize <= end) {
    uint32_t size = Size24(section);
    uint32_t header = SectionHeaderSize;
    if (size == 0xFFFFFF) {
      size = Read32(section + SectionExtendedSizeOffset);
      header = SectionLargeHeaderSize;
    }
    if (size < header || size > end - section) Stop("section with a bad size at", section);
    const uint8_t type = Read8(section + 3);
    if (isModule && (type == SectionPe32 || type == SectionTe) && module->Image == 0) {
      module->Image = section + header;
      module->IsTe = type == SectionTe ? TRUE : FALSE;
      module->Origin = module->IsTe ? TeOrigin(module->Image) : Pe32Origin(module->Image);
      module->Entry =
          module->Origin + (module->IsTe ? Read32(module->Image + TeEntryPointOffset) : Pe32EntryPoint(module->Image));
    } else if (type == SectionPeiDepex && module->Depex == 0) {
      module->Depex = section + header;
      module->DepexLength = size - header;
    }
    section = AlignUp(section + size, 4);
  }
}

// Walks every file of the volume at `base` as a PEI core does: header and
// data checksums, states, sizes. Each valid PEIM is listed with whether its
// dependency expression holds; the one named `name` is the module, whose
// image is found. Other PEIMs are not run: this foundation runs the module only.
FoundModule FindModule(uint32_t base, const uint8_t* name, uint32_t* volumeLength) {
  if (Read32(base + FvSignatureOffset) != FvSignature) Stop("no firmware volume signature at", base);
  const uint32_t headerLength = Read16(base + FvHeaderLengthOffset);
  if (!Sum16IsZero(base, headerLength)) Stop("firmware volume header checksum wrong at", base);
  const EFI_GUID* fileSystem = reinterpret_cast<const EFI_GUID*>(static_cast<uintptr_t>(base + FvFileSystemGuidOffset));
  const BOOLEAN ffs3 = SameGuid(fileSystem, &FileSystem3Guid);
  if (!ffs3 && !SameGuid(fileSystem, &FileSystem2Guid)) Stop("unknown file system in volume at", base);
  const uint32_t length = Read32(base + FvLengthOffset);
  if (Read32(base + FvLengthOffset + 4) != 0 || length > StubBase() - sizeof(RomDirectory) - base)
    Stop("firmware volume overlaps the boot ROM's code; its length is", length);
  *volumeLength = length;
  const BOOLEAN erasedIsOne = (Read32(base + FvAttributesOffset) & FvErasePolarity) != 0 ? TRUE : FALSE;
  const uint8_t erasedByte = erasedIsOne ? 0xFF : 0x00;

  FoundModule found = {0, 0, 0, 0, FALSE, 0, 0};
  uint32_t file = base + headerLength;
  const uint32_t extHeader = Read16(base + FvExtHeaderOffsetOffset);
  if (extHeader != 0) file = base + extHeader + Read32(base + extHeader + FvExtHeaderSizeOffset);
  const uint32_t end = base + length;
  for (file = AlignUp(file, 8); file + FileHeaderSize <= end; file = AlignUp(file, 8)) {
    BOOLEAN erased = TRUE;
    for (uint32_t i = 0; i < FileHeaderSize && erased; ++i) erased = Read8(file + i) == erasedByte ? TRUE : FALSE;
    if (erased) break;  // free space: no more files
    const uint8_t attributes = Read8(file + FileAttributesOffset);
    uint32_t size = Size24(file + FileSizeOffset);
    uint32_t header = FileHeaderSize;
    if (ffs3 && (attributes & FileAttributeLargeFile) != 0) {
      size = Read32(file + FileExtendedSizeOffset);
      header = LargeFileHeaderSize;
    }
    if (size < header || size > end - file) StopAtFile("file with a bad size at", file);
    // The header checksum covers the header with its state and file checksum taken as 0.
    const uint8_t headerSum =
        static_cast<uint8_t>(Sum8(file, header) - Read8(file + FileStateOffset) - Read8(file + FileChecksumOffset + 1));
    if (headerSum != 0) StopAtFile("file header checksum wrong at", file);
    // The data checksum makes the data and itself sum to 0, or is the fixed 0xAA when not kept.
    const uint8_t fileChecksum = Read8(file + FileChecksumOffset + 1);
    const BOOLEAN dataGood = (attributes & FileAttributeChecksum) != 0
                                 ? static_cast<uint8_t>(Sum8(file + header, size - header) + fileChecksum) == 0
                                 : fileChecksum == FileChecksumNone;
    if (!dataGood) StopAtFile("file data checksum wrong at", file);
    const uint8_t state = FileState(file, erasedIsOne);
    if (Read8(file + FileTypeOffset) == FileTypePeim &&
        (state == FileStateDataValid || state == FileStateMarkedForUpdate)) {
      const uint8_t* fileName = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(file));
      BOOLEAN isModule = found.File == 0 ? TRUE : FALSE;
      for (uint32_t i = 0; i < sizeof(EFI_GUID) && isModule; ++i) isModule = fileName[i] == name[i] ? TRUE : FALSE;
      FoundModule peim = {file, 0, 0, 0, FALSE, 0, 0};
      FindSections(file + header, file + size, &peim, isModule);
      PutText("PEIM");
      PutHex(file);
      PutHex(DepexHolds(peim.Depex, peim.DepexLength));
      PutGuid(fileName);
      EndLine();
      if (isModule) {
        if (peim.Image == 0) StopAtFile("PEIM without a PE32 or TE section at", file);
        found = peim;
      }
    }
    file += size;
  }
  if (found.File == 0) Stop("no PEIM of the module's name in the firmware volume at", base);
  return found;
}

// ---- the board, the reports and the summary ----

void SetInterruptFlag(BOOLEAN enabled) {
  if (enabled) {
    EnableInterrupts();
  } else {
    DisableInterrupts();
  }
}

struct ProbeAddress {
  uint32_t Address;
  uint32_t Width;
};
constexpr ProbeAddress ProbeAddresses[] = {
    {0xE00C2000u, 4},  // configuration space of bus 0, device 24, function 2: vendor and device id
    {0xE0068000u, 2},  // the sideband bridge (bus 0, device 13): vendor id
    {0xFEA1007Cu, 1},  // the serial controller's fixed address: status register
    {0xD0900618u, 4},  // sideband port 0x90, offset 0x618
};

void SetUpBoard(const ReportBlockHeader* block) {
  // No interrupt may reach the (empty) handlers: both interrupt controllers masked.
  IoWrite8(PicMasterData, 0xFF);
  IoWrite8(PicSlaveData, 0xFF);
  // The host stops a boot with a non-maskable interrupt (see ReportException).
  Write32(LocalApicSpuriousVector, LocalApicEnabled | LocalApicSpurious);
  Write32(LocalApicLint0, LocalApicMasked);
  Write32(LocalApicLint1, LocalApicDeliverNmi);
  // Board firmware sets the chipset up before any PEIM runs: here the
  // register that gates the memory log. What the bridge keeps is reported.
  IoWrite32(PciConfigAddressPort, HostBridgeDcAddress);
  IoWrite32(PciConfigDataPort, block->HostBridgeDc);
  PutText("DC");
  PutHex(IoRead32(PciConfigDataPort));
  EndLine();
  IoWrite32(PciConfigAddressPort, block->PciAddressRegister);
  // What the board answers where the module looks for the chipset's serial
  // controller and sideband bridge (nothing of them exists on this machine).
  for (const ProbeAddress& probe : ProbeAddresses) {
    PutText("PROBE");
    PutHex(probe.Address);
    PutHex(probe.Width);
    PutHex(probe.Width == 1 ? Read8(probe.Address) : probe.Width == 2 ? Read16(probe.Address) : Read32(probe.Address));
    EndLine();
  }
  const CmosEntry* cmos = reinterpret_cast<const CmosEntry*>(block + 1);
  for (uint32_t i = 0; i < block->CmosCount; ++i) {
    IoWrite8(CmosIndexPort, cmos[i].Offset);
    IoWrite8(CmosDataPort, cmos[i].Value);
  }
  Write32(MemoryLogBase, block->MemoryLogHeader);
}

typedef EFI_STATUS(EFIAPI* ModuleEntryPoint)(const void* FileHandle, const EFI_PEI_SERVICES** PeiServices);

void DeliverReports(const ReportBlockHeader* block, const EFI_PEI_SERVICES** services) {
  FoundationState* state = State();
  const BOOLEAN interrupts = (block->Switches & SwitchInterruptsEnabled) != 0 ? TRUE : FALSE;
  const uint32_t blockStart = Address(block);
  uint32_t entry = blockStart + sizeof(ReportBlockHeader) + AlignUp(block->CmosCount * sizeof(CmosEntry), 4);
  const uint32_t reportArea = RamBase() + ReportAreaOffset, reportAreaEnd = RamBase() + ReportAreaEnd;
  uint32_t index = 0;  // deliveries so far, repeats counted
  for (uint32_t n = 0; n < block->ReportCount; ++n) {
    const ReportEntry* report = reinterpret_cast<const ReportEntry*>(static_cast<uintptr_t>(entry));
    if (report->Length < sizeof(ReportEntry) || report->Length > blockStart + block->Length - entry ||
        report->DataLength > report->Length - sizeof(ReportEntry))
      Stop("report block entry with a bad length at", entry);
    if (report->CallerAddress != 0 &&
        (report->CallerAddress < reportArea || report->CallerAddress + sizeof(EFI_GUID) > reportAreaEnd))
      Stop("caller GUID outside the report area at", report->CallerAddress);
    if (report->DataAddress != 0 &&
        (report->DataAddress < reportArea || report->DataLength > reportAreaEnd - report->DataAddress))
      Stop("data record outside the report area at", report->DataAddress);
    for (uint32_t k = 0; k < report->Repeat; ++k, ++index) {
      // The caller GUID and the data record go where the host laid them out
      // for, afresh for every delivery.
      if (report->CallerAddress != 0)
        CopyBytes(reinterpret_cast<void*>(static_cast<uintptr_t>(report->CallerAddress)), report->CallerGuid,
                  sizeof(EFI_GUID));
      if (report->DataAddress != 0)
        CopyBytes(reinterpret_cast<void*>(static_cast<uintptr_t>(report->DataAddress)), report + 1,
                  report->DataLength);
      PutText("D");
      PutHex(index);
      EndLine();
      // A handler that registers another does not change this report's walk.
      EFI_PEI_RSC_HANDLER_CALLBACK handlers[MaxHandlers];
      const uint32_t count = state->HandlerCount;
      for (uint32_t h = 0; h < count; ++h) handlers[h] = state->Handlers[h];
      for (uint32_t h = 0; h < count; ++h) {
        PutText("C");
        PutHex(index);
        PutHex(h);
        EndLine();
        // What a caller relies on after the call: the interrupt flag and the
        // host bridge's address register as they were.
        const uint32_t addressBefore = IoRead32(PciConfigAddressPort);
        SetInterruptFlag(interrupts);
        const EFI_STATUS status =
            handlers[h](services, report->Type, report->Value, report->Instance,
                        reinterpret_cast<const EFI_GUID*>(static_cast<uintptr_t>(report->CallerAddress)),
                        reinterpret_cast<const EFI_STATUS_CODE_DATA*>(static_cast<uintptr_t>(report->DataAddress)));
        const BOOLEAN interruptsAfter = InterruptsEnabled();
        DisableInterrupts();
        PutText("R");
        PutHex(index);
        PutHex(h);
        PutHex(status);
        PutHex(interruptsAfter);
        PutHex(addressBefore);
        PutHex(IoRead32(PciConfigAddressPort));
        EndLine();
      }
    }
    entry += report->Length;
  }
}

void WriteClosingSummary() {
  const FoundationState* state = State();
  for (uint32_t i = 0; i < state->CreatedHobCount; ++i) {
    const uint32_t hob = state->CreatedHobs[i];
    const uint32_t length = Read16(hob + 2);
    PutText("HOB");
    PutHex(hob);
    PutHex(length);
    PutHexBytes(hob, length);
    EndLine();
  }
  PutText("LOG");
  PutHex(Read32(MemoryLogBase));
  EndLine();
  // The text area in chunks; chunks still all 0 are left out.
  for (uint32_t chunk = 0; chunk < MemoryLogSize - 4; chunk += MemoryLogChunk) {
    const uint32_t start = MemoryLogBase + 4 + chunk;
    const uint32_t length = MemoryLogSize - 4 - chunk < MemoryLogChunk ? MemoryLogSize - 4 - chunk : MemoryLogChunk;
    BOOLEAN written = FALSE;
    for (uint32_t i = 0; i < length && !written; ++i) written = Read8(start + i) != 0 ? TRUE : FALSE;
    if (!written) continue;
    PutText("LOGAREA");
    PutHex(chunk);
    PutHexBytes(start, length);
    EndLine();
  }
  const ServiceCounts& calls = state->Calls;
  PutText("SERVICES");
  PutHex(calls.LocatePpi);
  PutHex(calls.Register);
  PutHex(calls.CreateHob);
  PutHex(calls.GetHobList);
  PutHex(calls.CopyMem);
  PutHex(calls.Other);
  PutHex(calls.LocatePpiServices);
  PutHex(calls.CreateHobServices);
  EndLine();
  PutText("END");
  EndLine();
}

}  // namespace

// Runs before paging, on the boot stack: page tables that map every address
// to itself with 4 MiB pages, except the 4 MiB around temporary RAM, which a
// page table maps page by page, temporary RAM onto low RAM. Answers CR3.
extern "C" uint32_t SetUpTemporaryRam() {
  const uint32_t directory = PageDirectoryPhysical(), table = PageTablePhysical();
  const uint32_t ramDirectoryEntry = RamBase() >> LargePageShift;
  for (uint32_t i = 0; i < 1024; ++i) {
    const uint32_t entry = i == ramDirectoryEntry ? table | PagePresent | PageWritable
                                                  : (i << LargePageShift) | PageLarge | PagePresent | PageWritable;
    Write32(directory + 4 * i, entry);
  }
  const uint32_t regionBase = ramDirectoryEntry << LargePageShift;
  for (uint32_t i = 0; i < 1024; ++i) {
    const uint32_t virtualAddress = regionBase + i * PageSize;
    const uint32_t physical =
        virtualAddress - RamBase() < RamSize() ? TemporaryRamPhysical() + (virtualAddress - RamBase()) : virtualAddress;
    Write32(table + 4 * i, physical | PagePresent | PageWritable);
  }
  return directory;
}

extern "C" [[noreturn]] void ReportException(const uint32_t* frame) {
  const uint32_t vector = frame[0];
  // The host stops a boot that went on too long (a blink loop, or its time
  // limit) with a non-maskable interrupt: the board's state is read back as
  // after the last report, and QEMU ends.
  if (vector == NmiVector) {
    EndLine();  // ends a summary line the interrupt may have cut
    PutText("STOPPED");
    EndLine();
    WriteClosingSummary();
    ExitQemu(ExitStopped);
  }
  const BOOLEAN hasErrorCode = (vector == 8 || (vector >= 10 && vector <= 14) || vector == 17) ? TRUE : FALSE;
  uint32_t cr2;
  __asm__ __volatile__("movl %%cr2, %0" : "=r"(cr2));
  PutText("FAULT");
  PutHex(vector);
  PutHex(hasErrorCode ? frame[1] : 0);
  PutHex(frame[hasErrorCode ? 2 : 1]);
  PutHex(cr2);
  EndLine();
  ExitQemu(ExitFault);
}

extern "C" [[noreturn]] void FoundationMain() {
  PutText("SSQ");
  PutHex(SummaryVersion);
  EndLine();
  const RomDirectory* directory =
      reinterpret_cast<const RomDirectory*>(static_cast<uintptr_t>(StubBase() - sizeof(RomDirectory)));
  if (directory->Signature != RomDirectorySignature) Stop("no ROM directory at", Address(directory));
  uint32_t volumeLength = 0;
  const FoundModule module = FindModule(directory->VolumeBase, directory->ModuleName, &volumeLength);

  const ReportBlockHeader* block =
      reinterpret_cast<const ReportBlockHeader*>(static_cast<uintptr_t>(directory->ReportBlock));
  if (directory->ReportBlock < directory->VolumeBase + volumeLength || block->Signature != ReportBlockSignature ||
      block->Version != ReportBlockVersion || block->Length > Address(directory) - Address(block))
    Stop("no report block after the firmware volume at", Address(block));

  SetUpEnvironment(block);
  SetUpBoard(block);
  PutText("MODULE");
  PutHex(module.File);
  PutHex(module.Image);
  PutHex(module.Origin);
  PutHex(module.Entry);
  PutText(module.IsTe ? " TE" : " PE32");
  EndLine();
  if (!DepexHolds(module.Depex, module.DepexLength))
    Stop("the PEIM's dependency expression does not hold; it is at", module.Depex);

  const EFI_PEI_SERVICES** services = At<const EFI_PEI_SERVICES*>(ServicesPointerOffset);
  SetInterruptFlag((block->Switches & SwitchInterruptsEnabled) != 0 ? TRUE : FALSE);
  const ModuleEntryPoint entry = reinterpret_cast<ModuleEntryPoint>(static_cast<uintptr_t>(module.Entry));
  const EFI_STATUS status = entry(reinterpret_cast<const void*>(static_cast<uintptr_t>(module.File)), services);
  DisableInterrupts();
  PutText("ENTRY");
  PutHex(status);
  EndLine();
  const FoundationState* state = State();
  for (uint32_t h = 0; h < state->HandlerCount; ++h) {
    PutText("HANDLER");
    PutHex(h);
    PutHex(reinterpret_cast<uintptr_t>(state->Handlers[h]));
    EndLine();
  }
  DeliverReports(block, services);
  WriteClosingSummary();
  ExitQemu(ExitDone);
}
