#include "emu/Emulator.h"

#include "fv/ModuleFile.h"
#include "hostlib/Text.h"
#include "include/PiTypes.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

namespace emu {
namespace {

using namespace layout;

constexpr uint32_t kPageSize = 0x1000;
constexpr uint64_t kAddressSpaceEnd = 0x100000000ull;
constexpr uint32_t kFlagsInterrupt = 0x200;
constexpr uint32_t kFlagsReserved = 0x2;
constexpr uint16_t kPostCodePort = 0x80;
// A report's data record: this header, then the Size bytes the header declares.
constexpr uint32_t kRecordHeaderBytes = sizeof(EFI_STATUS_CODE_DATA);

// The thunk page: one 16-byte slot per service the table points at.
enum Thunk : uint32_t {
  kThunkLocatePpi,
  kThunkGetHobList,
  kThunkCreateHob,
  kThunkCopyMem,
  kThunkRegister,
  kThunkUnregister,
  kThunkUnsupported0,  // one per remaining table slot, so a stray call names its service
};
constexpr uint32_t ThunkAddress(uint32_t thunk) { return kThunkPage + 16 * thunk; }

// The 26 pointer slots after the table header, named for fault reports.
constexpr const char* kServiceNames[] = {
    "InstallPpi", "ReInstallPpi", "LocatePpi", "NotifyPpi", "GetBootMode", "SetBootMode",
    "GetHobList", "CreateHob", "FfsFindNextVolume", "FfsFindNextFile", "FfsFindSectionData",
    "InstallPeiMemory", "AllocatePages", "AllocatePool", "CopyMem", "SetMem", "ReportStatusCode",
    "ResetSystem", "CpuIo", "PciCfg"};
constexpr uint32_t kServiceSlots = sizeof(kServiceNames) / sizeof(kServiceNames[0]);

// The one PPI the machine installs: the report-status-code handler PPI.
const fv::Guid kHandlerPpiGuid = fv::HandlerPpi();

// The handoff HOB (PHIT) the PEI core starts its HOB list with.
constexpr uint16_t kHobTypeHandoff = 0x0001;
constexpr uint16_t kHandoffHobLength = 0x38;
constexpr uint32_t kBootWithFullConfiguration = 0;

using hostlib::Hex;

void Check(uc_err err, const std::string& what) {
  if (err != UC_ERR_OK) throw std::runtime_error("emulator: " + what + ": " + uc_strerror(err));
}

Emulator* Self(void* p) { return static_cast<Emulator*>(p); }

}  // namespace

struct Emulator::MmioRegion {
  Emulator* emulator;
  uint32_t base;
};

void CheckPlacement(const FlashImage& f) {
  const uint64_t size = f.flash.size(), end = uint64_t{f.flashBase} + size;
  if (size == 0 || f.flashBase % kPageSize != 0 || size % kPageSize != 0)
    throw ImageError(f.path + ": flash at " + Hex(f.flashBase) + " of " + Hex(size) + " bytes is not whole 4 KiB pages");
  // Flash must not cover what the machine itself keeps: low memory, temporary RAM, the PEI core page.
  const char* kept = f.flashBase < 0x100000                                            ? "low memory (below 1 MiB)"
                     : f.flashBase < kTempRamBase + kTempRamSize && end > kTempRamBase ? "temporary RAM"
                     : end > kThunkPage                                                ? "the PEI core page"
                                                                                       : nullptr;
  if (kept != nullptr)
    throw ImageError(f.path + ": flash at " + Hex(f.flashBase) + ".." + Hex(end - 1) + " overlaps " + kept +
                     " of the emulated machine (temporary RAM " + Hex(kTempRamBase) + ".." +
                     Hex(kTempRamBase + kTempRamSize - 1) + ", PEI core page " + Hex(kThunkPage) + ")");
  const uint64_t entry = uint64_t{f.imageBase} + f.entryRva;
  if (entry < f.flashBase || entry >= end)
    throw ImageError(f.path + ": entry point " + Hex(entry) + " lies outside the flash");
}

FlashImage PlaceRelocated(const PeImage& image) {
  FlashImage f;
  f.path = image.path;
  f.source = "relocated .efi";
  f.format = "PE32";
  f.fileSize = static_cast<uint32_t>(image.bytes.size());
  f.imageSize = image.sizeOfImage;
  f.entryRva = image.entryRva;
  const uint32_t mapped = (image.sizeOfImage + kPageSize - 1) & ~(kPageSize - 1);
  const uint32_t span = (mapped + 0xFFFF) & ~0xFFFFu;
  f.imageBase = f.flashBase = kFlashTop - span;
  // The file is the image laid out (the check holds it to that): rebased, it is what flash holds.
  f.flash = fv::Rebase(image, f.imageBase).bytes;
  f.relocations = image.relocations;
  f.flash.resize(image.sizeOfImage);
  f.flash.resize(mapped, 0);
  CheckPlacement(f);
  return f;
}

std::vector<std::array<uint8_t, 16>> InstalledPpis() {
  return {kHandlerPpiGuid};
}

Emulator::Emulator(FlashImage image, sim::Platform& platform, const scenario::PlatformConfig& config,
                   const scenario::Limits& limits)
    : image_(std::move(image)), platform_(platform), config_(config), limits_(limits), pei_(config.pei), uc_(nullptr, [](uc_struct* u) {
        if (u != nullptr) uc_close(u);
      }) {
  uc_engine* raw = nullptr;
  Check(uc_open(UC_ARCH_X86, UC_MODE_32, &raw), "opening the CPU");
  uc_.reset(raw);

  imageSize_ = image_.imageSize;
  imageBase_ = image_.imageBase;
  relocations_ = image_.relocations;
  flashBase_ = image_.flashBase;
  flashSize_ = static_cast<uint32_t>(image_.flash.size());
  blockCounts_.assign(flashSize_, BlockCount{});
  CheckPlacement(image_);
  uc_engine* uc = uc_.get();
  // The flash, read and execute only: the image runs in place from it.
  Check(uc_mem_map(uc, flashBase_, flashSize_, UC_PROT_ALL), "mapping the flash");
  Check(uc_mem_write(uc, flashBase_, image_.flash.data(), flashSize_), "writing the flash");
  Check(uc_mem_protect(uc, flashBase_, flashSize_, UC_PROT_READ | UC_PROT_EXEC), "protecting the flash");
  // Host thunks: a page of `hlt` that the code hook intercepts before it executes.
  Check(uc_mem_map(uc, kThunkPage, kPageSize, UC_PROT_ALL), "mapping the thunks");
  const std::vector<uint8_t> halts(kPageSize, 0xF4);
  Check(uc_mem_write(uc, kThunkPage, halts.data(), halts.size()), "writing the thunks");
  Check(uc_mem_protect(uc, kThunkPage, kPageSize, UC_PROT_READ | UC_PROT_EXEC), "protecting the thunks");
  // Temporary RAM below the stack is ordinary guest RAM. The stack is RAM
  // that the emulator keeps itself, reached through device-style callbacks:
  // Unicorn 2.0.1 allocates and frees a tree on every guest store to its own
  // RAM, and nearly every store of a handler call goes to the stack. The
  // callbacks also see each stack store's address for the deepest stack use.
  // Newer Unicorn versions take the same path (a device mapping is part of
  // the stable API).
  Check(uc_mem_map(uc, kTempRamBase, kStackBottom - kTempRamBase, UC_PROT_READ | UC_PROT_WRITE),
        "mapping temporary RAM");
  stack_.assign(kStackTop - kStackBottom, 0);
  Check(uc_mmio_map(uc, kStackBottom, kStackTop - kStackBottom, &OnStackRead, this, &OnStackWrite, this),
        "mapping the stack");

  // Everything else belongs to the bus: each stretch between the mappings
  // above is one device-style mapping whose accesses go to sim::Machine
  // (decoded by a device, or floating: reads all ones, writes lost and
  // reported). A fixed handful of mappings, however many distinct addresses a
  // wild pointer touches: Unicorn 2.0.1 aborts once about 4,000 mappings exist.
  MapBus();
  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&OnImageBlock), this, flashBase_,
                    flashBase_ + flashSize_ - 1),
        "hooking the image");
  Check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&OnThunkCode), this, kThunkPage,
                    kThunkPage + kPageSize - 1),
        "hooking the thunks");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&OnIn), this, 1, 0, UC_X86_INS_IN), "hooking in");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&OnOut), this, 1, 0, UC_X86_INS_OUT), "hooking out");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&OnRamWrite), this, kTempRamBase,
                    kStackBottom - 1),
        "hooking RAM writes");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(&OnRecordRead), this, kReportArea,
                    kReportArea + kReportAreaSize - 1),
        "hooking report area reads");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_PROT, reinterpret_cast<void*>(&OnProtected), this, 1, 0),
        "hooking protected memory");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&OnUnmapped), this, 1, 0),
        "hooking unmapped memory");

  SetUpCpu();
  SetUpEnvironment();
}

