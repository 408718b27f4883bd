#include "emu/FaultWatch.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <fmt/format.h>

#include "emu/MachineLayout.h"
#include "fv/Layout.h"
#include "include/PiTypes.h"

namespace emu {
namespace {

using namespace layout;

// A report's data record: this header, then the Size bytes the header declares.
constexpr uint32_t kRecordHeaderBytes = sizeof(EFI_STATUS_CODE_DATA);

}  // namespace

FaultWatch::FaultWatch(Cpu& cpu, const std::vector<std::pair<uint32_t, uint32_t>>& createdHobs)
    : cpu_(cpu), createdHobs_(createdHobs) {}

void FaultWatch::StartCall() {
  strayWrites_ = 0;
  readPastReported_ = false;
}

// The list keeps the first faults of the run, which say what went wrong;
// a runaway image could otherwise fill memory with the same fault.
void FaultWatch::Fail(Fault fault) {
  if (faults_.size() < kFaultListBound)
    faults_.push_back(std::move(fault));
  else
    ++faultsNotListed_;
}

void FaultWatch::Stop(Fault fault) {
  Fail(std::move(fault));
  cpu_.Stop("fault");
}

// A write outside the allowed places. Made with the stack pointer outside
// the stack, or just below the stack's bottom by a push or call the stack
// can no longer hold (the store comes before ESP moves), it is the stack
// itself running away (recursion without end, a push loop): the call cannot
// end well and stops at once. Otherwise the call goes on until it has made
// kStrayWritesPerCall of them.
void FaultWatch::WroteOutside(Fault fault) {
  constexpr uint32_t kPushReach = 64;  // the most a push, call or pushad stores below ESP
  const uint32_t esp = cpu_.Read(UC_X86_REG_ESP);
  const bool outside = esp < kStackBottom || esp > kStackTop;
  const bool pushedBelow = fault.address < kStackBottom && esp - fault.address <= kPushReach &&
                           esp - kStackBottom <= kPushReach;
  if (outside || pushedBelow) {
    fault.detail = fmt::format("ESP {} {} the stack ({}..{}): runaway recursion or a push loop", fv::Hex(esp),
                               outside ? "is outside" : "is at the bottom of", fv::Hex(kStackBottom),
                               fv::Hex(kStackTop - 1));
    fault.kind = esp > kStackTop ? "stack pointer outside the stack" : "stack overflow";
    return Stop(std::move(fault));
  }
  const uint32_t address = fault.address;
  Fail(std::move(fault));
  if (++strayWrites_ == kStrayWritesPerCall)
    Stop({"runaway stores", address, cpu_.call.blockStart, 0, 0, cpu_.call.during,
          fmt::format("{} writes outside the allowed places in one call: a store loop over memory the module "
                      "does not own",
                      kStrayWritesPerCall)});
}

bool FaultWatch::AllowedRamWrite(uint32_t address, uint32_t size) const {
  const uint64_t end = uint64_t{address} + size;
  if (address >= kStackBottom && end <= kStackTop) return true;
  for (const auto& [hob, length] : createdHobs_)
    if (address >= hob && end <= uint64_t{hob} + length) return true;
  return false;
}

void FaultWatch::RamWritten(uint32_t address, uint32_t size, uint64_t value) {
  if (!AllowedRamWrite(address, size))
    WroteOutside({"write outside allowed regions", address, cpu_.call.blockStart, size, value, cpu_.call.during,
                  "temporary RAM outside the stack and the module's HOB"});
}

// A record given by address (data_address) is not watched: the machine
// delivered no record there and knows no size for it.
void FaultWatch::WatchRecord(const std::vector<uint8_t>& placed, const scenario::DataRecord& record, uint32_t caller) {
  constexpr size_t kSizeField = offsetof(EFI_STATUS_CODE_DATA, Size);
  const uint32_t start = scenario::kReportDataAddress;
  record_.active = true;
  record_.start = start;
  record_.size = 0;
  if (placed.size() >= kSizeField + 2) std::memcpy(&record_.size, placed.data() + kSizeField, 2);
  record_.declaredEnd = start + kRecordHeaderBytes + record_.size;
  record_.blockEnd = start + static_cast<uint32_t>(placed.size());
  record_.objectsStart = record_.blockEnd;
  for (const scenario::DataRecord::Fixup& f : record.fixups)
    record_.objectsStart = std::min(record_.objectsStart, start + f.target);
  // A record may hold its own pointers into itself or to bytes behind it (a
  // GUID address given as a number, raw bytes): from the lowest such address
  // on, the area is what the record points at, which may run past its end,
  // not fields read past its end. Every word of the payload is taken as such
  // a pointer.
  record_.pointedFrom = kReportArea + kReportAreaSize;
  for (uint32_t at = kRecordHeaderBytes; at + 4 <= kRecordHeaderBytes + record_.size && at + 4 <= placed.size();
       at += 4) {
    uint32_t word = 0;
    std::memcpy(&word, placed.data() + at, 4);
    if (word >= record_.start && word < record_.pointedFrom) record_.pointedFrom = word;
  }
  record_.caller = caller;
}

// A handler that reads the delivered record past its header's Size reads
// what the report area held before: on a board, bytes of an earlier report.
// The first such read of each call is reported.
void FaultWatch::CheckRecordRead(uint32_t address, uint32_t size, const char* how) {
  const RecordWatch& w = record_;
  if (!w.active || size == 0) return;
  const uint64_t first = address, end = first + size, areaEnd = uint64_t{kReportArea} + kReportAreaSize;
  // The caller's GUID may be given as an address anywhere, the record's area included.
  if (w.caller != 0 && first >= w.caller && end <= uint64_t{w.caller} + sizeof(EFI_GUID)) return;
  uint64_t past = end;  // the first byte read that is not the record's
  const auto watched = [&](uint64_t from, uint64_t to) {
    if (std::max(first, from) < std::min(end, to)) past = std::min(past, std::max(first, from));
  };
  watched(w.declaredEnd, std::min(w.objectsStart, w.pointedFrom));
  watched(std::max(w.declaredEnd, w.blockEnd), std::min<uint64_t>(areaEnd, w.pointedFrom));
  if (past == end || readPastReported_) return;
  readPastReported_ = true;
  Fail({"read past the record", static_cast<uint32_t>(past), cpu_.call.blockStart, size, 0, cpu_.call.during,
        fmt::format("{}offset {} of the data record at {}, which holds {} bytes (the {}-byte header and Size {})", how,
                    past - w.start, fv::Hex(w.start), kRecordHeaderBytes + w.size, kRecordHeaderBytes, w.size)});
}

}  // namespace emu
