#include "qemu/host/ReportBlock.h"

#include <cstring>

#include "qemu/rom/RomFormat.h"

namespace qemu {
namespace {

using namespace QemuRom;

// The caller GUID goes in the 16 bytes before the data record, as on the emulated machine.
constexpr uint32_t kCallerGuidAddress = scenario::kReportDataAddress - 16;

template <typename T>
void Append(std::vector<uint8_t>& out, const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

static_assert(scenario::kMaxDeliveries <= UINT32_MAX, "a report's repeat count fits in its entry");

// The block shares a 128 KiB boot ROM with the volume and the boot code.
constexpr size_t kMaxBlockBytes = 128u << 10;

void PadTo4(std::vector<uint8_t>& out) { out.resize((out.size() + 3) & ~size_t{3}, 0); }

}  // namespace

std::vector<uint8_t> CompileReportBlock(const scenario::Scenario& scenario) {
  const scenario::PlatformConfig& p = scenario.platform;
  ReportBlockHeader header{};
  header.Signature = ReportBlockSignature;
  header.Version = ReportBlockVersion;
  header.ReportCount = static_cast<uint32_t>(scenario.reports.size());
  header.CmosCount = static_cast<uint32_t>(p.cmos.size());
  header.Switches = (p.pei.failLocatePpi ? SwitchFailLocatePpi : 0) | (p.pei.failCreateHob ? SwitchFailCreateHob : 0) |
                    (p.pei.failGetHobList ? SwitchFailGetHobList : 0) | (p.pei.nullHobList ? SwitchNullHobList : 0) |
                    (p.pei.nullPpi ? SwitchNullPpi : 0) | (p.interruptsEnabled ? SwitchInterruptsEnabled : 0);
  for (int call : p.pei.failRegisterCalls) {
    if (call < 0 || call >= 32)
      throw scenario::ScenarioError(scenario.path +
                                 ": field 'platform.fail.register': the QEMU foundation can fail "
                                 "only the first 32 Register calls, not call " +
                                 std::to_string(call));
    header.FailRegisterMask |= 1u << call;
  }
  header.MemoryLogHeader = p.memoryLogHeader;
  header.PciAddressRegister = p.pciAddressRegister;
  header.NewHobFill = p.pei.newHobFill;
  header.HostBridgeDc = p.hostBridgeDc;

  std::vector<uint8_t> block;
  Append(block, header);
  for (const auto& [offset, value] : p.cmos) Append(block, CmosEntry{offset, value});
  PadTo4(block);
  for (const scenario::Report& r : scenario.reports)
    if (r.callerAddress || r.dataAddress)
      throw scenario::ScenarioError(scenario.path + ": report " + std::to_string(r.source) + ": field '" +
                                    (r.callerAddress ? "caller_address" : "data_address") +
                                    "': the QEMU boot ROM delivers pointers into its report area only");
  for (const scenario::Report& r : scenario.reports) {
    ReportEntry entry{};
    entry.Repeat = static_cast<uint32_t>(r.repeat);  // at most kMaxDeliveries
    entry.Type = r.type;
    entry.Value = r.value;
    entry.Instance = r.instance;
    if (r.caller) {
      entry.CallerAddress = kCallerGuidAddress;
      std::memcpy(entry.CallerGuid, r.caller->data(), 16);
    }
    std::vector<uint8_t> data;
    if (r.data) {
      entry.DataAddress = scenario::kReportDataAddress;
      data = r.data->Placed(scenario::kReportDataAddress);
    }
    entry.DataLength = static_cast<uint32_t>(data.size());
    entry.Length = static_cast<uint32_t>((sizeof entry + data.size() + 3) & ~size_t{3});
    Append(block, entry);
    block.insert(block.end(), data.begin(), data.end());
    PadTo4(block);
    if (block.size() > kMaxBlockBytes)
      throw scenario::ScenarioError(scenario.path + ": " + std::to_string(scenario.reports.size()) +
                                    " reports do not fit in the QEMU boot ROM (" +
                                    std::to_string(kMaxBlockBytes >> 10) + " KiB)");
  }
  const uint32_t length = static_cast<uint32_t>(block.size());
  std::memcpy(block.data() + offsetof(ReportBlockHeader, Length), &length, 4);
  return block;
}

}  // namespace qemu
