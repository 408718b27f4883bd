#include "sim/PcieConfigWindow.h"

namespace sim {

namespace {
constexpr uint32_t kBridgeKey = (PcieConfigWindow::Address(0, PcieConfigWindow::kBridgeDevice,
                                                           PcieConfigWindow::kBridgeFunction) -
                                 PcieConfigWindow::kBase) >>
                                12;
}  // namespace

bool PcieConfigWindow::Hidden(uint32_t key, const Space& space) const {
  return key == kBridgeKey && (space[kHideControl] & 1) != 0;
}

uint32_t PcieConfigWindow::MemRead(uint32_t address, unsigned width) {
  const uint32_t offsetInWindow = address - kBase;
  auto it = functions_.find(offsetInWindow >> 12);
  if (allOnes_ || it == functions_.end() || Hidden(it->first, it->second)) return 0xFFFFFFFFu;
  const uint32_t offset = offsetInWindow & (kFunctionSize - 1);
  uint32_t value = 0;
  for (unsigned i = 0; i < width && offset + i < kFunctionSize; ++i) value |= uint32_t{it->second[offset + i]} << (8 * i);
  return value;
}

void PcieConfigWindow::MemWrite(uint32_t address, unsigned width, uint32_t value) {
  const uint32_t offsetInWindow = address - kBase;
  auto it = functions_.find(offsetInWindow >> 12);
  if (allOnes_ || it == functions_.end()) return;
  const uint32_t offset = offsetInWindow & (kFunctionSize - 1);
  const bool hidden = Hidden(it->first, it->second);
  for (unsigned i = 0; i < width && offset + i < kFunctionSize; ++i) {
    const bool hideControl = it->first == kBridgeKey && offset + i == kHideControl;
    if (hideControl && hideLocked_) continue;
    if (hidden && !hideControl) continue;
    it->second[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

void PcieConfigWindow::AddFunction(uint8_t bus, uint8_t device, uint8_t function, uint16_t vendorId,
                                   uint16_t deviceId) {
  Space& space = functions_[Key(bus, device, function)];
  space.fill(0);
  space[0] = static_cast<uint8_t>(vendorId);
  space[1] = static_cast<uint8_t>(vendorId >> 8);
  space[2] = static_cast<uint8_t>(deviceId);
  space[3] = static_cast<uint8_t>(deviceId >> 8);
}

void PcieConfigWindow::RemoveFunction(uint8_t bus, uint8_t device, uint8_t function) {
  functions_.erase(Key(bus, device, function));
}

bool PcieConfigWindow::HasFunction(uint8_t bus, uint8_t device, uint8_t function) const {
  return functions_.count(Key(bus, device, function)) != 0;
}

void PcieConfigWindow::Write32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint32_t value) {
  Space& space = functions_[Key(bus, device, function)];
  for (unsigned i = 0; i < 4 && offset + i < kFunctionSize; ++i) space[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t PcieConfigWindow::Read32(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset) const {
  auto it = functions_.find(Key(bus, device, function));
  if (it == functions_.end()) return 0xFFFFFFFFu;
  uint32_t value = 0;
  for (unsigned i = 0; i < 4 && offset + i < kFunctionSize; ++i) value |= uint32_t{it->second[offset + i]} << (8 * i);
  return value;
}

void PcieConfigWindow::Write8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset, uint8_t value) {
  if (offset < kFunctionSize) functions_[Key(bus, device, function)][offset] = value;
}

uint8_t PcieConfigWindow::Read8(uint8_t bus, uint8_t device, uint8_t function, uint16_t offset) const {
  auto it = functions_.find(Key(bus, device, function));
  return (it == functions_.end() || offset >= kFunctionSize) ? 0xFF : it->second[offset];
}

void PcieConfigWindow::AddSidebandBridge(bool hidden, uint16_t vendorId, uint16_t deviceId) {
  AddFunction(0, kBridgeDevice, kBridgeFunction, vendorId, deviceId);
  SetSidebandBridgeHidden(hidden);
}

void PcieConfigWindow::SetSidebandBridgeHidden(bool hidden) {
  Write8(0, kBridgeDevice, kBridgeFunction, kHideControl, hidden ? 1 : 0);
}

bool PcieConfigWindow::SidebandBridgeHidden() const {
  auto it = functions_.find(kBridgeKey);
  return it != functions_.end() && Hidden(it->first, it->second);
}

}  // namespace sim