Emulator::~Emulator() = default;

void Emulator::MapBusRegion(uint64_t address, uint64_t size, uint32_t busAddress) {
  auto region = std::make_unique<MmioRegion>(MmioRegion{this, busAddress});
  Check(uc_mmio_map(uc_.get(), address, size, &OnMmioRead, region.get(), &OnMmioWrite, region.get()),
        "mapping the bus at " + Hex(address));
  regions_.push_back(std::move(region));
}

void Emulator::MapBus() {
  // What the machine keeps itself, in address order.
  std::vector<std::pair<uint64_t, uint64_t>> kept = {
      {flashBase_, uint64_t{flashBase_} + flashSize_}, {kTempRamBase, kStackTop}, {kThunkPage, kThunkPage + kPageSize}};
  std::sort(kept.begin(), kept.end());
  uint64_t next = 0;
  for (const auto& [start, end] : kept) {
    if (start > next) MapBusRegion(next, start - next, static_cast<uint32_t>(next));
    next = std::max(next, end);
  }
  if (next < kAddressSpaceEnd) MapBusRegion(next, kAddressSpaceEnd - next, static_cast<uint32_t>(next));
  // An access that starts in the last bytes below 4 GiB and runs past them
  // continues at address 0, as on a 32-bit processor without paging; Unicorn
  // models the processor as a 64-bit one and asks for the bytes above 4 GiB.
  MapBusRegion(kAddressSpaceEnd, kPageSize, 0);
}

Emulator::Memory Emulator::MemoryAt(uint32_t address, uint64_t* bytesLeft) const {
  const uint64_t a = address;
  if (a >= kStackBottom && a < kStackTop) {
    *bytesLeft = kStackTop - a;
    return Memory::Stack;
  }
  for (const auto& [start, end] : {std::pair<uint64_t, uint64_t>{kTempRamBase, kStackBottom},
                                   {flashBase_, uint64_t{flashBase_} + flashSize_},
                                   {kThunkPage, kThunkPage + kPageSize}})
    if (a >= start && a < end) {
      *bytesLeft = end - a;
      return Memory::Ram;
    }
  // Bus memory reaches up to the next thing the machine keeps (or 4 GiB).
  uint64_t end = kAddressSpaceEnd;
  for (const uint64_t start : {uint64_t{kTempRamBase}, uint64_t{flashBase_}, uint64_t{kThunkPage}})
    if (start > a) end = std::min(end, start);
  *bytesLeft = end - a;
  return Memory::Bus;
}

