#include "emu/PeiThunks.h"

#include <cstring>
#include <string>

#include <fmt/format.h>

#include "fv/Layout.h"
#include "include/PiTypes.h"

namespace emu {
namespace {

using namespace layout;

// The thunk page: one 16-byte slot per service the table points at.
enum Thunk : uint32_t {
  kThunkLocatePpi,
  kThunkGetHobList,
  kThunkCreateHob,
  kThunkCopyMem,
  kThunkRegister,
  kThunkUnregister,
  kThunkUnsupported0,  // one per remaining table slot, so a stray call names its service
};
constexpr uint32_t kThunkSlot = 16;
constexpr uint32_t ThunkAddress(uint32_t thunk) { return kThunkPage + kThunkSlot * thunk; }
constexpr const char* kImplemented[] = {"LocatePpi", "GetHobList", "CreateHob", "CopyMem", "Register", "Unregister"};
static_assert(sizeof kImplemented / sizeof kImplemented[0] == kThunkUnsupported0);

// The 26 pointer slots after the table header, named for fault reports.
constexpr const char* kServiceNames[] = {
    "InstallPpi", "ReInstallPpi", "LocatePpi", "NotifyPpi", "GetBootMode", "SetBootMode",
    "GetHobList", "CreateHob", "FfsFindNextVolume", "FfsFindNextFile", "FfsFindSectionData",
    "InstallPeiMemory", "AllocatePages", "AllocatePool", "CopyMem", "SetMem", "ReportStatusCode",
    "ResetSystem", "CpuIo", "PciCfg"};
constexpr uint32_t kServiceSlots = sizeof(kServiceNames) / sizeof(kServiceNames[0]);

// The handoff HOB (PHIT) the PEI core starts its HOB list with.
constexpr uint16_t kHobTypeHandoff = 0x0001;
constexpr uint16_t kHandoffHobLength = 0x38;
constexpr uint32_t kBootWithFullConfiguration = 0;

// The service a thunk slot stands for, or null past the last.
const char* ServiceName(uint32_t thunk) {
  return thunk < kThunkUnsupported0                    ? kImplemented[thunk]
         : thunk < kThunkUnsupported0 + kServiceSlots ? kServiceNames[thunk - kThunkUnsupported0]
                                                       : nullptr;
}

}  // namespace

PeiThunks::PeiThunks(Cpu& cpu, GuestMemory& memory, FaultWatch& watch, sim::PeiBehaviour& pei)
    : cpu_(cpu), memory_(memory), watch_(watch), pei_(pei) {
  // The services table: header, then one pointer per service.
  std::vector<uint32_t> table(PeiServicesTableSize / 4, 0);
  table[0] = static_cast<uint32_t>(PEI_SERVICES_SIGNATURE);
  table[1] = static_cast<uint32_t>(PEI_SERVICES_SIGNATURE >> 32);
  table[3] = PeiServicesTableSize;
  for (uint32_t slot = 0; slot < kServiceSlots; ++slot) table[6 + slot] = ThunkAddress(kThunkUnsupported0 + slot);
  table[PeiLocatePpiOffset / 4] = ThunkAddress(kThunkLocatePpi);
  table[PeiGetHobListOffset / 4] = ThunkAddress(kThunkGetHobList);
  table[PeiCreateHobOffset / 4] = ThunkAddress(kThunkCreateHob);
  table[PeiCopyMemOffset / 4] = ThunkAddress(kThunkCopyMem);
  memory_.Put(kServicesTable, table.data(), static_cast<uint32_t>(table.size() * 4));
  memory_.Put32(kServicesPointer, kServicesTable);
  memory_.Put32(kIdtBase - 4, kServicesPointer);
  memory_.Put32(kHandlerPpi, ThunkAddress(kThunkRegister));
  memory_.Put32(kHandlerPpi + 4, ThunkAddress(kThunkUnregister));
  memory_.Put32(kPpiDescriptor, 0x80000010u);  // PPI flag, end of list
  memory_.Put32(kPpiDescriptor + 4, kPpiGuid);
  memory_.Put32(kPpiDescriptor + 8, kHandlerPpi);
  memory_.Put(kPpiGuid, &HandlerPpiGuid, sizeof HandlerPpiGuid);

  // The HOB list: the phase handoff HOB the PEI core starts with, then the end.
  const uint32_t handoff = *pei_.hobs.Append(kHobTypeHandoff, kHandoffHobLength, 0);
  const uint32_t fields[12] = {0x0009, kBootWithFullConfiguration, kTempRamBase, 0, kTempRamBase + kTempRamSize, 0,
                               kTempRamBase, 0, kHobList + sim::HobList::kCapacity, 0, kHobList + kHandoffHobLength + 8, 0};
  std::memcpy(pei_.hobs.Data() + handoff + 8, fields, sizeof fields);
  SyncHobs(handoff, kHandoffHobLength);
}

void PeiThunks::SyncHobs(uint32_t offset, uint32_t length) {
  memory_.Put(kHobList + offset, pei_.hobs.Data() + offset, length + sizeof(EFI_HOB_GENERIC_HEADER));
}

uint32_t PeiThunks::Arg(int n) const {
  uint32_t value = 0;
  memory_.Read(cpu_.Read(UC_X86_REG_ESP) + 4 + 4 * n, &value, 4);
  return value;
}

void PeiThunks::Return(uint32_t eax) {
  const uint32_t esp = cpu_.Read(UC_X86_REG_ESP);
  uint32_t ret = 0;
  memory_.Read(esp, &ret, 4);
  cpu_.Write(UC_X86_REG_EAX, eax);
  cpu_.Write(UC_X86_REG_ESP, esp + 4);
  cpu_.Write(UC_X86_REG_EIP, ret);
}

bool PeiThunks::TryWrite32(uint32_t address, uint32_t value, const char* service) {
  // An output pointer must be temporary RAM; nothing is written anywhere else.
  const bool ok = address != 0 && memory_.Write(address, &value, 4);
  if (!ok)
    watch_.Fail({"bad service argument", address, cpu_.call.blockStart, 4, value, cpu_.call.during,
                 std::string(service) + " was given an output pointer outside temporary RAM"});
  return ok;
}

void PeiThunks::Service(uint32_t address) {
  const uint32_t thunk = (address - kThunkPage) / kThunkSlot;
  // A service runs only from the first byte of its slot; anywhere else is a
  // wild jump into the PEI core's code, not a call of the service.
  if ((address - kThunkPage) % kThunkSlot != 0) {
    const char* service = ServiceName(thunk);
    return watch_.Stop({"fetch outside the image", address, cpu_.call.blockStart, 0, 0, cpu_.call.during,
                        service == nullptr
                            ? std::string("jumped into the PEI core's code page")
                            : fmt::format("jumped {} bytes into the PEI core's {} code, past its entry {}",
                                          (address - kThunkPage) % kThunkSlot, service, fv::Hex(ThunkAddress(thunk)))});
  }
  switch (thunk) {
    case kThunkLocatePpi: {
      const uint32_t guid = Arg(1), descriptor = Arg(3), ppi = Arg(4);
      EFI_GUID wanted{};
      const bool readable = guid != 0;
      if (readable) memory_.Read(guid, &wanted, sizeof wanted);
      const sim::PeiAnswer a = pei_.LocatePpi(Arg(0), readable ? &wanted : nullptr, Arg(2), ppi, kHandlerPpi);
      if (a.store) {
        if (!TryWrite32(ppi, *a.store, "LocatePpi")) return Return(EFI_INVALID_PARAMETER);
        if (descriptor != 0 && !TryWrite32(descriptor, 0, "LocatePpi")) return Return(EFI_INVALID_PARAMETER);
      }
      return Return(a.status);
    }
    case kThunkGetHobList: {
      const sim::PeiAnswer a = pei_.GetHobList(Arg(1), kHobList);
      if (a.store && !TryWrite32(Arg(1), *a.store, "GetHobList")) return Return(EFI_INVALID_PARAMETER);
      return Return(a.status);
    }
    case kThunkCreateHob: {
      const uint32_t out = Arg(3);
      const sim::PeiAnswer a = pei_.CreateHob(Arg(0), static_cast<uint16_t>(Arg(1)), static_cast<uint16_t>(Arg(2)),
                                              out, kHobList);
      if (a.store) {
        const uint32_t offset = *a.store - kHobList;
        EFI_HOB_GENERIC_HEADER header;
        std::memcpy(&header, pei_.hobs.Data() + offset, sizeof header);
        SyncHobs(offset, header.HobLength);
        if (!TryWrite32(out, *a.store, "CreateHob")) return Return(EFI_INVALID_PARAMETER);
      }
      return Return(a.status);
    }
    case kThunkCopyMem: return CopyMem();
    case kThunkRegister: return Return(pei_.Register(Arg(0)));
    case kThunkUnregister: return Return(pei_.Unregister(Arg(0)));
    default:
      if (thunk >= kThunkUnsupported0 && thunk < kThunkUnsupported0 + kServiceSlots) {
        watch_.Fail({"unsupported service", address, cpu_.call.blockStart, 0, 0, cpu_.call.during,
                     std::string("called PEI service ") + ServiceName(thunk)});
        return Return(pei_.Unsupported());
      }
      watch_.Stop({"fetch outside the image", address, cpu_.call.blockStart, 0, 0, cpu_.call.during,
                   "jumped into the PEI core's code page"});
  }
}

// As the PEI core's copy loop would: every source byte is loaded, from RAM,
// flash or the bus (where nothing answers, 0xFF), so the destination always
// receives the bytes the source held.
void PeiThunks::CopyMem() {
  pei_.CopyMem();
  const uint32_t destination = Arg(0), source = Arg(1), length = Arg(2);
  if (length > kTempRamSize) {
    watch_.Fail({"bad service argument", source, cpu_.call.blockStart, length, 0, cpu_.call.during,
                 "CopyMem of more bytes than temporary RAM holds"});
    return Return(0);
  }
  watch_.CheckRecordRead(source, length, "CopyMem from ");
  std::vector<uint8_t> bytes(length);
  memory_.Read(source, bytes.data(), length);
  // The destination is written as the module would write it: it must be RAM the module may write.
  if (!watch_.AllowedRamWrite(destination, length) || !memory_.Write(destination, bytes.data(), length))
    watch_.WroteOutside({"write outside allowed regions", destination, cpu_.call.blockStart, length, 0,
                         cpu_.call.during, "CopyMem destination"});
  return Return(0);
}

}  // namespace emu
