#include "emu/Emulator.h"

#include <algorithm>

#include "fv/ModuleFile.h"
#include "run/Cycle.h"
#include "include/PiTypes.h"

namespace emu {
namespace {

using namespace layout;

constexpr uint32_t kFlagsInterrupt = 0x200;
constexpr uint32_t kFlagsReserved = 0x2;

Emulator* Self(void* p) { return static_cast<Emulator*>(p); }

// The flash is checked before any part maps it.
FlashImage Placed(FlashImage image) {
  CheckPlacement(image);
  return image;
}

}  // namespace

void CheckPlacement(const FlashImage& f) {
  using fv::Hex;
  const uint64_t size = f.flash.size(), end = uint64_t{f.flashBase} + size;
  if (size == 0 || f.flashBase % kPageSize != 0 || size % kPageSize != 0)
    throw ImageError(f.path + ": flash at " + Hex(f.flashBase) + " of " + Hex(size) + " bytes is not whole 4 KiB pages");
  // Flash must not cover what the machine itself keeps: low memory, temporary RAM, the PEI core page.
  const char* kept = f.flashBase < 0x100000                                            ? "low memory (below 1 MiB)"
                     : f.flashBase < kTempRamBase + kTempRamSize && end > kTempRamBase ? "temporary RAM"
                     : end > kThunkPage                                                ? "the PEI core page"
                                                                                       : nullptr;
  if (kept != nullptr)
    throw ImageError(f.path + ": flash at " + Hex(f.flashBase) + ".." + Hex(end - 1) + " overlaps " + kept +
                     " of the emulated machine (temporary RAM " + Hex(kTempRamBase) + ".." +
                     Hex(kTempRamBase + kTempRamSize - 1) + ", PEI core page " + Hex(kThunkPage) + ")");
  const uint64_t entry = uint64_t{f.imageBase} + f.entryRva;
  if (entry < f.flashBase || entry >= end)
    throw ImageError(f.path + ": entry point " + Hex(entry) + " lies outside the flash");
}

FlashImage PlaceRelocated(const PeImage& image) {
  FlashImage f;
  f.path = image.path;
  f.source = "relocated .efi";
  f.format = "PE32";
  f.fileSize = static_cast<uint32_t>(image.bytes.size());
  f.imageSize = image.sizeOfImage;
  f.entryRva = image.entryRva;
  const uint32_t mapped = (image.sizeOfImage + kPageSize - 1) & ~(kPageSize - 1);
  const uint32_t span = (mapped + 0xFFFF) & ~0xFFFFu;
  f.imageBase = f.flashBase = kFlashTop - span;
  // The file is the image laid out (the check holds it to that): rebased, it is what flash holds.
  f.flash = fv::Rebase(image, f.imageBase).bytes;
  f.relocations = image.relocations;
  f.flash.resize(image.sizeOfImage);
  f.flash.resize(mapped, 0);
  CheckPlacement(f);
  return f;
}

std::vector<std::array<uint8_t, 16>> InstalledPpis() {
  // The one PPI the machine installs: the report-status-code handler PPI.
  return {fv::HandlerPpi()};
}

Emulator::Emulator(FlashImage image, sim::Platform& platform, const scenario::PlatformConfig& config,
                   const scenario::Limits& limits)
    : image_(Placed(std::move(image))),
      platform_(platform),
      interruptsEnabled_(config.interruptsEnabled),
      limits_(limits),
      pei_(config.pei),
      watch_(cpu_, pei_.createdHobs),
      memory_(cpu_, platform.bus, watch_, image_.flashBase, image_.flash),
      counter_(image_.flashBase, static_cast<uint32_t>(image_.flash.size()), image_.imageBase, image_.imageSize),
      thunks_(cpu_, memory_, watch_, pei_) {
  memory_.Put(kGdt, Cpu::kFlatGdt, sizeof Cpu::kFlatGdt);
  cpu_.EnterFlatMode(kGdt, kIdtBase, kIdtLimit);
  uc_engine* uc = cpu_.Engine();
  uc_hook h;
  Check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(&OnImageBlock), this, image_.flashBase,
                    image_.flashBase + image_.flash.size() - 1),
        "hooking the image");
  Check(uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&OnThunkCode), this, kThunkPage,
                    kThunkPage + kPageSize - 1),
        "hooking the thunks");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&OnIn), this, 1, 0, UC_X86_INS_IN), "hooking in");
  Check(uc_hook_add(uc, &h, UC_HOOK_INSN, reinterpret_cast<void*>(&OnOut), this, 1, 0, UC_X86_INS_OUT), "hooking out");
  // The port keeps a call's words as runs: a call writing ever other words keeps the first kPortRunsKept.
  platform_.postCodes.KeepRuns(kPortRunsKept);
  // The board clock (when the board runs on one) reads the call's instruction
  // count before every bus access. The counter counts a block whole when it
  // starts, so an access in a block's middle sees the block's later
  // instructions as done already: a few instructions early, the same way
  // every time.
  platform_.clock.CountInstructionsWith([this] { return counter_.Instructions(); });
}