void Emulator::SetUpCpu() {
  uc_engine* uc = uc_.get();
  // Flat 32-bit protected mode: a GDT with a 4 GiB code and a 4 GiB data segment.
  // The accessed bits are preset so that loading a segment never writes the table.
  const uint64_t gdt[3] = {0, 0x00CF9B000000FFFFull, 0x00CF93000000FFFFull};
  Check(uc_mem_write(uc, kGdt, gdt, sizeof gdt), "writing the GDT");
  uc_x86_mmr gdtr{0, kGdt, sizeof gdt - 1, 0};
  Check(uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr), "loading the GDT");
  uint32_t cr0 = 0;
  uc_reg_read(uc, UC_X86_REG_CR0, &cr0);
  cr0 |= 1;  // protection enabled, paging off
  Check(uc_reg_write(uc, UC_X86_REG_CR0, &cr0), "setting CR0");
  uint32_t code = 0x08, data = 0x10;
  Check(uc_reg_write(uc, UC_X86_REG_CS, &code), "loading CS");
  for (int reg : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_SS, UC_X86_REG_FS, UC_X86_REG_GS})
    Check(uc_reg_write(uc, reg, &data), "loading a data segment");
  uc_x86_mmr idtr{0, kIdtBase, kIdtLimit, 0};
  Check(uc_reg_write(uc, UC_X86_REG_IDTR, &idtr), "loading the IDT register");
}

void Emulator::SetUpEnvironment() {
  // The services table: header, then one pointer per service.
  std::vector<uint32_t> table(PeiServicesTableSize / 4, 0);
  table[0] = static_cast<uint32_t>(PEI_SERVICES_SIGNATURE);
  table[1] = static_cast<uint32_t>(PEI_SERVICES_SIGNATURE >> 32);
  table[3] = PeiServicesTableSize;
  for (uint32_t slot = 0; slot < kServiceSlots; ++slot) table[6 + slot] = ThunkAddress(kThunkUnsupported0 + slot);
  table[PeiLocatePpiOffset / 4] = ThunkAddress(kThunkLocatePpi);
  table[PeiGetHobListOffset / 4] = ThunkAddress(kThunkGetHobList);
  table[PeiCreateHobOffset / 4] = ThunkAddress(kThunkCreateHob);
  table[PeiCopyMemOffset / 4] = ThunkAddress(kThunkCopyMem);
  uc_engine* uc = uc_.get();
  Check(uc_mem_write(uc, kServicesTable, table.data(), table.size() * 4), "writing the services table");
  Write32(kServicesPointer, kServicesTable);
  Write32(kIdtBase - 4, kServicesPointer);
  Write32(kHandlerPpi, ThunkAddress(kThunkRegister));
  Write32(kHandlerPpi + 4, ThunkAddress(kThunkUnregister));
  Write32(kPpiDescriptor, 0x80000010u);  // PPI flag, end of list
  Write32(kPpiDescriptor + 4, kPpiGuid);
  Write32(kPpiDescriptor + 8, kHandlerPpi);
  Check(uc_mem_write(uc, kPpiGuid, &HandlerPpiGuid, sizeof HandlerPpiGuid), "writing the PPI GUID");

  // The HOB list: the phase handoff HOB the PEI core starts with, then the end.
  const uint32_t handoff = *pei_.hobs.Append(kHobTypeHandoff, kHandoffHobLength, 0);
  const uint32_t fields[12] = {0x0009, kBootWithFullConfiguration, kTempRamBase, 0, kTempRamBase + kTempRamSize, 0,
                               kTempRamBase, 0, kHobList + sim::HobList::kCapacity, 0, kHobList + kHandoffHobLength + 8, 0};
  std::memcpy(pei_.hobs.Data() + handoff + 8, fields, sizeof fields);
  SyncHobs(handoff, kHandoffHobLength);
}

void Emulator::SyncHobs(uint32_t offset, uint32_t length) {
  // The new HOB and the end-of-list HOB after it.
  Check(uc_mem_write(uc_.get(), kHobList + offset, pei_.hobs.Data() + offset, length + sizeof(EFI_HOB_GENERIC_HEADER)),
        "writing the HOB list");
}

// Guest memory as the PEI core's code sees it: the stack from the
// emulator's own RAM, RAM and flash through Unicorn, and everything else
// through the bus as a load would go (a device answers, or the bus floats at
// all ones). Addresses wrap at 4 GiB as a 32-bit processor's do.
void Emulator::GuestRead(uint32_t address, void* bytes, uint32_t size) const {
  auto* out = static_cast<uint8_t*>(bytes);
  while (size != 0) {
    uint64_t left = 0;
    const Memory memory = MemoryAt(address, &left);
    const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(size, left));
    switch (memory) {
      case Memory::Stack: std::memcpy(out, stack_.data() + (address - kStackBottom), part); break;
      case Memory::Ram: Check(uc_mem_read(uc_.get(), address, out, part), "reading guest memory at " + Hex(address)); break;
      case Memory::Bus:
        for (uint32_t i = 0; i < part; ++i) out[i] = static_cast<uint8_t>(platform_.bus.MemRead(address + i, 1));
        break;
    }
    address += part, out += part, size -= part;
  }
}

// Only temporary RAM (the stack included) is written from the host side:
// Unicorn's own writes would go past the flash's write protection.
bool Emulator::GuestWrite(uint32_t address, const void* bytes, uint32_t size) {
  if (address < kTempRamBase || address >= kStackTop || size > kStackTop - address) return false;
  auto* in = static_cast<const uint8_t*>(bytes);
  if (address < kStackBottom) {
    const uint32_t part = std::min(size, kStackBottom - address);
    Check(uc_mem_write(uc_.get(), address, in, part), "writing guest memory at " + Hex(address));
    address += part, in += part, size -= part;
  }
  if (size != 0) std::memcpy(stack_.data() + (address - kStackBottom), in, size);
  return true;
}

void Emulator::Write32(uint32_t address, uint32_t value) {
  if (!GuestWrite(address, &value, 4)) throw std::runtime_error("emulator: writing guest memory at " + Hex(address));
}

bool Emulator::TryWrite32(uint32_t address, uint32_t value, const char* service) {
  // An output pointer must be temporary RAM; nothing is written anywhere else.
  const bool ok = address != 0 && GuestWrite(address, &value, 4);
  if (!ok) {
    Fail({"bad service argument", address, lastEip_, 4, value, during_,
          std::string(service) + " was given an output pointer outside temporary RAM"});
    serviceFault_ = true;
  }
  return ok;
}

std::vector<uint8_t> Emulator::ReadGuest(uint32_t address, uint32_t size) const {
  std::vector<uint8_t> out(size, 0);
  GuestRead(address, out.data(), size);
  return out;
}

