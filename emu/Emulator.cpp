#include "Emulator.h"

#include "ModuleFile.h"
#include "PiTypes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu {
namespace {

using namespace layout;

constexpr uint32_t kPageSize = 0x1000;
constexpr uint32_t kFlagsInterrupt = 0x200;
constexpr uint32_t kFlagsReserved = 0x2;
constexpr uint16_t kPostCodePort = 0x80;

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

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return text;
}

void Check(uc_err err, const std::string& what) {
  if (err != UC_ERR_OK) throw std::runtime_error("emulator: " + what + ": " + uc_strerror(err));
}

Emulator* Self(void* p) { return static_cast<Emulator*>(p); }

}  // namespace

struct Emulator::MmioRegion {
  Emulator* emulator;
  uint32_t base;
};

FlashImage PlaceRelocated(const PeImage& image) {
  FlashImage f;
  f.path = image.path;
  f.source = "relocated .efi";
  f.format = "PE32";
  f.fileSize = image.fileSize;
  f.imageSize = image.sizeOfImage;
  f.entryRva = image.entryRva;
  const uint32_t mapped = (image.sizeOfImage + kPageSize - 1) & ~(kPageSize - 1);
  const uint32_t span = (mapped + 0xFFFF) & ~0xFFFFu;
  f.imageBase = f.flashBase = kFlashTop - span;
  f.flash = image.LayOut(f.imageBase, &f.relocations);
  f.flash.resize(mapped, 0);
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
  if (flashSize_ == 0 || flashBase_ % kPageSize != 0 || flashSize_ % kPageSize != 0)
    throw std::runtime_error("emulator: flash at " + Hex(flashBase_) + " is not whole pages");
  // Flash must not cover what the machine itself keeps: temporary RAM, the PEI core page, low memory.
  const uint64_t flashEnd = uint64_t{flashBase_} + flashSize_;
  if (flashEnd > kThunkPage || (flashBase_ < kTempRamBase + kTempRamSize && flashEnd > kTempRamBase) ||
      flashBase_ < 0x100000)
    throw std::runtime_error("emulator: flash at " + Hex(flashBase_) + ".." + Hex(flashEnd - 1) +
                             " overlaps the machine's RAM, low memory or its PEI core page at " + Hex(kThunkPage));

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

  // The device windows the board decodes, each as one mapping (every slow-path
  // access searches the mappings); any other page a device claims is mapped
  // on first touch.
  MapDevicePages(sim::MemoryLogRam::kBase, sim::MemoryLogRam::kSize);

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
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_PROT, reinterpret_cast<void*>(&OnProtected), this, 1, 0),
        "hooking protected memory");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&OnUnmapped), this, 1, 0),
        "hooking unmapped memory");

  SetUpCpu();
  SetUpEnvironment();
}

Emulator::~Emulator() = default;

