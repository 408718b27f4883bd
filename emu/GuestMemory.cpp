#include "emu/GuestMemory.h"

#include <algorithm>
#include <cstring>

#include "fv/Layout.h"

namespace emu {

using namespace layout;

struct GuestMemory::BusWindow {
  GuestMemory* memory;
  uint32_t base;  // the bus address of the window's first byte
};

GuestMemory::GuestMemory(Cpu& cpu, sim::Machine& bus, FaultWatch& watch, uint32_t flashBase,
                         const std::vector<uint8_t>& flash)
    : cpu_(cpu), bus_(bus), watch_(watch), flashBase_(flashBase), flashSize_(static_cast<uint32_t>(flash.size())) {
  kept_ = {{"the flash", flashBase_, uint64_t{flashBase_} + flashSize_, Kind::Flash},
           {"temporary RAM", kTempRamBase, kStackBottom, Kind::Ram},
           {"the stack", kStackBottom, kStackTop, Kind::Stack},
           {"the PEI core page", kThunkPage, uint64_t{kThunkPage} + kPageSize, Kind::CoreCode}};
  std::sort(kept_.begin(), kept_.end(), [](const Region& a, const Region& b) { return a.start < b.start; });
  uc_engine* uc = cpu.Engine();
  // The service thunks are a page of `hlt` that the code hook intercepts before it executes.
  const std::vector<uint8_t> halts(kPageSize, 0xF4);
  for (const Region& r : kept_) {
    const std::string what = std::string("mapping ") + r.label;
    switch (r.kind) {
      case Kind::Flash:
      case Kind::CoreCode: {
        const std::vector<uint8_t>& bytes = r.kind == Kind::Flash ? flash : halts;
        Check(uc_mem_map(uc, r.start, r.end - r.start, UC_PROT_ALL), what);
        Check(uc_mem_write(uc, r.start, bytes.data(), r.end - r.start), std::string("writing ") + r.label);
        Check(uc_mem_protect(uc, r.start, r.end - r.start, UC_PROT_READ | UC_PROT_EXEC), what);
        break;
      }
      case Kind::Ram:  // one mapping for both, so that an access across the stack's bottom is one access
      case Kind::Stack: break;
    }
  }
  ram_.assign(kStackTop - kTempRamBase, 0);
  Check(uc_mmio_map(uc, kTempRamBase, kStackTop - kTempRamBase, &OnRamRead, this, &OnRamWrite, this),
        "mapping temporary RAM");
  // Everything else belongs to the bus: each gap between the kept regions is
  // one device-style mapping whose accesses go to sim::Machine. A fixed
  // handful of mappings, however many distinct addresses a wild pointer
  // touches: Unicorn 2.0.1 aborts once about 4,000 mappings exist.
  uint64_t next = 0;
  for (const Region& r : kept_) {
    if (r.start > next) MapBus(next, r.start - next);
    next = std::max(next, r.end);
  }
  if (next < kAddressSpaceEnd) MapBus(next, kAddressSpaceEnd - next);
  // An access that starts in the last bytes below 4 GiB and runs past them
  // continues at address 0, as on a 32-bit processor without paging; Unicorn
  // models the processor as a 64-bit one and asks for the bytes above 4 GiB.
  MapBus(kAddressSpaceEnd, kPageSize);

  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_PROT, reinterpret_cast<void*>(&OnProtected), this, 1, 0),
        "hooking protected memory");
  Check(uc_hook_add(uc, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&OnUnmapped), this, 1, 0),
        "hooking unmapped memory");
}

GuestMemory::~GuestMemory() = default;

void GuestMemory::MapBus(uint64_t address, uint64_t size) {
  auto window = std::make_unique<BusWindow>(BusWindow{this, static_cast<uint32_t>(address)});
  Check(uc_mmio_map(cpu_.Engine(), address, size, &OnBusRead, window.get(), &OnBusWrite, window.get()),
        "mapping the bus at " + fv::Hex(address));
  windows_.push_back(std::move(window));
}

const GuestMemory::Region* GuestMemory::At(uint32_t address, uint64_t* bytesLeft) const {
  // Bus memory reaches up to the next region the machine keeps (or 4 GiB).
  uint64_t end = kAddressSpaceEnd;
  for (const Region& r : kept_) {
    if (address >= r.start && address < r.end) {
      *bytesLeft = r.end - address;
      return &r;
    }
    if (r.start > address) {
      end = r.start;
      break;
    }
  }
  *bytesLeft = end - address;
  return nullptr;
}

void GuestMemory::Read(uint32_t address, void* bytes, uint32_t size) const {
  auto* out = static_cast<uint8_t*>(bytes);
  while (size != 0) {
    uint64_t left = 0;
    const Region* r = At(address, &left);
    const uint32_t part = static_cast<uint32_t>(std::min<uint64_t>(size, left));
    if (r == nullptr) {
      for (uint32_t i = 0; i < part; ++i) out[i] = static_cast<uint8_t>(bus_.MemRead(address + i, 1));
    } else if (r->kind == Kind::Ram || r->kind == Kind::Stack) {
      std::memcpy(out, ram_.data() + (address - kTempRamBase), part);
    } else {
      Check(uc_mem_read(cpu_.Engine(), address, out, part), "reading guest memory at " + fv::Hex(address));
    }
    address += part, out += part, size -= part;
  }
}

std::vector<uint8_t> GuestMemory::Read(uint32_t address, uint32_t size) const {
  std::vector<uint8_t> out(size, 0);
  Read(address, out.data(), size);
  return out;
}