bool Emulator::ImageIntact() const {
  std::vector<uint8_t> now(flashSize_);
  return uc_mem_read(uc_.get(), flashBase_, now.data(), now.size()) == UC_ERR_OK && now == image_.flash;
}

// The list keeps the first faults of the run, which say what went wrong;
// a runaway image could otherwise fill memory with the same fault.
void Emulator::Fail(Fault fault) {
  if (faults_.size() < kFaultListBound)
    faults_.push_back(std::move(fault));
  else
    ++faultsNotListed_;
}

void Emulator::Stop(Fault fault) {
  Fail(std::move(fault));
  stopReason_ = "fault";
  uc_emu_stop(uc_.get());
}

// A write outside the allowed places. Made with the stack pointer outside
// the stack, or just below the stack's bottom by a push or call the stack
// can no longer hold (the store comes before ESP moves), it is the stack
// itself running away (recursion without end, a push loop): the call cannot
// end well and stops at once. Otherwise the call goes on until it has made
// kStrayWritesPerCall of them.
void Emulator::WroteOutside(Fault fault) {
  constexpr uint32_t kPushReach = 64;  // the most a push, call or pushad stores below ESP
  uint32_t esp = 0;
  uc_reg_read(uc_.get(), UC_X86_REG_ESP, &esp);
  const bool outside = esp < kStackBottom || esp > kStackTop;
  const bool pushedBelow = fault.address < kStackBottom && esp - fault.address <= kPushReach &&
                           esp - kStackBottom <= kPushReach;
  if (outside || pushedBelow) {
    fault.detail = fmt::format("ESP {} {} the stack ({}..{}): runaway recursion or a push loop", Hex(esp),
                               outside ? "is outside" : "is at the bottom of", Hex(kStackBottom), Hex(kStackTop - 1));
    fault.kind = esp > kStackTop ? "stack pointer outside the stack" : "stack overflow";
    return Stop(std::move(fault));
  }
  const uint32_t address = fault.address;
  Fail(std::move(fault));
  if (++strayWrites_ == kStrayWritesPerCall)
    Stop({"runaway stores", address, lastEip_, 0, 0, during_,
          fmt::format("{} writes outside the allowed places in one call: a store loop over memory the module "
                      "does not own",
                      kStrayWritesPerCall)});
}

uint32_t Emulator::Arg(int n) const {
  uint32_t esp = 0, value = 0;
  uc_reg_read(uc_.get(), UC_X86_REG_ESP, &esp);
  GuestRead(esp + 4 + 4 * n, &value, 4);
  return value;
}

void Emulator::Return(uint32_t eax) {
  uc_engine* uc = uc_.get();
  uint32_t esp = 0, ret = 0;
  uc_reg_read(uc, UC_X86_REG_ESP, &esp);
  GuestRead(esp, &ret, 4);
  esp += 4;
  uc_reg_write(uc, UC_X86_REG_EAX, &eax);
  uc_reg_write(uc, UC_X86_REG_ESP, &esp);
  uc_reg_write(uc, UC_X86_REG_EIP, &ret);
}

// The PEI core's side of a service call: cdecl arguments from the guest
// stack, the result in EAX, then back to the caller.
void Emulator::Service(uint32_t address) {
  const uint32_t thunk = (address - kThunkPage) / 16;
  // A service runs only from the first byte of its slot; anywhere else is a
  // wild jump into the PEI core's code, not a call of the service.
  if ((address - kThunkPage) % 16 != 0) {
    const char* const kImplemented[] = {"LocatePpi", "GetHobList", "CreateHob", "CopyMem", "Register", "Unregister"};
    const char* service = thunk < kThunkUnsupported0                    ? kImplemented[thunk]
                          : thunk < kThunkUnsupported0 + kServiceSlots ? kServiceNames[thunk - kThunkUnsupported0]
                                                                        : nullptr;
    return Stop({"fetch outside the image", address, lastEip_, 0, 0, during_,
                 service == nullptr ? std::string("jumped into the PEI core's code page")
                                    : fmt::format("jumped {} bytes into the PEI core's {} code, past its entry {}",
                                                  (address - kThunkPage) % 16, service, Hex(ThunkAddress(thunk)))});
  }
  switch (thunk) {
    case kThunkLocatePpi: {
      const uint32_t guid = Arg(1), descriptor = Arg(3), ppi = Arg(4);
      EFI_GUID wanted{};
      const bool readable = guid != 0;
      if (readable) GuestRead(guid, &wanted, sizeof wanted);
      const sim::PeiAnswer a = pei_.LocatePpi(Arg(0), readable ? &wanted : nullptr, Arg(2), ppi, kHandlerPpi);
      if (a.store) {
        if (!TryWrite32(ppi, *a.store, "LocatePpi")) return Return(EFI_INVALID_PARAMETER);
        if (descriptor != 0 && !TryWrite32(descriptor, 0, "LocatePpi")) return Return(EFI_INVALID_PARAMETER);
      }
      return Return(a.status);
    }
    case kThunkGetHobList: {
      const sim::PeiAnswer a = pei_.GetHobList(Arg(1), kHobList);
      if (a.store && !TryWrite32(Arg(1), *a.store, "GetHobList")) return Return(EFI_INVALID_PARAMETER);
      return Return(a.status);
    }
    case kThunkCreateHob: {
      const uint32_t out = Arg(3);
      const sim::PeiAnswer a = pei_.CreateHob(Arg(0), static_cast<uint16_t>(Arg(1)), static_cast<uint16_t>(Arg(2)),
                                              out, kHobList);
      if (a.store) {
        const uint32_t offset = *a.store - kHobList;
        EFI_HOB_GENERIC_HEADER header;
        std::memcpy(&header, pei_.hobs.Data() + offset, sizeof header);
        SyncHobs(offset, header.HobLength);
        if (!TryWrite32(out, *a.store, "CreateHob")) return Return(EFI_INVALID_PARAMETER);
      }
      return Return(a.status);
    }
    case kThunkCopyMem: {
      // As the PEI core's copy loop would: every source byte is loaded, from
      // RAM, flash or the bus (where nothing answers, 0xFF), so the
      // destination always receives the bytes the source held.
      pei_.CopyMem();
      const uint32_t destination = Arg(0), source = Arg(1), length = Arg(2);
      if (length > kTempRamSize) {
        Fail({"bad service argument", source, lastEip_, length, 0, during_,
              "CopyMem of more bytes than temporary RAM holds"});
        return Return(0);
      }
      CheckRecordRead(source, length, "CopyMem from ");
      std::vector<uint8_t> bytes(length);
      GuestRead(source, bytes.data(), length);
      // The destination is written as the module would write it: it must be RAM the module may write.
      if (!AllowedRamWrite(destination, static_cast<int>(length)) ||
          !GuestWrite(destination, bytes.data(), length))
        WroteOutside({"write outside allowed regions", destination, lastEip_, length, 0, during_, "CopyMem destination"});
      return Return(0);
    }
    case kThunkRegister:
      return Return(pei_.Register(Arg(0)));
    case kThunkUnregister:
      return Return(pei_.Unregister(Arg(0)));
    default:
      if (thunk >= kThunkUnsupported0 && thunk < kThunkUnsupported0 + kServiceSlots) {
        Fail({"unsupported service", address, lastEip_, 0, 0, during_,
              std::string("called PEI service ") + kServiceNames[thunk - kThunkUnsupported0]});
        return Return(pei_.Unsupported());
      }
      Stop({"fetch outside the image", address, lastEip_, 0, 0, during_, "jumped into the PEI core's code page"});
  }
}