void Emulator::MapDevicePages(uint32_t base, uint32_t size) {
  auto region = std::make_unique<MmioRegion>(MmioRegion{this, base});
  Check(uc_mmio_map(uc_.get(), base, size, &OnMmioRead, region.get(), &OnMmioWrite, region.get()),
        "mapping device page " + Hex(base));
  regions_.push_back(std::move(region));
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

// Guest memory as the host sees it: the stack from the emulator's own RAM,
// everything else through Unicorn.
bool Emulator::GuestRead(uint32_t address, void* bytes, uint32_t size) const {
  auto* out = static_cast<uint8_t*>(bytes);
  while (size != 0) {
    if (address >= kStackBottom && address < kStackTop) {
      const uint32_t part = std::min(size, kStackTop - address);
      std::memcpy(out, stack_.data() + (address - kStackBottom), part);
      address += part, out += part, size -= part;
      continue;
    }
    const uint32_t part = address < kStackBottom ? std::min<uint64_t>(size, uint64_t{kStackBottom} - address) : size;
    if (uc_mem_read(uc_.get(), address, out, part) != UC_ERR_OK) return false;
    address += part, out += part, size -= part;
  }
  return true;
}

bool Emulator::GuestWrite(uint32_t address, const void* bytes, uint32_t size) {
  auto* in = static_cast<const uint8_t*>(bytes);
  while (size != 0) {
    if (address >= kStackBottom && address < kStackTop) {
      const uint32_t part = std::min(size, kStackTop - address);
      std::memcpy(stack_.data() + (address - kStackBottom), in, part);
      address += part, in += part, size -= part;
      continue;
    }
    const uint32_t part = address < kStackBottom ? std::min<uint64_t>(size, uint64_t{kStackBottom} - address) : size;
    if (uc_mem_write(uc_.get(), address, in, part) != UC_ERR_OK) return false;
    address += part, in += part, size -= part;
  }
  return true;
}

void Emulator::Write32(uint32_t address, uint32_t value) {
  if (!GuestWrite(address, &value, 4)) throw std::runtime_error("emulator: writing guest memory at " + Hex(address));
}

bool Emulator::TryWrite32(uint32_t address, uint32_t value, const char* service) {
  const bool ok = address != 0 && GuestWrite(address, &value, 4) &&
                  address >= kTempRamBase && address + 4 <= kTempRamBase + kTempRamSize;
  if (!ok) {
    Fail({"bad service argument", address, lastEip_, 4, value, during_,
          std::string(service) + " was given an output pointer outside temporary RAM"});
    serviceFault_ = true;
  }
  return ok;
}

std::vector<uint8_t> Emulator::ReadGuest(uint32_t address, uint32_t size) const {
  std::vector<uint8_t> out(size, 0);
  if (!GuestRead(address, out.data(), size)) out.clear();
  return out;
}

bool Emulator::ImageIntact() const {
  std::vector<uint8_t> now(flashSize_);
  return uc_mem_read(uc_.get(), flashBase_, now.data(), now.size()) == UC_ERR_OK && now == image_.flash;
}

void Emulator::Fail(Fault fault) { faults_.push_back(std::move(fault)); }

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
  uc_engine* uc = uc_.get();
  const uint32_t thunk = (address - kThunkPage) / 16;
  switch (thunk) {
    case kThunkLocatePpi: {
      const uint32_t guid = Arg(1), descriptor = Arg(3), ppi = Arg(4);
      EFI_GUID wanted{};
      const bool readable = guid != 0 && GuestRead(guid, &wanted, sizeof wanted);
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
      pei_.CopyMem();
      const uint32_t destination = Arg(0), source = Arg(1), length = Arg(2);
      std::vector<uint8_t> bytes(length);
      if (length > kTempRamSize || !GuestRead(source, bytes.data(), length)) {
        Fail({"bad service argument", source, lastEip_, length, 0, during_, "CopyMem source cannot be read"});
        return Return(0);
      }
      // The destination is written as the module would write it: it must be RAM the module may write.
      if (!AllowedRamWrite(destination, static_cast<int>(length)) ||
          !GuestWrite(destination, bytes.data(), length))
        Fail({"write outside allowed regions", destination, lastEip_, length, 0, during_, "CopyMem destination"});
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
      Fail({"fetch outside the image", address, lastEip_, 0, 0, during_, "jumped into the PEI core's code page"});
      stopReason_ = "fault";
      uc_emu_stop(uc);
  }
}

bool Emulator::AllowedRamWrite(uint32_t address, int size) const {
  const uint32_t end = address + static_cast<uint32_t>(size);
  if (address >= kStackBottom && end <= kStackTop) return true;
  for (const auto& [hob, length] : pei_.createdHobs)
    if (address >= hob && end <= hob + length) return true;
  return false;
}

// Counted per basic block: Unicorn's translation cache knows each block's
// instruction count, which keeps the count exact at a fraction of the cost of
// a per-instruction hook. The count of each block is looked up once and kept
// in a table indexed by the block's offset in the flash (a block is known by
// its start and its size in bytes). The deepest stack use comes from the
// stack's store callbacks (OnStackWrite) and the service thunks.
void Emulator::OnImageBlock(uc_struct* uc, uint64_t address, uint32_t size, void* self) {
  Emulator& e = *Self(self);
  const uint32_t start = static_cast<uint32_t>(address);
  e.lastEip_ = start;
  BlockCount& known = e.blockCounts_[start - e.flashBase_];
  if (known.size != size) {
    uc_tb tb{};
    known.instructions = uc_ctl_request_cache(uc, address, &tb) == UC_ERR_OK && tb.icount != 0 ? tb.icount : 1;
    known.size = static_cast<uint16_t>(size);
  }
  e.instructions_ += known.instructions;
  if (e.instructions_ > e.limits_.instructionsPerCall && e.stopReason_.empty()) {
    e.stopReason_ = "instruction budget";
    uc_emu_stop(uc);
  }
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
    if (!e.portRuns_.empty() && e.portRuns_.back().first == word)
      ++e.portRuns_.back().second;
    else
      e.portRuns_.emplace_back(word, 1);
    if (++e.portWrites_ >= e.limits_.blinkWrites && e.stopReason_.empty()) {
      e.stopReason_ = "blink loop";
      uc_emu_stop(uc);
    }
  }
}

void Emulator::OnRamWrite(uc_struct*, uc_mem_type, uint64_t address, int size, int64_t value, void* self) {
  Emulator& e = *Self(self);
  if (!e.AllowedRamWrite(static_cast<uint32_t>(address), size))
    e.Fail({"write outside allowed regions", static_cast<uint32_t>(address), e.lastEip_, static_cast<uint32_t>(size),
            static_cast<uint64_t>(value), e.during_, "temporary RAM outside the stack and the module's HOB"});
}

