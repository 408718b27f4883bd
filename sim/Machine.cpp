#include "Machine.h"

#include <cstdio>

namespace sim {

namespace {
uint32_t AllOnes(unsigned width) { return width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1u); }
}  // namespace

std::string Describe(const Access& a) {
  static const char* const kNames[] = {"io-read", "io-write", "mem-read", "mem-write", "cli", "sti"};
  char text[80];
  std::snprintf(text, sizeof text, "%s %#x/%u = %#x", kNames[static_cast<int>(a.kind)], a.address, a.width, a.value);
  return text;
}

void Machine::Record(const Access& access) {
  ++accessCount_;
  if (log_.size() < logLimit_) log_.push_back(access);
}

uint32_t Machine::IoRead(uint16_t port, unsigned width) {
  uint32_t value = AllOnes(width);
  for (IoDevice* d : io_) {
    if (d->ClaimsPort(port)) {
      value = d->IoRead(port, width) & AllOnes(width);
      break;
    }
  }
  Record({AccessKind::IoRead, port, static_cast<uint8_t>(width), value});
  return value;
}

void Machine::IoWrite(uint16_t port, unsigned width, uint32_t value) {
  value &= AllOnes(width);
  Record({AccessKind::IoWrite, port, static_cast<uint8_t>(width), value});
  for (IoDevice* d : io_) {
    if (d->ClaimsPort(port)) {
      d->IoWrite(port, width, value);
      break;
    }
  }
}

uint32_t Machine::MemRead(uint32_t address, unsigned width) {
  uint32_t value = AllOnes(width);
  for (MemDevice* d : mem_) {
    if (d->ClaimsAddress(address)) {
      value = d->MemRead(address, width) & AllOnes(width);
      break;
    }
  }
  Record({AccessKind::MemRead, address, static_cast<uint8_t>(width), value});
  return value;
}

void Machine::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  value &= AllOnes(width);
  Record({AccessKind::MemWrite, address, static_cast<uint8_t>(width), value});
  for (MemDevice* d : mem_) {
    if (d->ClaimsAddress(address)) {
      d->MemWrite(address, width, value);
      break;
    }
  }
}

bool Machine::Decodes(uint32_t address) const {
  for (const MemDevice* d : mem_)
    if (d->ClaimsAddress(address)) return true;
  return false;
}

void Machine::SetInterruptFlag(bool enabled) {
  interruptFlag_ = enabled;
  Record({enabled ? AccessKind::InterruptsOn : AccessKind::InterruptsOff, 0, 0, 0});
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