bool Emulator::AllowedRamWrite(uint32_t address, int size) const {
  const uint64_t end = uint64_t{address} + static_cast<uint32_t>(size);
  if (address >= kStackBottom && end <= kStackTop) return true;
  for (const auto& [hob, length] : pei_.createdHobs)
    if (address >= hob && end <= uint64_t{hob} + length) return true;
  return false;
}

// Counted per basic block: Unicorn's translation cache knows each block's
// instruction count, which keeps the count exact at a fraction of the cost of
// a per-instruction hook. The count of each block is looked up once and kept
// in a table indexed by the block's offset in the flash (a block is known by
// its start and its size in bytes), with whether it starts in a count range
// (CountIn): then its instructions also go to the range count. The deepest
// stack use comes from the stack's store callbacks (OnStackWrite) and the
// service thunks.
void Emulator::OnImageBlock(uc_struct* uc, uint64_t address, uint32_t size, void* self) {
  Emulator& e = *Self(self);
  const uint32_t start = static_cast<uint32_t>(address);
  e.lastEip_ = start;
  BlockCount& known = e.blockCounts_[start - e.flashBase_];
  if (known.size != size) {
    uc_tb tb{};
    known.instructions = uc_ctl_request_cache(uc, address, &tb) == UC_ERR_OK && tb.icount != 0 ? tb.icount : 1;
    known.size = static_cast<uint16_t>(size);
    known.inRange = !e.rangeAt_.empty() && e.BlockInRange(start - e.flashBase_, size);
  }
  e.instructions_ += known.instructions;
  if (known.inRange) e.rangeInstructions_ += known.instructions;
  if (e.instructions_ > e.limits_.instructionsPerCall && e.stopReason_.empty()) {
    e.stopReason_ = "instruction budget";
    uc_emu_stop(uc);
  }
}

// Looked up once per block the first time it is seen (or seen with another
// size). Every byte of the block must lie in the same range, or in none.
bool Emulator::BlockInRange(uint32_t offset, uint32_t size) {
  const uint32_t end = std::min<uint32_t>(offset + size, static_cast<uint32_t>(rangeAt_.size()));
  const uint16_t range = rangeAt_[offset];
  for (uint32_t at = offset + 1; at < end; ++at) {
    if (rangeAt_[at] == range) continue;
    const scenario::CountRange& edge = countRanges_[(range != 0 ? range : rangeAt_[at]) - 1];
    const uint32_t rva = flashBase_ - imageBase_;  // flash offset to RVA
    rangeCrossings_.push_back(fmt::format(
        "the block at {:#x} ({} bytes, {} instructions) runs over the edge of count range {:#x}..{:#x}{} at {:#x}",
        offset + rva, size, blockCounts_[offset].instructions, edge.start, edge.end,
        edge.name.empty() ? "" : " (" + edge.name + ")", at + rva));
    break;
  }
  return range != 0;
}

void Emulator::CountIn(const std::vector<scenario::CountRange>& ranges) {
  std::vector<scenario::CountRange> sorted = ranges;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  for (size_t k = 0; k < sorted.size(); ++k) {
    const scenario::CountRange& r = sorted[k];
    const std::string shown = fmt::format("count range {:#x}..{:#x}{}", r.start, r.end, r.name.empty() ? "" : " (" + r.name + ")");
    if (r.end < r.start) throw std::invalid_argument(shown + " ends before it starts");
    if (r.end > imageSize_) throw std::invalid_argument(shown + fmt::format(" runs past the image ({:#x} bytes)", imageSize_));
    if (k > 0 && sorted[k - 1].end > r.start) throw std::invalid_argument(shown + " overlaps the one before it");
  }
  if (sorted.size() >= 0xFFFF) throw std::invalid_argument("more count ranges than the emulator keeps apart");
  countRanges_ = std::move(sorted);
  rangeAt_.assign(countRanges_.empty() ? 0 : flashSize_, 0);
  // The image's RVA 0 may lie below the flash (a TE image's stripped header): clip each range to the flash.
  for (size_t k = 0; k < countRanges_.size(); ++k) {
    const uint64_t start = std::max<uint64_t>(uint64_t{imageBase_} + countRanges_[k].start, flashBase_);
    const uint64_t end = std::min<uint64_t>(uint64_t{imageBase_} + countRanges_[k].end, uint64_t{flashBase_} + flashSize_);
    for (uint64_t a = start; a < end; ++a) rangeAt_[a - flashBase_] = static_cast<uint16_t>(k + 1);
  }
  // Blocks already seen are looked up again.
  for (BlockCount& b : blockCounts_) b.size = 0;
}

