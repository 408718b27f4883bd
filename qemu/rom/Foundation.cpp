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
//
// The parts: the summary on the second serial port (Summary.cpp), the PEI
// services and the environment around them (Services.cpp), the volume walk
// (VolumeWalk.cpp); this file sets up the board, calls the module's entry,
// delivers the reports and answers the processor's exceptions.
#include "qemu/rom/Foundation.h"

#include "platform/platform.h"

using namespace QemuRom;

namespace {

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

// Page table entries.
constexpr uint32_t PagePresent = 0x001;
constexpr uint32_t PageWritable = 0x002;
constexpr uint32_t PageLarge = 0x080;  // a 4 MiB page (page size extension)
constexpr uint32_t PageSize = 0x1000;
constexpr uint32_t LargePageShift = 22;

constexpr uint32_t NmiVector = 2;

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
