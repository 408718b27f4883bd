// The stand-in foundation's PEI services and the environment the module
// finds them in: the services table, the report-status-code handler PPI, the
// HOB list and the interrupt table, all in temporary RAM. The switches of
// the report block make services fail as a scenario asks.
#include "qemu/rom/Foundation.h"

#include "start/ModuleEntry.h"  // HandlerPpiGuid: the PPI this foundation installs

extern "C" const uint32_t ExceptionEntryTable[32];  // Reset.S

namespace QemuRom {
namespace {

constexpr uint16_t HobTypeHandoff = 0x0001;
constexpr uint32_t HandoffHobLength = 0x38;
constexpr uint32_t HandoffHobVersion = 0x0009;
constexpr uint32_t PpiFlagsPpiEndOfList = 0x80000010u;

struct PpiDescriptor {
  uint32_t Flags;
  const EFI_GUID* Guid;
  void* Ppi;
};

EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES** PeiServices, const EFI_GUID* Guid, uint32_t Instance,
                            EFI_PEI_PPI_DESCRIPTOR** Descriptor, void** Ppi) {
  FoundationState* state = State();
  ++state->Calls.LocatePpi;
  state->Calls.LocatePpiServices = Address(PeiServices);
  if ((state->Block->Switches & SwitchFailLocatePpi) != 0) return EFI_NOT_FOUND;
  if (Guid == nullptr || Ppi == nullptr || !SameGuid(Guid, &HandlerPpiGuid) || Instance != 0) return EFI_NOT_FOUND;
  if (Descriptor != nullptr) *Descriptor = At<EFI_PEI_PPI_DESCRIPTOR>(PpiDescriptorOffset);
  *Ppi = (state->Block->Switches & SwitchNullPpi) != 0 ? nullptr : At<EFI_PEI_RSC_HANDLER_PPI>(HandlerPpiOffset);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetHobList(const EFI_PEI_SERVICES** PeiServices, void** HobList) {
  (void)PeiServices;
  FoundationState* state = State();
  ++state->Calls.GetHobList;
  if ((state->Block->Switches & SwitchFailGetHobList) != 0) return EFI_NOT_READY;
  if (HobList == nullptr) return EFI_INVALID_PARAMETER;
  *HobList = (state->Block->Switches & SwitchNullHobList) != 0 ? nullptr : At<void>(HobListOffset);
  return EFI_SUCCESS;
}

void WriteEndOfHobList(uint32_t at) {
  Write32(at, EFI_HOB_TYPE_END_OF_HOB_LIST | (sizeof(EFI_HOB_GENERIC_HEADER) << 16));
  Write32(at + 4, 0);
}

EFI_STATUS EFIAPI CreateHob(const EFI_PEI_SERVICES** PeiServices, uint16_t Type, uint16_t Length, void** Hob) {
  FoundationState* state = State();
  ++state->Calls.CreateHob;
  state->Calls.CreateHobServices = Address(PeiServices);
  // HOBs keep 8-byte alignment; the end-of-list HOB moves up behind the new one.
  const uint32_t rounded = (static_cast<uint32_t>(Length) + 7u) & ~7u;
  if ((state->Block->Switches & SwitchFailCreateHob) != 0 || Length < sizeof(EFI_HOB_GENERIC_HEADER) ||
      rounded > 0xFFFF || state->HobEnd + rounded + sizeof(EFI_HOB_GENERIC_HEADER) > HobListSize ||
      state->CreatedHobCount == MaxCreatedHobs)
    return EFI_OUT_OF_RESOURCES;
  if (Hob == nullptr) return EFI_INVALID_PARAMETER;
  const uint32_t hob = RamBase() + HobListOffset + state->HobEnd;
  FillBytes(hob, static_cast<uint8_t>(state->Block->NewHobFill), rounded);
  Write32(hob, Type | (rounded << 16));
  Write32(hob + 4, 0);
  state->HobEnd += rounded;
  WriteEndOfHobList(RamBase() + HobListOffset + state->HobEnd);
  state->CreatedHobs[state->CreatedHobCount++] = hob;
  *Hob = reinterpret_cast<void*>(static_cast<uintptr_t>(hob));
  return EFI_SUCCESS;
}

void EFIAPI CopyMem(void* Destination, const void* Source, uint32_t Length) {
  ++State()->Calls.CopyMem;
  CopyBytes(Destination, Source, Length);
}

EFI_STATUS EFIAPI UnsupportedService() {
  ++State()->Calls.Other;
  return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI Register(EFI_PEI_RSC_HANDLER_CALLBACK Callback) {
  FoundationState* state = State();
  const uint32_t call = state->Calls.Register++;
  if (call < 32 && (state->Block->FailRegisterMask & (1u << call)) != 0) return EFI_OUT_OF_RESOURCES;
  if (Callback == nullptr) return EFI_INVALID_PARAMETER;
  for (uint32_t i = 0; i < state->HandlerCount; ++i)
    if (state->Handlers[i] == Callback) return EFI_ALREADY_STARTED;
  if (state->HandlerCount == MaxHandlers) return EFI_OUT_OF_RESOURCES;
  state->Handlers[state->HandlerCount++] = Callback;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI Unregister(EFI_PEI_RSC_HANDLER_CALLBACK Callback) {
  FoundationState* state = State();
  for (uint32_t i = 0; i < state->HandlerCount; ++i) {
    if (state->Handlers[i] != Callback) continue;
    for (uint32_t k = i + 1; k < state->HandlerCount; ++k) state->Handlers[k - 1] = state->Handlers[k];
    --state->HandlerCount;
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

}  // namespace

void SetUpEnvironment(const ReportBlockHeader* block) {
  FillBytes(RamBase(), 0, ReportAreaEnd);  // the stack above is in use
  FoundationState* state = State();
  state->Block = block;

  EFI_PEI_SERVICES* table = At<EFI_PEI_SERVICES>(ServicesTableOffset);
  EFI_PEI_UNUSED_SERVICE* slots = &table->InstallPpi;
  const uint32_t slotCount = (reinterpret_cast<uintptr_t>(&table->CpuIo) - reinterpret_cast<uintptr_t>(slots)) /
                             sizeof(EFI_PEI_UNUSED_SERVICE);
  for (uint32_t i = 0; i < slotCount; ++i) slots[i] = &UnsupportedService;
  table->Hdr.Signature = PEI_SERVICES_SIGNATURE;
  table->Hdr.HeaderSize = sizeof(EFI_PEI_SERVICES);
  table->LocatePpi = &LocatePpi;
  table->GetHobList = &GetHobList;
  table->CreateHob = &CreateHob;
  table->CopyMem = &CopyMem;
  *At<const EFI_PEI_SERVICES*>(ServicesPointerOffset) = table;

  EFI_PEI_RSC_HANDLER_PPI* ppi = At<EFI_PEI_RSC_HANDLER_PPI>(HandlerPpiOffset);
  ppi->Register = &Register;
  ppi->Unregister = &Unregister;
  PpiDescriptor* descriptor = At<PpiDescriptor>(PpiDescriptorOffset);
  descriptor->Flags = PpiFlagsPpiEndOfList;
  descriptor->Guid = &HandlerPpiGuid;
  descriptor->Ppi = ppi;

  // The HOB list starts with the handoff HOB that describes temporary RAM.
  const uint32_t hobs = RamBase() + HobListOffset;
  const uint32_t handoff[HandoffHobLength / 4] = {HobTypeHandoff | (HandoffHobLength << 16),
                                                  0,
                                                  HandoffHobVersion,
                                                  0,
                                                  RamBase(),
                                                  0,
                                                  RamBase() + RamSize(),
                                                  0,
                                                  RamBase(),
                                                  0,
                                                  hobs + HobListSize,
                                                  0,
                                                  hobs + HandoffHobLength + sizeof(EFI_HOB_GENERIC_HEADER),
                                                  0};
  for (uint32_t i = 0; i < HandoffHobLength / 4; ++i) Write32(hobs + 4 * i, handoff[i]);
  state->HobEnd = HandoffHobLength;
  WriteEndOfHobList(hobs + state->HobEnd);

  // Interrupt gates for the processor's exceptions; the services pointer below the table.
  const uint32_t idt = RamBase() + IdtOffset;
  for (uint32_t vector = 0; vector < 32; ++vector) {
    const uint32_t entry = ExceptionEntryTable[vector];
    Write32(idt + 8 * vector, (entry & 0xFFFFu) | (0x08u << 16));
    Write32(idt + 8 * vector + 4, (entry & 0xFFFF0000u) | 0x8E00u);  // present, ring 0, 32-bit interrupt gate
  }
  Write32(idt - 4, RamBase() + ServicesPointerOffset);
  struct __attribute__((packed)) {
    uint16_t Limit;
    uint32_t Base;
  } idtr = {IdtLimit, idt};
  __asm__ __volatile__("lidt %0" : : "m"(idtr));
}

}  // namespace QemuRom
