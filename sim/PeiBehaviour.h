// The PEI foundation as the module meets it, written once: what each service
// the module calls answers and does, the HOB list it keeps, the handlers the
// report-status-code PPI registers, and the switches that make a service
// fail. Two environments carry it out: the host32 PeiEnvironment
// (sim/host32/), where the module calls host functions, and the emulated
// machine's service thunks (emu/PeiThunks.cpp), where the image calls into
// guest memory. They differ only in where things are; every decision and
// every count is made here. Addresses are 32-bit: guest addresses in the
// emulator, host addresses in the (32-bit) host32 build.
#ifndef STATUSSINK_SIM_PEIBEHAVIOUR_H
#define STATUSSINK_SIM_PEIBEHAVIOUR_H

#include <cstdint>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "include/PiTypes.h"

namespace sim {

// Switches that make a service fail, and what a new HOB holds. A scenario's
// "platform.fail" object and "platform.new_hob_fill" set them.
struct PeiSwitches {
  bool failLocatePpi = false;       // LocatePpi finds nothing: EFI_NOT_FOUND
  bool nullPpi = false;             // LocatePpi succeeds but gives a null PPI
  std::set<int> failRegisterCalls;  // 0-based indexes of the Register calls that fail: EFI_OUT_OF_RESOURCES
  bool failCreateHob = false;       // CreateHob has no room: EFI_OUT_OF_RESOURCES
  bool failGetHobList = false;      // GetHobList: EFI_NOT_READY
  bool nullHobList = false;         // GetHobList succeeds with a null list
  uint8_t newHobFill = 0;           // the byte a new HOB's body is filled with
  // GetHobList hands out this address instead of the list CreateHob appends
  // to: a list somewhere else, such as a damaged one a fault wrote into the
  // board's RAM. Emulated machine only (a host32 address would differ).
  std::optional<uint32_t> hobListAddress;

  bool operator==(const PeiSwitches&) const = default;
};

// Service calls received, for assertions and for the run result.
struct PeiServiceCalls {
  int locatePpi = 0, getHobList = 0, createHob = 0, copyMem = 0, registerCalls = 0, unsupported = 0;
  uint32_t lastLocatePpiServices = 0, lastCreateHobServices = 0;  // the PeiServices value passed
};

// A service's answer: the status and, when the service stores something
// through its out pointer, the value to store.
struct PeiAnswer {
  EFI_STATUS status = EFI_SUCCESS;
  std::optional<uint32_t> store;
};

// The bytes of a HOB list: HOBs one after the other, ended by the
// end-of-list HOB. The environment keeps these bytes where the module sees
// the list (the emulator copies what Append wrote into guest memory).
class HobList {
 public:
  static constexpr uint32_t kCapacity = 64 * 1024;

  HobList();
  uint8_t* Data() { return bytes_.data(); }
  const uint8_t* Data() const { return bytes_.data(); }
  void Reset();  // only the end-of-list HOB
  // Replaces the list with raw bytes (the caller supplies the end HOB, or not).
  void SetRaw(const std::vector<uint8_t>& bytes);
  // Puts a HOB of `length` bytes (header filled in, body of `fill`) where the
  // end-of-list HOB stands and ends the list after it. The new HOB's offset,
  // or nothing when the list has no room. The new HOB and the end HOB are the
  // only bytes written: Length + 8 from the returned offset.
  std::optional<uint32_t> Append(uint16_t type, uint16_t length, uint8_t fill);
  // Offset of the end-of-list HOB (walks the list; aborts on a malformed one).
  uint32_t EndOffset() const;

 private:
  std::vector<uint8_t> bytes_;
};

class PeiBehaviour {
 public:
  explicit PeiBehaviour(PeiSwitches switches = {}) : switches(std::move(switches)) {}

  PeiSwitches switches;
  PeiServiceCalls calls;
  HobList hobs;
  std::vector<std::pair<uint32_t, uint32_t>> createdHobs;  // address and length of each HOB CreateHob made

  // LocatePpi(PeiServices, Guid, Instance, PpiDescriptor, Ppi). `guid` is
  // null when the argument was null or could not be read; `ppiOut` is the
  // address of the out pointer; `installedPpi` is where the handler PPI
  // stands. Only the handler PPI, instance 0, is installed. On success a
  // PpiDescriptor out pointer that is not null receives null: the module
  // never asks for one.
  PeiAnswer LocatePpi(uint32_t services, const EFI_GUID* guid, uint32_t instance, uint32_t ppiOut,
                      uint32_t installedPpi);
  // GetHobList(PeiServices, HobList); `listAddress` is where the list's first HOB stands.
  PeiAnswer GetHobList(uint32_t hobListOut, uint32_t listAddress);
  // CreateHob(PeiServices, Type, Length, Hob): a HOB of Length rounded up to
  // 8 bytes is appended to `hobs`; the answer stores listAddress + its offset.
  PeiAnswer CreateHob(uint32_t services, uint16_t type, uint16_t length, uint32_t hobOut, uint32_t listAddress);
  // CopyMem(Destination, Source, Length): counted; the environment copies.
  void CopyMem() { ++calls.copyMem; }
  // A service of the table that the module has no business calling.
  EFI_STATUS Unsupported() {
    ++calls.unsupported;
    return EFI_UNSUPPORTED;
  }

  // The handler PPI's Register (a callback registered already: EFI_ALREADY_STARTED;
  // no room left in the router's table of kMaxHandlers: EFI_OUT_OF_RESOURCES)
  // and Unregister, and the registered handlers (addresses) in registration
  // order: the router calls them in that order. The table is as large as the
  // QEMU boot ROM's foundation keeps (qemu/rom/Foundation.cpp).
  static constexpr size_t kMaxHandlers = 8;
  EFI_STATUS Register(uint32_t callback);
  EFI_STATUS Unregister(uint32_t callback);
  const std::vector<uint32_t>& Handlers() const { return handlers_; }

 private:
  std::vector<uint32_t> handlers_;
};

}  // namespace sim

#endif