bool Emulator::OnProtected(uc_struct*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
  Emulator& e = *Self(self);
  const uint32_t a = static_cast<uint32_t>(address);
  const bool inImage = a >= e.flashBase_ && a - e.flashBase_ < e.flashSize_;
  std::string kind = type == UC_MEM_WRITE_PROT ? (inImage ? "image write" : "write to read-only memory")
                     : type == UC_MEM_FETCH_PROT ? "fetch from non-executable memory"
                                                 : "read of protected memory";
  e.Fail({kind, a, e.lastEip_, static_cast<uint32_t>(size), static_cast<uint64_t>(value), e.during_,
          inImage ? "the image runs in place from flash and must never be written" : ""});
  e.stopReason_ = "fault";
  return false;
}

bool Emulator::OnUnmapped(uc_struct*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
  Emulator& e = *Self(self);
  const uint32_t a = static_cast<uint32_t>(address);
  if (type == UC_MEM_FETCH_UNMAPPED) {
    e.Fail({"fetch outside the image", a, e.lastEip_, static_cast<uint32_t>(size), 0, e.during_, ""});
    e.stopReason_ = "fault";
    return false;
  }
  // Outside RAM and the image everything belongs to the bus: decoded by a
  // device, or floating (reads all ones, writes lost, reported by the write path).
  const uint32_t page = a & ~(kPageSize - 1);
  if (a + static_cast<uint32_t>(size) > page + kPageSize) {
    e.Fail({"access across a page boundary", a, e.lastEip_, static_cast<uint32_t>(size),
            static_cast<uint64_t>(value), e.during_, ""});
    e.stopReason_ = "fault";
    return false;
  }
  e.MapDevicePages(page, kPageSize);
  return true;
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
  if (!e.platform_.bus.Decodes(address))
    e.Fail({"write outside allowed regions", address, e.lastEip_, size, value, e.during_, "no device decodes it"});
  e.platform_.bus.MemWrite(address, size, static_cast<uint32_t>(value));
}

CallResult Emulator::Call(uint32_t function, const std::vector<uint32_t>& args, const std::string& during) {
  uc_engine* uc = uc_.get();
  during_ = during;
  instructions_ = 0;
  ioAccesses_ = mmioAccesses_ = 0;
  portRuns_.clear();
  portWrites_ = 0;
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
  result.stackBytes = argumentBase - minEsp_;
  result.ioAccesses = ioAccesses_;
  result.mmioAccesses = mmioAccesses_;
  for (const auto& [word, count] : portRuns_) {
    const uint64_t shown = stopReason_.empty() ? count : 1;
    result.postcodes.insert(result.postcodes.end(), static_cast<size_t>(shown), word);
  }
  if (err != UC_ERR_OK && stopReason_.empty()) {
    Fail({"CPU error", lastEip_, lastEip_, 0, 0, during_, uc_strerror(err)});
    stopReason_ = "fault";
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
  CallResult r = Call(EntryPoint(), {image_.fileHandle, kServicesPointer}, "entry");
  if (!r.stopped.empty() && r.stopped != "fault") halt_ = Halt{r.stopped, 0, 0, {}, 0, portWrites_, r.instructions};
  return r;
}

std::vector<CallResult> Emulator::Deliver(const scenario::Report& report, size_t index) {
  std::vector<CallResult> results;
  if (halt_) return results;
  // The report as the router hands it over: caller GUID and data record in temporary RAM.
  uint32_t caller = 0, data = 0;
  if (report.caller) {
    caller = kReportArea;
    Check(uc_mem_write(uc_.get(), caller, report.caller->data(), 16), "writing the caller GUID");
  }
  if (report.data) {
    data = scenario::kReportDataAddress;
    if (report.data->bytes.size() > kReportAreaSize - 16)
      throw std::runtime_error("report " + std::to_string(index) + ": data record too large for the report area");
    const std::vector<uint8_t> placed = report.data->Placed(data);
    Check(uc_mem_write(uc_.get(), data, placed.data(), placed.size()), "writing the data record");
  }
  const std::vector<uint32_t> handlers = pei_.Handlers();  // a handler registering another must not disturb this walk
  for (size_t h = 0; h < handlers.size(); ++h) {
    CallResult r = Call(handlers[h],
                        {kServicesPointer, report.type, report.value, report.instance, caller, data},
                        "report " + std::to_string(index) + ", handler " + std::to_string(h));
    const std::string stopped = r.stopped;
    results.push_back(std::move(r));
    if (!stopped.empty() && stopped != "fault") {
      Halt halt{stopped, index, h, {}, 0, portWrites_, results.back().instructions};
      scenario::DescribeCycle(portRuns_, halt);
      halt_ = std::move(halt);
      break;
    }
  }
  return results;
}

}  // namespace emu