Emulator::~Emulator() = default;

void Emulator::OnImageBlock(uc_struct* uc, uint64_t address, uint32_t size, void* self) {
  Emulator& e = *Self(self);
  const uint32_t start = static_cast<uint32_t>(address);
  e.cpu_.call.blockStart = start;
  e.counter_.Count(uc, start, size);
  if (e.counter_.Instructions() > e.limits_.instructionsPerCall) e.cpu_.StopUnlessStopped("instruction budget");
}

void Emulator::OnThunkCode(uc_struct* uc, uint64_t address, uint32_t, void* self) {
  Emulator& e = *Self(self);
  if (address == kReturnThunk) {
    // The call is over. Stopping here rather than at uc_emu_start's end
    // address keeps this block translated: Unicorn translates the block at
    // the end address anew on every start.
    e.returned_ = true;
    uc_emu_stop(uc);
    return;
  }
  e.memory_.NoteEsp(e.cpu_.Read(UC_X86_REG_ESP));
  e.thunks_.Service(static_cast<uint32_t>(address));
}

uint32_t Emulator::OnIn(uc_struct*, uint32_t port, int size, void* self) {
  Emulator& e = *Self(self);
  ++e.ioAccesses_;
  return e.platform_.bus.IoRead(static_cast<uint16_t>(port), static_cast<unsigned>(size));
}

// Port 0x80 is the board's sim::PostCodePort: it keeps the call's words and
// stops the call after limits.blink_writes writes (see Call).
void Emulator::OnOut(uc_struct*, uint32_t port, int size, uint32_t value, void* self) {
  Emulator& e = *Self(self);
  ++e.ioAccesses_;
  e.platform_.bus.IoWrite(static_cast<uint16_t>(port), static_cast<unsigned>(size), value);
}

