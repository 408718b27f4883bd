#include "sim/Machine.h"

#include <cstdio>

#include "sim/BoardClock.h"

namespace sim {

namespace {
uint32_t AllOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1u); }

// The clock around one access: begun when made, ended when it goes out of scope.
class Timed {
 public:
  Timed(BoardClock* clock, const void* device, bool io, bool ram) : clock_(clock) {
    if (clock_ != nullptr) clock_->BeginAccess(device, io, ram);
  }
  ~Timed() {
    if (clock_ != nullptr) clock_->EndAccess();
  }
  Timed(const Timed&) = delete;
  Timed& operator=(const Timed&) = delete;

 private:
  BoardClock* clock_;
};
}  // namespace

std::string Describe(const Access& a) {
  static const char* const kNames[] = {"io-read", "io-write", "mem-read", "mem-write", "cli", "sti"};
  char text[80];
  std::snprintf(text, sizeof text, "%s %#x/%u = %#x", kNames[static_cast<int>(a.kind)], a.address, a.width, a.value);
  return text;
}

void Machine::Record(const Access& access, bool claimed) {
  ++accessCount_;
  if (log_.size() < logLimit_) log_.push_back(access);
  if (observer_) observer_(access, claimed);
}

uint32_t Machine::IoRead(uint16_t port, unsigned width) {
  uint32_t value = AllOnes(width);
  IoDevice* device = nullptr;
  for (IoDevice* d : io_) {
    if (d->ClaimsPort(port)) {
      device = d;
      break;
    }
  }
  const bool claimed = device != nullptr;
  {
    const Timed timed(clock_, device, true, false);
    if (claimed) value = device->IoRead(port, width) & AllOnes(width);
  }
  Record({AccessKind::IoRead, port, static_cast<uint8_t>(width), value}, claimed);
  return value;
}

void Machine::IoWrite(uint16_t port, unsigned width, uint32_t value) {
  value &= AllOnes(width);
  IoDevice* device = nullptr;
  for (IoDevice* d : io_) {
    if (d->ClaimsPort(port)) {
      device = d;
      break;
    }
  }
  Record({AccessKind::IoWrite, port, static_cast<uint8_t>(width), value}, device != nullptr);
  const Timed timed(clock_, device, true, false);
  if (device != nullptr) device->IoWrite(port, width, value);
}

uint32_t Machine::MemRead(uint32_t address, unsigned width) {
  uint32_t value = AllOnes(width);
  MemDevice* device = nullptr;
  for (MemDevice* d : mem_) {
    if (d->ClaimsAddress(address)) {
      device = d;
      break;
    }
  }
  const bool claimed = device != nullptr;
  {
    const Timed timed(clock_, device, false, claimed && device->IsRam());
    if (claimed) value = device->MemRead(address, width) & AllOnes(width);
  }
  Record({AccessKind::MemRead, address, static_cast<uint8_t>(width), value}, claimed);
  return value;
}

bool Machine::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  value &= AllOnes(width);
  MemDevice* device = nullptr;
  for (MemDevice* d : mem_) {
    if (d->ClaimsAddress(address)) {
      device = d;
      break;
    }
  }
  Record({AccessKind::MemWrite, address, static_cast<uint8_t>(width), value}, device != nullptr);
  const Timed timed(clock_, device, false, device != nullptr && device->IsRam());
  if (device == nullptr) return false;
  device->MemWrite(address, width, value);
  return true;
}

bool Machine::Decodes(uint32_t address) const {
  for (const MemDevice* d : mem_)
    if (d->ClaimsAddress(address)) return true;
  return false;
}

void Machine::SetInterruptFlag(bool enabled) {
  interruptFlag_ = enabled;
  Record({enabled ? AccessKind::InterruptsOn : AccessKind::InterruptsOff, 0, 0, 0}, true);
}

std::vector<Access> Machine::Filter(const std::function<bool(const Access&)>& keep) const {
  std::vector<Access> out;
  for (const Access& a : log_)
    if (keep(a)) out.push_back(a);
  return out;
}

std::vector<Access> Machine::PortAccesses(uint16_t first, uint16_t last) const {
  return Filter([&](const Access& a) {
    return (a.kind == AccessKind::IoRead || a.kind == AccessKind::IoWrite) && a.address >= first && a.address <= last;
  });
}

std::vector<Access> Machine::MemAccesses(uint32_t first, uint32_t last) const {
  return Filter([&](const Access& a) {
    return (a.kind == AccessKind::MemRead || a.kind == AccessKind::MemWrite) && a.address >= first &&
           a.address <= last;
  });
}

}  // namespace sim
