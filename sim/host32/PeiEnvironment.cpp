#include "PeiEnvironment.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "HostPlatform.h"

namespace sim {

// 0065D394-9951-4144-82A3-0AFC8579C251
const EFI_GUID PeiEnvironment::kHandlerPpiGuid = {0x0065D394, 0x9951, 0x4144,
                                                  {0x82, 0xA3, 0x0A, 0xFC, 0x85, 0x79, 0xC2, 0x51}};
PeiEnvironment* PeiEnvironment::current_ = nullptr;

PeiEnvironment::PeiEnvironment() : previous_(current_) {
  current_ = this;
  services_.Hdr.Signature = 0x5652455320494550ull;  // "PEI SERV"
  services_.Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  services_.LocatePpi = &LocatePpi;
  services_.GetHobList = &GetHobList;
  services_.CreateHob = &CreateHob;
  services_.CopyMem = &CopyMem;
  table_ = &services_;
  otherTable_ = &services_;
  ppi_.Register = &Register;
  ppi_.Unregister = &Unregister;
  ResetHobList();
  StoreBelowIdt(Services());
}

PeiEnvironment::~PeiEnvironment() {
  current_ = previous_;
  SetIdtBase(previous_ ? previous_->IdtBase() : 0);
}

void PeiEnvironment::StoreBelowIdt(const EFI_PEI_SERVICES** services) {
  idt_[0] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(services));
  SetIdtBase(IdtBase());
}

uint32_t PeiEnvironment::IdtBase() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&idt_[1])); }

void PeiEnvironment::ResetHobList() {
  hobs_.fill(0);
  auto* end = reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(hobs_.data());
  end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end->HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
}

size_t PeiEnvironment::EndOffset() const {
  size_t offset = 0;
  for (;;) {
    const auto* h = reinterpret_cast<const EFI_HOB_GENERIC_HEADER*>(hobs_.data() + offset);
    if (h->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) return offset;
    if (h->HobLength < sizeof(EFI_HOB_GENERIC_HEADER) || offset + h->HobLength + 8 > hobs_.size()) {
      std::fprintf(stderr, "simulated HOB list is malformed at offset %zu\n", offset);
      std::abort();
    }
    offset += h->HobLength;
  }
}

uint8_t* PeiEnvironment::AppendHob(uint16_t type, uint16_t length) {
  const size_t offset = EndOffset();
  if (offset + length + sizeof(EFI_HOB_GENERIC_HEADER) > hobs_.size()) return nullptr;
  uint8_t* hob = hobs_.data() + offset;
  std::memset(hob, newHobFill, length);
  auto* header = reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(hob);
  header->HobType = type;
  header->HobLength = length;
  header->Reserved = 0;
  auto* end = reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(hob + length);
  end->HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end->HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
  end->Reserved = 0;
  return hob;
}

void PeiEnvironment::SetRawHobList(const std::vector<uint8_t>& bytes) {
  hobs_.fill(0);
  std::memcpy(hobs_.data(), bytes.data(), std::min(bytes.size(), hobs_.size()));
}

std::vector<EFI_STATUS> PeiEnvironment::Report(EFI_STATUS_CODE_TYPE type, EFI_STATUS_CODE_VALUE value,
                                               uint32_t instance, const EFI_GUID* callerId,
                                               const EFI_STATUS_CODE_DATA* data) {
  std::vector<EFI_STATUS> results;
  const auto handlers = handlers_;  // a handler registering another must not disturb this walk
  for (EFI_PEI_RSC_HANDLER_CALLBACK handler : handlers)
    results.push_back(handler(Services(), type, value, instance, callerId, data));
  return results;
}

EFI_STATUS EFIAPI PeiEnvironment::LocatePpi(const EFI_PEI_SERVICES** services, const EFI_GUID* guid,
                                            uint32_t instance, EFI_PEI_PPI_DESCRIPTOR** descriptor, void** ppi) {
  PeiEnvironment* env = current_;
  ++env->calls.locatePpi;
  env->calls.lastLocatePpiServices = services;
  if (descriptor != nullptr) *descriptor = nullptr;
  if (env->failLocatePpi || instance != 0 || guid == nullptr ||
      std::memcmp(guid, &kHandlerPpiGuid, sizeof(EFI_GUID)) != 0)
    return EFI_NOT_FOUND;
  *ppi = &env->ppi_;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PeiEnvironment::GetHobList(const EFI_PEI_SERVICES**, void** list) {
  PeiEnvironment* env = current_;
  ++env->calls.getHobList;
  if (env->failGetHobList) return EFI_NOT_READY;
  *list = env->nullHobList ? nullptr : env->HobList();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PeiEnvironment::CreateHob(const EFI_PEI_SERVICES** services, uint16_t type, uint16_t length,
                                            void** hob) {
  PeiEnvironment* env = current_;
  ++env->calls.createHob;
  env->calls.lastCreateHobServices = services;
  if (env->failCreateHob || length < sizeof(EFI_HOB_GENERIC_HEADER)) return 0x80000009u;  // out of resources
  uint8_t* made = env->AppendHob(type, static_cast<uint16_t>((length + 7u) & ~7u));
  if (made == nullptr) return 0x80000009u;
  *hob = made;
  return EFI_SUCCESS;
}

void EFIAPI PeiEnvironment::CopyMem(void* destination, const void* source, uint32_t length) {
  ++current_->calls.copyMem;
  std::memmove(destination, source, length);
}

EFI_STATUS EFIAPI PeiEnvironment::Register(EFI_PEI_RSC_HANDLER_CALLBACK callback) {
  PeiEnvironment* env = current_;
  const int index = env->calls.registerCalls++;
  if (env->failRegisterCalls.count(index) != 0) return 0x80000009u;
  if (callback == nullptr) return EFI_INVALID_PARAMETER;
  env->handlers_.push_back(callback);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI PeiEnvironment::Unregister(EFI_PEI_RSC_HANDLER_CALLBACK callback) {
  PeiEnvironment* env = current_;
  for (auto it = env->handlers_.begin(); it != env->handlers_.end(); ++it) {
    if (*it == callback) {
      env->handlers_.erase(it);
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

}  // namespace sim