CallResult Emulator::Call(uint32_t function, const std::vector<uint32_t>& args, const std::string& during) {
  uc_engine* uc = cpu_.Engine();
  // Unicorn 2.0.1 crashed after about four million calls (2^22) when a
  // block was translated anew at every start and its 1 GiB translation
  // buffer filled: the library's own flush then fails. Flushing it here,
  // between calls and long before that, keeps any run alive whatever each
  // call translates; the image's blocks are simply translated again. A
  // flush costs about 0.1 s and touches the whole buffer, so it is rare.
  if (++callsSinceFlush_ > translationFlushInterval_) {
    Check(uc_ctl(uc, UC_CTL_WRITE(UC_CTL_TB_FLUSH, 0)), "flushing the translation cache");
    ++translationFlushes_;
    callsSinceFlush_ = 1;
  }
  cpu_.call = {during, 0, ""};
  counter_.StartCall();
  platform_.clock.StartCall();
  const uint64_t startNs = platform_.clock.NowNs();
  watch_.StartCall();
  ioAccesses_ = 0;
  returned_ = false;
  // Only a handler of an unrecoverable error may write port 0x80 for ever
  // (the blink); a loop anywhere else is a call that does not return.
  sim::PostCodePort& port = platform_.postCodes;
  port.ForgetRuns();
  portWritesBefore_ = port.WriteCount();
  port.StopAfter(limits_.blinkWrites,
                 [this] { cpu_.StopUnlessStopped(blinkAllowed_ ? "blink loop" : "port 0x80 loop"); });

  // cdecl: arguments right to left, then the return address.
  uint32_t esp = kStackTop - 16;
  for (auto it = args.rbegin(); it != args.rend(); ++it) {
    esp -= 4;
    memory_.Put32(esp, *it);
  }
  const uint32_t argumentBase = esp;
  esp -= 4;
  memory_.Put32(esp, kReturnThunk);
  memory_.StartCall(esp);
  const uint32_t flags = kFlagsReserved | (interruptsEnabled_ ? kFlagsInterrupt : 0);
  for (int reg : {UC_X86_REG_EAX, UC_X86_REG_EBX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_ESI, UC_X86_REG_EDI,
                  UC_X86_REG_EBP})
    cpu_.Write(reg, 0);
  cpu_.Write(UC_X86_REG_ESP, esp);
  cpu_.Write(UC_X86_REG_EFLAGS, flags);
  const run::OutputBytes outputsBefore = run::BoardBytes(platform_);
  const uint32_t cf8Before = platform_.pciPorts.AddressRegister();
  const bool bridgeHiddenBefore = platform_.pcie.SidebandBridgeHidden();

  const uc_err err = uc_emu_start(uc, function, kNeverReached, 0, 0);
  port.ClearStop();
  platform_.clock.EndCall();  // a stopped call ends where the machine stopped it

  std::string& stopReason = cpu_.call.stopReason;
  const uint32_t lastEip = cpu_.call.blockStart;
  CallResult result;
  result.instructions = counter_.Instructions();
  result.rangeInstructions = counter_.RangeInstructions();
  result.stackBytes = argumentBase - memory_.Deepest();
  result.ioAccesses = ioAccesses_;
  result.mmioAccesses = memory_.BusAccesses();
  result.outputBytes = run::BytesSince(outputsBefore, run::BoardBytes(platform_));
  if (platform_.clock.On()) {
    result.startNs = startNs;
    result.endNs = platform_.clock.NowNs();
  }
  if (err != UC_ERR_OK && stopReason.empty()) {
    watch_.Fail({"CPU error", lastEip, lastEip, 0, 0, during, uc_strerror(err)});
    stopReason = "fault";
  } else if (stopReason.empty() && !returned_) {
    // Unicorn leaves uc_emu_start by itself only for `hlt`: on a board the
    // processor waits there for an interrupt that a PEI phase does not take.
    const uint32_t eip = cpu_.Read(UC_X86_REG_EIP);
    uint8_t before = 0;
    const bool inFlash = memory_.InFlash(eip - 1);
    if (inFlash) memory_.Read(eip - 1, &before, 1);
    watch_.Fail({inFlash && before == 0xF4 ? "hlt" : "CPU stopped", eip - 1, lastEip, 0, 0, during,
                 "the processor halted instead of returning: the call never ends"});
    stopReason = "fault";
  }
  // The words of the call (one per run when it was stopped), at most kPortRunsKept of them.
  for (const sim::PostCodePort::Run& run : port.Runs()) {
    const uint64_t shown = stopReason.empty() ? run.count : 1;
    const size_t room = kPortRunsKept - std::min(result.postcodes.size(), kPortRunsKept);
    result.postcodes.insert(result.postcodes.end(), static_cast<size_t>(std::min<uint64_t>(shown, room)), run.code);
  }
  if (!stopReason.empty()) {
    result.stopped = stopReason;
    return result;
  }
  const uint32_t eax = cpu_.Read(UC_X86_REG_EAX), eflags = cpu_.Read(UC_X86_REG_EFLAGS),
                 espAfter = cpu_.Read(UC_X86_REG_ESP);
  result.status = eax;
  // What a caller relies on after a call: the stack, the interrupt flag and the state the module borrowed.
  if (espAfter != argumentBase)
    watch_.Fail({"stack not balanced", espAfter, lastEip, 0, argumentBase, during, "ESP after return differs (cdecl)"});
  if (((eflags ^ flags) & kFlagsInterrupt) != 0)
    watch_.Fail({"interrupt flag not restored", 0, lastEip, 0, eflags, during, ""});
  if (platform_.pciPorts.AddressRegister() != cf8Before)
    watch_.Fail({"0xCF8 not restored", 0xCF8, lastEip, 4, platform_.pciPorts.AddressRegister(), during, ""});
  if (platform_.pcie.SidebandBridgeHidden() != bridgeHiddenBefore)
    watch_.Fail({"sideband bridge visibility not restored",
                 sim::PcieConfigWindow::Address(0, sim::PcieConfigWindow::kBridgeDevice,
                                                sim::PcieConfigWindow::kBridgeFunction) +
                     sim::PcieConfigWindow::kHideControl,
                 lastEip, 1, 0, during, ""});
  return result;
}

