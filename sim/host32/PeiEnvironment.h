// A simulated PEI environment for host32 tests: a services table with the PI
// layout, the services pointer stored below a simulated IDT, a PPI database
// holding the report-status-code handler PPI, a HOB list with CreateHob and
// GetHobList, CopyMem, and a router that calls every registered handler in
// registration order. Every service can be made to fail.
#ifndef STATUSSINK_SIM_PEIENVIRONMENT_H
#define STATUSSINK_SIM_PEIENVIRONMENT_H

#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "PiTypes.h"

namespace sim {

class PeiEnvironment {
 public:
  static constexpr size_t kHobSpace = 64 * 1024;
  static const EFI_GUID kHandlerPpiGuid;

  PeiEnvironment();
  ~PeiEnvironment();
  PeiEnvironment(const PeiEnvironment&) = delete;
  PeiEnvironment& operator=(const PeiEnvironment&) = delete;

  // The PeiServices value handed to the entry point and to every handler.
  const EFI_PEI_SERVICES** Services() { return &table_; }
  // A second, independent services value (same environment behind it), for
  // tests that tell the pointer below the IDT from the entry's argument.
  const EFI_PEI_SERVICES** OtherServices() { return &otherTable_; }
  // Which services value the word below the IDT holds (Services() by default).
  void StoreBelowIdt(const EFI_PEI_SERVICES** services);
  uint32_t IdtBase() const;

  // Failure switches.
  bool failLocatePpi = false;
  bool failGetHobList = false;
  bool nullHobList = false;
  bool failCreateHob = false;
  std::set<int> failRegisterCalls;  // 0-based index of the Register calls that fail
  uint8_t newHobFill = 0;           // what a new HOB's body holds

  // HOB list.
  void* HobList() { return hobs_.data(); }
  void ResetHobList();  // only the end-of-list HOB
  // Appends a HOB before the end of the list; `length` bytes, header filled in.
  uint8_t* AppendHob(uint16_t type, uint16_t length);
  // Replaces the list with raw bytes (the caller supplies the end HOB, or not).
  void SetRawHobList(const std::vector<uint8_t>& bytes);

  // The router: calls every registered handler in order and returns their results.
  std::vector<EFI_STATUS> Report(EFI_STATUS_CODE_TYPE type, EFI_STATUS_CODE_VALUE value, uint32_t instance,
                                 const EFI_GUID* callerId, const EFI_STATUS_CODE_DATA* data);
  const std::vector<EFI_PEI_RSC_HANDLER_CALLBACK>& Handlers() const { return handlers_; }

  // Calls received, for assertions.
  struct Calls {
    int locatePpi = 0, getHobList = 0, createHob = 0, copyMem = 0, registerCalls = 0;
    const EFI_PEI_SERVICES** lastLocatePpiServices = nullptr;
    const EFI_PEI_SERVICES** lastCreateHobServices = nullptr;
  } calls;

  static PeiEnvironment* Current() { return current_; }

 private:
  static EFI_STATUS EFIAPI LocatePpi(const EFI_PEI_SERVICES** services, const EFI_GUID* guid, uint32_t instance,
                                     EFI_PEI_PPI_DESCRIPTOR** descriptor, void** ppi);
  static EFI_STATUS EFIAPI GetHobList(const EFI_PEI_SERVICES** services, void** list);
  static EFI_STATUS EFIAPI CreateHob(const EFI_PEI_SERVICES** services, uint16_t type, uint16_t length, void** hob);
  static void EFIAPI CopyMem(void* destination, const void* source, uint32_t length);
  static EFI_STATUS EFIAPI Register(EFI_PEI_RSC_HANDLER_CALLBACK callback);
  static EFI_STATUS EFIAPI Unregister(EFI_PEI_RSC_HANDLER_CALLBACK callback);
  size_t EndOffset() const;

  static PeiEnvironment* current_;
  PeiEnvironment* previous_;
  EFI_PEI_SERVICES services_{};
  const EFI_PEI_SERVICES* table_;
  const EFI_PEI_SERVICES* otherTable_;
  EFI_PEI_RSC_HANDLER_PPI ppi_{};
  std::vector<EFI_PEI_RSC_HANDLER_CALLBACK> handlers_;
  alignas(8) std::array<uint8_t, kHobSpace> hobs_{};
  std::array<uint32_t, 64> idt_{};  // idt_[0] holds the services pointer; the table starts at idt_[1]
};

}  // namespace sim

#endif