bool GuestMemory::Write(uint32_t address, const void* bytes, uint32_t size) {
  if (address < kTempRamBase || address >= kStackTop || size > kStackTop - address) return false;
  std::memcpy(ram_.data() + (address - kTempRamBase), bytes, size);
  return true;
}

void GuestMemory::Put(uint32_t address, const void* bytes, uint32_t size) {
  if (!Write(address, bytes, size)) throw std::runtime_error("emulator: writing guest memory at " + fv::Hex(address));
}

bool GuestMemory::FlashHolds(const std::vector<uint8_t>& flash) const {
  std::vector<uint8_t> now(flashSize_);
  return uc_mem_read(cpu_.Engine(), flashBase_, now.data(), now.size()) == UC_ERR_OK && now == flash;
}

uint64_t GuestMemory::OnRamRead(uc_struct*, uint64_t offset, unsigned size, void* self) {
  GuestMemory& m = *static_cast<GuestMemory*>(self);
  if (offset + size > m.ram_.size()) return 0;
  const uint32_t address = kTempRamBase + static_cast<uint32_t>(offset);
  if (address - kReportArea < kReportAreaSize) m.watch_.CheckRecordRead(address, size, "");
  const uint8_t* at = m.ram_.data() + offset;
  switch (size) {
    case 1: return at[0];
    case 2: { uint16_t v; std::memcpy(&v, at, 2); return v; }
    case 4: { uint32_t v; std::memcpy(&v, at, 4); return v; }
    default: { uint64_t v = 0; std::memcpy(&v, at, size > 8 ? 8 : size); return v; }
  }
}

// Every store to temporary RAM is kept. A store to the stack is counted and
// its address taken for the deepest stack use: a store deeper than any
// before also takes ESP, which is then at or below the frame being written,
// so the frame a function reserves counts from the moment it writes into
// it, as it does when ESP is read at every block. A store elsewhere must
// fall in a place the module may write.
void GuestMemory::OnRamWrite(uc_struct*, uint64_t offset, unsigned size, uint64_t value, void* self) {
  GuestMemory& m = *static_cast<GuestMemory*>(self);
  if (offset + size > m.ram_.size()) return;
  uint8_t* at = m.ram_.data() + offset;
  switch (size) {
    case 1: at[0] = static_cast<uint8_t>(value); break;
    case 2: { const uint16_t v = static_cast<uint16_t>(value); std::memcpy(at, &v, 2); break; }
    case 4: { const uint32_t v = static_cast<uint32_t>(value); std::memcpy(at, &v, 4); break; }
    default: std::memcpy(at, &value, size > 8 ? 8 : size);
  }
  const uint32_t address = kTempRamBase + static_cast<uint32_t>(offset);
  if (address < kStackBottom) {
    m.watch_.RamWritten(address, size, value);
    return;
  }
  ++m.stackStores_;
  if (address < m.deepest_) {
    m.deepest_ = address;
    m.NoteEsp(m.cpu_.Read(UC_X86_REG_ESP));
  }
}

uint64_t GuestMemory::OnBusRead(uc_struct*, uint64_t offset, unsigned size, void* window) {
  auto* w = static_cast<BusWindow*>(window);
  ++w->memory->busAccesses_;
  return w->memory->bus_.MemRead(w->base + static_cast<uint32_t>(offset), size);
}

void GuestMemory::OnBusWrite(uc_struct*, uint64_t offset, unsigned size, uint64_t value, void* window) {
  auto* w = static_cast<BusWindow*>(window);
  GuestMemory& m = *w->memory;
  const uint32_t address = w->base + static_cast<uint32_t>(offset);
  ++m.busAccesses_;
  if (!m.bus_.MemWrite(address, size, static_cast<uint32_t>(value)))
    m.watch_.WroteOutside({"write outside allowed regions", address, m.cpu_.call.blockStart, size, value,
                           m.cpu_.call.during, "no device decodes it"});
}

bool GuestMemory::OnProtected(uc_struct*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
  GuestMemory& m = *static_cast<GuestMemory*>(self);
  const uint32_t a = static_cast<uint32_t>(address);
  const bool inImage = m.InFlash(a);
  uint64_t left = 0;
  const bool onBus = m.At(a, &left) == nullptr;
  std::string kind = type == UC_MEM_WRITE_PROT   ? (inImage ? "image write" : "write to read-only memory")
                     : type == UC_MEM_FETCH_PROT ? (onBus ? "fetch outside the image" : "fetch from non-executable memory")
                                                 : "read of protected memory";
  m.watch_.Fail({kind, a, m.cpu_.call.blockStart, static_cast<uint32_t>(size), static_cast<uint64_t>(value),
                 m.cpu_.call.during, inImage ? "the image runs in place from flash and must never be written" : ""});
  m.cpu_.call.stopReason = "fault";
  return false;
}

// Every address below 4 GiB is mapped (RAM, flash or the bus), so only a
// fetch that runs past the wrap page above 4 GiB ends here.
bool GuestMemory::OnUnmapped(uc_struct*, uc_mem_type type, uint64_t address, int size, int64_t value, void* self) {
  GuestMemory& m = *static_cast<GuestMemory*>(self);
  m.watch_.Fail({type == UC_MEM_FETCH_UNMAPPED ? "fetch outside the image" : "access outside the address space",
                 static_cast<uint32_t>(address), m.cpu_.call.blockStart, static_cast<uint32_t>(size),
                 static_cast<uint64_t>(value), m.cpu_.call.during, ""});
  m.cpu_.call.stopReason = "fault";
  return false;
}

GuestMemory::Contents GuestMemory::Save() const {
  return {ram_, stackStores_};
}

void GuestMemory::Restore(const Contents& c) {
  ram_ = c.ram;
  stackStores_ = c.stackStores;
}

}  // namespace emu
