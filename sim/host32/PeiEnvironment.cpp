#include "sim/host32/PeiEnvironment.h"

#include <cstring>

#include "sim/host32/HostPlatform.h"

namespace sim {

namespace {

// This build is 32-bit: a host address is the address the module sees.
uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }
template <typename T>
T* Pointer(uint32_t address) {
  return reinterpret_cast<T*>(static_cast<uintptr_t>(address));
}
void StoreThrough(void** out, uint32_t value) { *out = Pointer<void>(value); }

}  // namespace

PeiEnvironment* PeiEnvironment::current_ = nullptr;

PeiEnvironment::PeiEnvironment(PeiSwitches switches) : pei(std::move(switches)), previous_(current_) {
  current_ = this;
  services_.Hdr.Signature = PEI_SERVICES_SIGNATURE;
  services_.Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  services_.LocatePpi = &LocatePpi;
  services_.GetHobList = &GetHobList;
  services_.CreateHob = &CreateHob;
  services_.CopyMem = &CopyMem;
  table_ = &services_;
  otherTable_ = &services_;
  ppi_.Register = &Register;
  ppi_.Unregister = &Unregister;
  StoreBelowIdt(Services());
}

PeiEnvironment::~PeiEnvironment() {
  current_ = previous_;
  SetIdtBase(previous_ ? previous_->IdtBase() : 0);
}

void PeiEnvironment::StoreBelowIdt(const EFI_PEI_SERVICES** services) {
  idt_[0] = Address(services);
  SetIdtBase(IdtBase());
}

uint32_t PeiEnvironment::IdtBase() const { return Address(&idt_[1]); }

uint8_t* PeiEnvironment::AppendHob(uint16_t type, uint16_t length) {
  const std::optional<uint32_t> at = pei.hobs.Append(type, length, pei.switches.newHobFill);
  return at ? pei.hobs.Data() + *at : nullptr;
}

std::vector<EFI_PEI_RSC_HANDLER_CALLBACK> PeiEnvironment::Handlers() const {
  std::vector<EFI_PEI_RSC_HANDLER_CALLBACK> handlers;
  for (uint32_t address : pei.Handlers())
    handlers.push_back(reinterpret_cast<EFI_PEI_RSC_HANDLER_CALLBACK>(static_cast<uintptr_t>(address)));
  return handlers;
}

std::vector<EFI_STATUS> PeiEnvironment::Report(EFI_STATUS_CODE_TYPE type, EFI_STATUS_CODE_VALUE value,
                                               uint32_t instance, const EFI_GUID* callerId,
                                               const EFI_STATUS_CODE_DATA* data) {
  std::vector<EFI_STATUS> results;
  // A copy: a handler registering another must not disturb this walk.
  for (EFI_PEI_RSC_HANDLER_CALLBACK handler : Handlers())
    results.push_back(handler(Services(), type, value, instance, callerId, data));
  return results;
}

EFI_STATUS EFIAPI PeiEnvironment::LocatePpi(const EFI_PEI_SERVICES** services, const EFI_GUID* guid,
                                            uint32_t instance, EFI_PEI_PPI_DESCRIPTOR** descriptor, void** ppi) {
  PeiEnvironment* env = current_;
  const PeiAnswer a = env->pei.LocatePpi(Address(services), guid, instance, Address(ppi), Address(&env->ppi_));
  if (a.store) {
    StoreThrough(ppi, *a.store);
    if (descriptor != nullptr) *descriptor = nullptr;
  }
  return a.status;
}

EFI_STATUS EFIAPI PeiEnvironment::GetHobList(const EFI_PEI_SERVICES**, void** list) {
  PeiEnvironment* env = current_;
  const PeiAnswer a = env->pei.GetHobList(Address(list), Address(env->HobList()));
  if (a.store) StoreThrough(list, *a.store);
  return a.status;
}

EFI_STATUS EFIAPI PeiEnvironment::CreateHob(const EFI_PEI_SERVICES** services, uint16_t type, uint16_t length,
                                            void** hob) {
  PeiEnvironment* env = current_;
  const PeiAnswer a = env->pei.CreateHob(Address(services), type, length, Address(hob), Address(env->HobList()));
  if (a.store) StoreThrough(hob, *a.store);
  return a.status;
}

void EFIAPI PeiEnvironment::CopyMem(void* destination, const void* source, uint32_t length) {
  current_->pei.CopyMem();
  std::memmove(destination, source, length);
}

EFI_STATUS EFIAPI PeiEnvironment::Register(EFI_PEI_RSC_HANDLER_CALLBACK callback) {
  return current_->pei.Register(Address(reinterpret_cast<const void*>(callback)));
}

EFI_STATUS EFIAPI PeiEnvironment::Unregister(EFI_PEI_RSC_HANDLER_CALLBACK callback) {
  return current_->pei.Unregister(Address(reinterpret_cast<const void*>(callback)));
}

}  // namespace sim
