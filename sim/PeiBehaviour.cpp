#include "sim/PeiBehaviour.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

constexpr uint32_t kHobHeaderSize = sizeof(EFI_HOB_GENERIC_HEADER);
constexpr uint32_t kLargestHob = 0xFFF8;  // the largest 8-byte multiple a 16-bit HobLength holds

void PutHeader(uint8_t* at, uint16_t type, uint16_t length) {
  const EFI_HOB_GENERIC_HEADER header{type, length, 0};
  std::memcpy(at, &header, sizeof header);
}

}  // namespace

HobList::HobList() : bytes_(kCapacity, 0) { Reset(); }

void HobList::Reset() {
  std::fill(bytes_.begin(), bytes_.end(), 0);
  PutHeader(bytes_.data(), EFI_HOB_TYPE_END_OF_HOB_LIST, kHobHeaderSize);
}

void HobList::SetRaw(const std::vector<uint8_t>& bytes) {
  std::fill(bytes_.begin(), bytes_.end(), 0);
  std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), bytes_.size()), bytes_.begin());
}

uint32_t HobList::EndOffset() const {
  uint32_t offset = 0;
  for (;;) {
    EFI_HOB_GENERIC_HEADER h;
    std::memcpy(&h, bytes_.data() + offset, sizeof h);
    if (h.HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) return offset;
    if (h.HobLength < kHobHeaderSize || offset + h.HobLength + kHobHeaderSize > bytes_.size()) {
      std::fprintf(stderr, "simulated HOB list is malformed at offset %u\n", offset);
      std::abort();
    }
    offset += h.HobLength;
  }
}

std::optional<uint32_t> HobList::Append(uint16_t type, uint16_t length, uint8_t fill) {
  const uint32_t offset = EndOffset();
  if (length < kHobHeaderSize || offset + length + kHobHeaderSize > bytes_.size()) return std::nullopt;
  uint8_t* hob = bytes_.data() + offset;
  std::memset(hob, fill, length);
  PutHeader(hob, type, length);
  PutHeader(hob + length, EFI_HOB_TYPE_END_OF_HOB_LIST, kHobHeaderSize);
  return offset;
}

PeiAnswer PeiBehaviour::LocatePpi(uint32_t services, const EFI_GUID* guid, uint32_t instance, uint32_t ppiOut,
                                  uint32_t installedPpi) {
  ++calls.locatePpi;
  calls.lastLocatePpiServices = services;
  const bool installed = guid != nullptr && std::memcmp(guid, &HandlerPpiGuid, sizeof(EFI_GUID)) == 0 && instance == 0;
  if (switches.failLocatePpi || !installed) return {EFI_NOT_FOUND, std::nullopt};
  if (ppiOut == 0) return {EFI_INVALID_PARAMETER, std::nullopt};
  return {EFI_SUCCESS, switches.nullPpi ? 0u : installedPpi};
}

PeiAnswer PeiBehaviour::GetHobList(uint32_t hobListOut, uint32_t listAddress) {
  ++calls.getHobList;
  if (switches.failGetHobList) return {EFI_NOT_READY, std::nullopt};
  if (hobListOut == 0) return {EFI_INVALID_PARAMETER, std::nullopt};
  return {EFI_SUCCESS, switches.nullHobList ? 0u : switches.hobListAddress.value_or(listAddress)};
}

PeiAnswer PeiBehaviour::CreateHob(uint32_t services, uint16_t type, uint16_t length, uint32_t hobOut,
                                  uint32_t listAddress) {
  ++calls.createHob;
  calls.lastCreateHobServices = services;
  // A length that rounds up past the largest HOB cannot be made (it would
  // wrap to a HOB of length 0 and end every walk of the list there).
  const uint32_t rounded = (uint32_t{length} + 7u) & ~7u;
  if (switches.failCreateHob || length < kHobHeaderSize || rounded > kLargestHob)
    return {EFI_OUT_OF_RESOURCES, std::nullopt};
  if (hobOut == 0) return {EFI_INVALID_PARAMETER, std::nullopt};
  const std::optional<uint32_t> at = hobs.Append(type, static_cast<uint16_t>(rounded), switches.newHobFill);
  if (!at) return {EFI_OUT_OF_RESOURCES, std::nullopt};
  createdHobs.emplace_back(listAddress + *at, rounded);
  return {EFI_SUCCESS, listAddress + *at};
}

EFI_STATUS PeiBehaviour::Register(uint32_t callback) {
  const int index = calls.registerCalls++;
  if (switches.failRegisterCalls.count(index) != 0) return EFI_OUT_OF_RESOURCES;
  if (callback == 0) return EFI_INVALID_PARAMETER;
  if (std::find(handlers_.begin(), handlers_.end(), callback) != handlers_.end()) return EFI_ALREADY_STARTED;
  if (handlers_.size() == kMaxHandlers) return EFI_OUT_OF_RESOURCES;
  handlers_.push_back(callback);
  return EFI_SUCCESS;
}

EFI_STATUS PeiBehaviour::Unregister(uint32_t callback) {
  const auto it = std::find(handlers_.begin(), handlers_.end(), callback);
  if (it == handlers_.end()) return EFI_NOT_FOUND;
  handlers_.erase(it);
  return EFI_SUCCESS;
}

}  // namespace sim
