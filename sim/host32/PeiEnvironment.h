// The simulated PEI environment of the host32 build: a services table with
// the PI layout whose entries are host functions, the services pointer stored
// below a simulated IDT, the report-status-code handler PPI, and a router
// that calls every registered handler in registration order. What each
// service answers, the HOB list and the failure switches are those of
// sim::PeiBehaviour, which the emulated machine's thunks follow too.
#ifndef STATUSSINK_SIM_PEIENVIRONMENT_H
#define STATUSSINK_SIM_PEIENVIRONMENT_H

#include <array>
#include <cstdint>
#include <vector>

#include "sim/PeiBehaviour.h"
#include "include/PiTypes.h"

namespace sim {

class PeiEnvironment {
 public:
  explicit PeiEnvironment(PeiSwitches switches = {});
  ~PeiEnvironment();
  PeiEnvironment(const PeiEnvironment&) = delete;
  PeiEnvironment& operator=(const PeiEnvironment&) = delete;

  // The services' behaviour: switches, calls received, HOB list, handlers.
  PeiBehaviour pei;

  // The PeiServices value handed to the entry point and to every handler.
  const EFI_PEI_SERVICES** Services() { return &table_; }
  // A second, independent services value (same environment behind it), for
  // tests that tell the pointer below the IDT from the entry's argument.
  const EFI_PEI_SERVICES** OtherServices() { return &otherTable_; }
  // Which services value the word below the IDT holds (Services() by default).
  void StoreBelowIdt(const EFI_PEI_SERVICES** services);
  uint32_t IdtBase() const;

  // The HOB list where the module sees it.
  void* HobList() { return pei.hobs.Data(); }
  // Appends a HOB before the end of the list; `length` bytes, header filled in.
  uint8_t* AppendHob(uint16_t type, uint16_t length);

  // The router: calls every registered handler in order and returns their results.
  std::vector<EFI_STATUS> Report(EFI_STATUS_CODE_TYPE type, EFI_STATUS_CODE_VALUE value, uint32_t instance,
                                 const EFI_GUID* callerId, const EFI_STATUS_CODE_DATA* data);
  std::vector<EFI_PEI_RSC_HANDLER_CALLBACK> Handlers() const;

  static PeiEnvironment* Current() { return current_; }

 private:
  static EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES** services, const EFI_GUID* guid, uint32_t instance,
                                     EFI_PEI_PPI_DESCRIPTOR** descriptor, void** ppi);
  static EFI_STATUS EFIAPI GetHobList(const EFI_PEI_SERVICES** services, void** list);
  static EFI_STATUS EFIAPI CreateHob(const EFI_PEI_SERVICES** services, uint16_t type, uint16_t length, void** hob);
  static void EFIAPI CopyMem(void* destination, const void* source, uint32_t length);
  static EFI_STATUS EFIAPI Register(EFI_PEI_RSC_HANDLER_CALLBACK callback);
  static EFI_STATUS EFIAPI Unregister(EFI_PEI_RSC_HANDLER_CALLBACK callback);

  static PeiEnvironment* current_;
  PeiEnvironment* previous_;
  EFI_PEI_SERVICES services_{};
  const EFI_PEI_SERVICES* table_;
  const EFI_PEI_SERVICES* otherTable_;
  EFI_PEI_RSC_HANDLER_PPI ppi_{};
  std::array<uint32_t, 64> idt_{};  // idt_[0] holds the services pointer; the table starts at idt_[1]
};

}  // namespace sim

#endif