uint64_t Emulator::OnStackRead(uc_struct*, uint64_t offset, unsigned size, void* self) {
  const Emulator& e = *Self(self);
  if (offset + size > e.stack_.size()) return 0;
  const uint8_t* at = e.stack_.data() + offset;
  switch (size) {
    case 1: return at[0];
    case 2: { uint16_t v; std::memcpy(&v, at, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, at, 4); return v; }
    default: { uint64_t v = 0; std::memcpy(&v, at, size > 8 ? 8 : size); return v; }
  }
}

// Every store to the stack: kept, counted, and its address taken for the
// deepest stack use. A store deeper than any before also takes ESP, which
// is then at or below the frame being written: the frame a function reserves
// counts from the moment it writes into it, as it does when ESP is read at
// every block.
void Emulator::OnStackWrite(uc_struct* uc, uint64_t offset, unsigned size, uint64_t value, void* self) {
  Emulator& e = *Self(self);
  if (offset + size > e.stack_.size()) return;
  uint8_t* at = e.stack_.data() + offset;
  switch (size) {
    case 1: at[0] = static_cast<uint8_t>(value); break;
    case 2: { const uint16_t v = static_cast<uint16_t>(value); std::memcpy(at, &v, 2); break; }
    case 4: { const uint32_t v = static_cast<uint32_t>(value); std::memcpy(at, &v, 4); break; }
    default: std::memcpy(at, &value, size > 8 ? 8 : size);
  }
  ++e.stackStores_;
  const uint32_t address = kStackBottom + static_cast<uint32_t>(offset);
  if (address < e.minEsp_) {
    e.minEsp_ = address;
    uint32_t esp;
    uc_reg_read(uc, UC_X86_REG_ESP, &esp);
    if (esp < e.minEsp_) e.minEsp_ = esp;
  }
}

void Emulator::OnThunkCode(uc_struct* uc, uint64_t address, uint32_t, void* self) {
  Emulator& e = *Self(self);
  if (address == kReturnThunk) {
    // The call is over. Stopping here rather than at uc_emu_start's end
    // address keeps this block translated: Unicorn translates the block at
    // the end address anew on every start.
    e.returned_ = true;
    uc_emu_stop(uc);
    return;
  }
  uint32_t esp;
  uc_reg_read(uc, UC_X86_REG_ESP, &esp);
  if (esp < e.minEsp_) e.minEsp_ = esp;
  e.Service(static_cast<uint32_t>(address));
}

uint32_t Emulator::OnIn(uc_struct*, uint32_t port, int size, void* self) {
  Emulator& e = *Self(self);
  ++e.ioAccesses_;
  return e.platform_.bus.IoRead(static_cast<uint16_t>(port), static_cast<unsigned>(size));
}

void Emulator::OnOut(uc_struct* uc, uint32_t port, int size, uint32_t value, void* self) {
  Emulator& e = *Self(self);
  ++e.ioAccesses_;
  e.platform_.bus.IoWrite(static_cast<uint16_t>(port), static_cast<unsigned>(size), value);
  if (port == kPostCodePort) {
    const uint16_t word = static_cast<uint16_t>(size == 1 ? (value & 0xFF) : value);
    if (e.portRunsFull_) {
      // counted below only
    } else if (!e.portRuns_.empty() && e.portRuns_.back().first == word) {
      ++e.portRuns_.back().second;
    } else if (e.portRuns_.size() < kPortRunsKept) {
      e.portRuns_.emplace_back(word, 1);
    } else {
      e.portRunsFull_ = true;
    }
    // Only a handler of an unrecoverable error may write port 0x80 for ever
    // (the blink); a loop anywhere else is a call that does not return.
    if (++e.portWrites_ >= e.limits_.blinkWrites && e.stopReason_.empty()) {
      e.stopReason_ = e.blinkAllowed_ ? "blink loop" : "port 0x80 loop";
      uc_emu_stop(uc);
    }
  }
}

void Emulator::OnRamWrite(uc_struct*, uc_mem_type, uint64_t address, int size, int64_t value, void* self) {
  Emulator& e = *Self(self);
  if (!e.AllowedRamWrite(static_cast<uint32_t>(address), size))
    e.WroteOutside({"write outside allowed regions", static_cast<uint32_t>(address), e.lastEip_,
                    static_cast<uint32_t>(size), static_cast<uint64_t>(value), e.during_,
                    "temporary RAM outside the stack and the module's HOB"});
}

void Emulator::OnRecordRead(uc_struct*, uc_mem_type, uint64_t address, int size, int64_t, void* self) {
  Self(self)->CheckRecordRead(static_cast<uint32_t>(address), static_cast<uint32_t>(size), "");
}

// A handler that reads the delivered record past its header's Size reads
// what the report area held before: on a board, bytes of an earlier report.
// The first such read of each call is reported.
void Emulator::CheckRecordRead(uint32_t address, uint32_t size, const char* how) {
  if (!watch_.active || size == 0) return;
  const uint64_t first = address, end = first + size, areaEnd = uint64_t{kReportArea} + kReportAreaSize;
  // The caller's GUID may be given as an address anywhere, the record's area included.
  if (watch_.caller != 0 && first >= watch_.caller && end <= uint64_t{watch_.caller} + sizeof(EFI_GUID)) return;
  uint64_t past = end;  // the first byte read that is not the record's
  const auto watched = [&](uint64_t from, uint64_t to) {
    if (std::max(first, from) < std::min(end, to)) past = std::min(past, std::max(first, from));
  };
  watched(watch_.declaredEnd, std::min(watch_.objectsStart, watch_.pointedFrom));
  watched(std::max(watch_.declaredEnd, watch_.blockEnd), std::min<uint64_t>(areaEnd, watch_.pointedFrom));
  if (past == end || readPastReported_) return;
  readPastReported_ = true;
  Fail({"read past the record", static_cast<uint32_t>(past), lastEip_, size, 0, during_,
        fmt::format("{}offset {} of the data record at {}, which holds {} bytes (the {}-byte header and Size {})", how,
                    past - watch_.start, Hex(watch_.start), kRecordHeaderBytes + watch_.size, kRecordHeaderBytes,
                    watch_.size)});
}