Halt Emulator::HaltOf(const CallResult& call, size_t report, size_t handler) const {
  const sim::PostCodePort& port = platform_.postCodes;
  Halt halt{call.stopped, report, handler, {}, port.WriteCount() - portWritesBefore_, call.instructions};
  std::vector<std::pair<uint16_t, uint64_t>> runs;
  for (const sim::PostCodePort::Run& run : port.Runs()) runs.emplace_back(run.code, run.count);
  run::DescribeCycle(runs, halt);
  return halt;
}

CallResult Emulator::RunEntry() {
  blinkAllowed_ = false;
  watch_.StopWatching();
  CallResult r = Call(EntryPoint(), {image_.fileHandle, kServicesPointer}, "entry");
  if (!r.stopped.empty() && r.stopped != "fault") halt_ = HaltOf(r, 0, 0);
  return r;
}

std::vector<CallResult> Emulator::Deliver(const scenario::Report& report, size_t index) {
  std::vector<CallResult> results;
  if (halt_) return results;
  // The report as the router hands it over: caller GUID and data record in
  // temporary RAM, or pointers given as they are. As on a board, the area
  // keeps what earlier reports left there: the bytes after a short record
  // are an earlier report's, and the watch reports a handler reading them.
  const uint32_t caller = report.callerAddress ? *report.callerAddress : report.caller ? kReportArea : 0;
  const uint32_t data = report.dataAddress ? *report.dataAddress : report.data ? scenario::kReportDataAddress : 0;
  if (report.caller && !report.callerAddress)
    memory_.Put(kReportArea, report.caller->data(), static_cast<uint32_t>(report.caller->size()));
  watch_.StopWatching();
  if (report.data && !report.dataAddress) {
    if (report.data->bytes.size() > kReportAreaSize - 16)
      throw std::runtime_error("report " + std::to_string(index) + ": data record too large for the report area");
    const std::vector<uint8_t> placed = report.data->Placed(scenario::kReportDataAddress);
    memory_.Put(scenario::kReportDataAddress, placed.data(), static_cast<uint32_t>(placed.size()));
    watch_.WatchRecord(placed, *report.data, caller);
  }
  blinkAllowed_ = scenario::IsUnrecoverableError(report.type);

  const std::vector<uint32_t> handlers = pei_.Handlers();  // a handler registering another must not disturb this walk
  for (size_t h = 0; h < handlers.size(); ++h) {
    CallResult r = Call(handlers[h], {kServicesPointer, report.type, report.value, report.instance, caller, data},
                        "report " + std::to_string(index) + ", handler " + std::to_string(h));
    const std::string stopped = r.stopped;
    results.push_back(std::move(r));
    if (!stopped.empty() && stopped != "fault") {
      halt_ = HaltOf(results.back(), index, h);
      break;
    }
  }
  return results;
}

}  // namespace emu