bool Emulator::OnProtected(uc_struct*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
  Emulator& e = *Self(self);
  const uint32_t a = static_cast<uint32_t>(address);
  const bool inImage = a >= e.flashBase_ && a - e.flashBase_ < e.flashSize_;
  uint64_t left = 0;
  const bool onBus = e.MemoryAt(a, &left) == Memory::Bus;
  std::string kind = type == UC_MEM_WRITE_PROT ? (inImage ? "image write" : "write to read-only memory")
                     : type == UC_MEM_FETCH_PROT ? (onBus ? "fetch outside the image" : "fetch from non-executable memory")
                                                 : "read of protected memory";
  e.Fail({kind, a, e.lastEip_, static_cast<uint32_t>(size), static_cast<uint64_t>(value), e.during_,
          inImage ? "the image runs in place from flash and must never be written" : ""});
  e.stopReason_ = "fault";
  return false;
}

// Every address below 4 GiB is mapped (RAM, flash or the bus), so only a
// fetch that runs past the wrap page above 4 GiB ends here.
bool Emulator::OnUnmapped(uc_struct*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
  Emulator& e = *Self(self);
  e.Fail({type == UC_MEM_FETCH_UNMAPPED ? "fetch outside the image" : "access outside the address space",
          static_cast<uint32_t>(address), e.lastEip_, static_cast<uint32_t>(size), static_cast<uint64_t>(value),
          e.during_, ""});
  e.stopReason_ = "fault";
  return false;
}

uint64_t Emulator::OnMmioRead(uc_struct*, uint64_t offset, unsigned size, void* region) {
  auto* r = static_cast<MmioRegion*>(region);
  ++r->emulator->mmioAccesses_;
  return r->emulator->platform_.bus.MemRead(r->base + static_cast<uint32_t>(offset), size);
}

void Emulator::OnMmioWrite(uc_struct*, uint64_t offset, unsigned size, uint64_t value, void* region) {
  auto* r = static_cast<MmioRegion*>(region);
  Emulator& e = *r->emulator;
  const uint32_t address = r->base + static_cast<uint32_t>(offset);
  ++e.mmioAccesses_;
  e.platform_.bus.MemWrite(address, size, static_cast<uint32_t>(value));
  if (!e.platform_.bus.Decodes(address))
    e.WroteOutside({"write outside allowed regions", address, e.lastEip_, size, value, e.during_, "no device decodes it"});
}

CallResult Emulator::Call(uint32_t function, const std::vector<uint32_t>& args, const std::string& during) {
  uc_engine* uc = uc_.get();
  // Unicorn 2.0.1 crashed after about four million calls (2^22) when a
  // block was translated anew at every start and its 1 GiB translation
  // buffer filled: the library's own flush then fails. Flushing it here,
  // between calls and long before that, keeps any run alive whatever each
  // call translates; the image's blocks are simply translated again. A
  // flush costs about 0.1 s and touches the whole buffer, so it is rare.
  if (++callsSinceFlush_ > translationFlushInterval_) {
    Check(uc_ctl(uc, UC_CTL_WRITE(UC_CTL_TB_FLUSH, 0)), "flushing the translation cache");
    ++translationFlushes_;
    callsSinceFlush_ = 1;
  }
  during_ = during;
  instructions_ = rangeInstructions_ = 0;
  ioAccesses_ = mmioAccesses_ = 0;
  portRuns_.clear();
  portWrites_ = 0;
  portRunsFull_ = false;
  returned_ = false;
  strayWrites_ = 0;
  readPastReported_ = false;
  stopReason_.clear();
  serviceFault_ = false;

  // cdecl: arguments right to left, then the return address.
  uint32_t esp = kStackTop - 16;
  for (auto it = args.rbegin(); it != args.rend(); ++it) {
    esp -= 4;
    Write32(esp, *it);
  }
  const uint32_t argumentBase = esp;
  esp -= 4;
  Write32(esp, kReturnThunk);
  minEsp_ = esp;
  const uint32_t zero = 0, flags = kFlagsReserved | (config_.interruptsEnabled ? kFlagsInterrupt : 0);
  for (int reg : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI, UC_X86_REG_EDI,
                  UC_X86_REG_EBP})
    uc_reg_write(uc, reg, &zero);
  uc_reg_write(uc, UC_X86_REG_ESP, &esp);
  uc_reg_write(uc, UC_X86_REG_EFLAGS, &flags);
  const uint32_t cf8Before = platform_.pciPorts.AddressRegister();
  const bool bridgeHiddenBefore = platform_.pcie.SidebandBridgeHidden();

  const uc_err err = uc_emu_start(uc, function, kNeverReached, 0, 0);

  CallResult result;
  result.instructions = instructions_;
  result.rangeInstructions = rangeInstructions_;
  result.stackBytes = argumentBase - minEsp_;
  result.ioAccesses = ioAccesses_;
  result.mmioAccesses = mmioAccesses_;
  if (err != UC_ERR_OK && stopReason_.empty()) {
    Fail({"CPU error", lastEip_, lastEip_, 0, 0, during_, uc_strerror(err)});
    stopReason_ = "fault";
  } else if (stopReason_.empty() && !returned_) {
    // Unicorn leaves uc_emu_start by itself only for `hlt`: on a board the
    // processor waits there for an interrupt that a PEI phase does not take.
    uint32_t eip = 0;
    uc_reg_read(uc, UC_X86_REG_EIP, &eip);
    uint8_t before = 0;
    const bool inFlash = eip - 1 - flashBase_ < flashSize_;
    if (inFlash) GuestRead(eip - 1, &before, 1);
    Fail({inFlash && before == 0xF4 ? "hlt" : "CPU stopped", eip - 1, lastEip_, 0, 0, during_,
          "the processor halted instead of returning: the call never ends"});
    stopReason_ = "fault";
  }
  // The words of the call (one per run when it was stopped), at most kPortRunsKept of them.
  for (const auto& [word, count] : portRuns_) {
    const uint64_t shown = stopReason_.empty() ? count : 1;
    const size_t room = kPortRunsKept - std::min(result.postcodes.size(), kPortRunsKept);
    result.postcodes.insert(result.postcodes.end(), static_cast<size_t>(std::min<uint64_t>(shown, room)), word);
  }
  if (!stopReason_.empty()) {
    result.stopped = stopReason_;
    return result;
  }
  uint32_t eax = 0, eflags = 0, espAfter = 0;
  uc_reg_read(uc, UC_X86_REG_EAX, &eax);
  uc_reg_read(uc, UC_X86_REG_EFLAGS, &eflags);
  uc_reg_read(uc, UC_X86_REG_ESP, &espAfter);
  result.status = eax;
  // What a caller relies on after a call: the stack, the interrupt flag and the state the module borrowed.
  if (espAfter != argumentBase)
    Fail({"stack not balanced", espAfter, lastEip_, 0, argumentBase, during_, "ESP after return differs (cdecl)"});
  if (((eflags ^ flags) & kFlagsInterrupt) != 0)
    Fail({"interrupt flag not restored", 0, lastEip_, 0, eflags, during_, ""});
  if (platform_.pciPorts.AddressRegister() != cf8Before)
    Fail({"0xCF8 not restored", 0xCF8, lastEip_, 4, platform_.pciPorts.AddressRegister(), during_, ""});
  if (platform_.pcie.SidebandBridgeHidden() != bridgeHiddenBefore)
    Fail({"sideband bridge visibility not restored",
          sim::PcieConfigWindow::Address(0, sim::PcieConfigWindow::kBridgeDevice, sim::PcieConfigWindow::kBridgeFunction) +
              sim::PcieConfigWindow::kHideControl,
          lastEip_, 1, 0, during_, ""});
  return result;
}

CallResult Emulator::RunEntry() {
  blinkAllowed_ = false;
  watch_.active = false;
  CallResult r = Call(EntryPoint(), {image_.fileHandle, kServicesPointer}, "entry");
  if (!r.stopped.empty() && r.stopped != "fault") {
    Halt halt{r.stopped, 0, 0, {}, portWrites_, r.instructions};
    scenario::DescribeCycle(portRuns_, halt);
    halt_ = std::move(halt);
  }
  return r;
}

// A record given by address (data_address) is not watched: the machine
// delivered no record there and knows no size for it.
void Emulator::WatchRecord(const std::vector<uint8_t>& placed, const scenario::DataRecord& record) {
  constexpr size_t kSizeField = offsetof(EFI_STATUS_CODE_DATA, Size);
  const uint32_t start = scenario::kReportDataAddress;
  watch_.active = true;
  watch_.start = start;
  watch_.size = 0;
  if (placed.size() >= kSizeField + 2) std::memcpy(&watch_.size, placed.data() + kSizeField, 2);
  watch_.declaredEnd = start + kRecordHeaderBytes + watch_.size;
  watch_.blockEnd = start + static_cast<uint32_t>(placed.size());
  watch_.objectsStart = watch_.blockEnd;
  for (const scenario::DataRecord::Fixup& f : record.fixups)
    watch_.objectsStart = std::min(watch_.objectsStart, start + f.target);
  // A record may hold its own pointers into itself or to bytes behind it (a
  // GUID address given as a number, raw bytes): from the lowest such address
  // on, the area is what the record points at, which may run past its end,
  // not fields read past its end. Every word of the payload is taken as such
  // a pointer.
  watch_.pointedFrom = kReportArea + kReportAreaSize;
  for (uint32_t at = kRecordHeaderBytes; at + 4 <= kRecordHeaderBytes + watch_.size && at + 4 <= placed.size(); at += 4) {
    uint32_t word = 0;
    std::memcpy(&word, placed.data() + at, 4);
    if (word >= watch_.start && word < watch_.pointedFrom) watch_.pointedFrom = word;
  }
}

std::vector<CallResult> Emulator::Deliver(const scenario::Report& report, size_t index) {
  std::vector<CallResult> results;
  if (halt_) return results;
  // The report as the router hands it over: caller GUID and data record in
  // temporary RAM, or pointers given as they are. As on a board, the area
  // keeps what earlier reports left there: the bytes after a short record
  // are an earlier report's, and the watch reports a handler reading them.
  const uint32_t caller = report.callerAddress ? *report.callerAddress : report.caller ? kReportArea : 0;
  const uint32_t data = report.dataAddress ? *report.dataAddress : report.data ? scenario::kReportDataAddress : 0;
  if (report.caller && !report.callerAddress)
    Check(uc_mem_write(uc_.get(), kReportArea, report.caller->data(), report.caller->size()), "writing the caller GUID");
  watch_.active = false;
  if (report.data && !report.dataAddress) {
    if (report.data->bytes.size() > kReportAreaSize - 16)
      throw std::runtime_error("report " + std::to_string(index) + ": data record too large for the report area");
    const std::vector<uint8_t> placed = report.data->Placed(scenario::kReportDataAddress);
    Check(uc_mem_write(uc_.get(), scenario::kReportDataAddress, placed.data(), placed.size()), "writing the report");
    WatchRecord(placed, *report.data);
    watch_.caller = caller;
  }
  blinkAllowed_ = scenario::IsUnrecoverableError(report.type);

  const std::vector<uint32_t> handlers = pei_.Handlers();  // a handler registering another must not disturb this walk
  for (size_t h = 0; h < handlers.size(); ++h) {
    CallResult r = Call(handlers[h],
                        {kServicesPointer, report.type, report.value, report.instance, caller, data},
                        "report " + std::to_string(index) + ", handler " + std::to_string(h));
    const std::string stopped = r.stopped;
    results.push_back(std::move(r));
    if (!stopped.empty() && stopped != "fault") {
      Halt halt{stopped, index, h, {}, portWrites_, results.back().instructions};
      scenario::DescribeCycle(portRuns_, halt);
      halt_ = std::move(halt);
      break;
    }
  }
  return results;
}

}  // namespace emu
