#include "qemu/host/QemuRun.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string_view>

#include "fv/InputFile.h"
#include "hostlib/Text.h"
#include "sim/MemoryLogRam.h"
#include "fv/ModuleFile.h"
#include "fv/Placement.h"
#include "scenario/Board.h"
#include "qemu/host/ReportBlock.h"
#include "qemu/rom/RomFormat.h"

namespace qemu {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint16_t kSummaryPort = 0x2F8;
constexpr int kTracePipeBytes = 1 << 20;
constexpr useconds_t kTraceBatchMicroseconds = 2000;
// After the interrupt that stops a boot, the boot ROM writes the HOB, the
// memory log (up to 128 KiB of hexadecimal on a serial port) and the service
// counts: a few seconds of QEMU's trace on a busy machine.
constexpr int kStopGraceSeconds = 20;
constexpr uint32_t kFvLengthOffset = 32;
constexpr uint32_t kFvSignatureOffset = 40;
constexpr uint32_t kFvSignature = 0x4856465Fu;  // "_FVH"
constexpr uint32_t kRomBlockBytes = 0x10000;

std::vector<uint8_t> ReadFile(const fs::path& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw QemuError(std::string("cannot read the ") + what + " " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw QemuError("cannot write " + path.string());
}

// A field of the report block's text: hexadecimal digits, as the boot ROM writes them.
uint32_t Hex(const std::string& text) {
  const hostlib::ParsedNumber n = hostlib::ParseNumber(text, true);
  if (!n || n.value > 0xFFFFFFFFu) throw QemuError("the boot ROM's report has '" + text + "' for a 32-bit number");
  return static_cast<uint32_t>(n.value);
}

std::vector<uint8_t> HexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const std::optional<uint8_t> byte = hostlib::HexByte(text[i], text[i + 1]);
    if (!byte) throw QemuError("the boot ROM's report has '" + text + "' for bytes");
    out.push_back(*byte);
  }
  return out;
}

// A scratch directory that goes away unless it is the one the caller keeps.
class WorkDirectory {
 public:
  explicit WorkDirectory(const std::string& keep) {
    if (!keep.empty()) {
      path_ = keep;
      fs::create_directories(path_);
      return;
    }
    std::string pattern = (fs::temp_directory_path() / "statussink-qemu-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      throw QemuError("cannot make a scratch directory: " + std::string(std::strerror(errno)));
    path_ = pattern;
    remove_ = true;
  }
  ~WorkDirectory() {
    std::error_code ignored;
    if (remove_) fs::remove_all(path_, ignored);
  }
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
  bool remove_ = false;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

// Follows the trace as it streams in: port 0x80 words, attributed to the
// call in progress, which the foundation announces on the second serial port
// ("C <report> <handler>") right before each call.
class TraceReader {
 public:
  struct CallKey {
    int report = -1;  // -1: the entry point (before the first report)
    int handler = 0;
    bool operator<(const CallKey& o) const { return std::tie(report, handler) < std::tie(o.report, o.handler); }
  };

  // A call that writes port 0x80 this many times is stopped there as a blink
  // loop, as the emulated machine stops it: later words are not taken.
  explicit TraceReader(uint64_t blinkWrites) : blinkWrites_(blinkWrites) {}

  void Feed(const char* data, size_t size) {
    std::string_view rest(data, size);
    for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
      if (partial_.empty()) {
        Line(rest.substr(0, end));
      } else {
        partial_.append(rest.substr(0, end));
        Line(partial_);
        partial_.clear();
      }
    }
    partial_.append(rest);
  }
  // After QEMU was stopped, the trace may end inside a line or between the
  // two bytes of a 16-bit write: neither is a whole write, both are dropped.
  void Finish(bool cut) {
    if (!cut && !partial_.empty()) Line(partial_);
    partial_.clear();
    if (cut) {
      postcodes_.Drop();
    } else if (auto w = postcodes_.Flush()) {
      Word(*w);
    }
  }

  uint64_t lines = 0;
  uint64_t writes = 0;
  bool blinkLimit = false;  // a call reached the blink loop's limit of port 0x80 writes
  std::map<CallKey, std::vector<std::pair<uint16_t, uint64_t>>> runs;  // per call, in order
  std::vector<CallKey> order;                                          // calls in the order they wrote

 private:
  // "memory_region_ops_write cpu 0 mr 0x... addr 0x80 value 0x34 size 1 name 'ioport80'"
  // A hexadecimal number right after `key` in the line, if the line has one.
  static std::optional<uint32_t> HexAfter(std::string_view line, std::string_view key) {
    const size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    uint32_t value = 0;
    const char* first = line.data() + at + key.size();
    const auto [end, error] = std::from_chars(first, line.data() + line.size(), value, 16);
    if (error != std::errc() || end == first) return std::nullopt;
    return value;
  }

  void Line(std::string_view line) {
    ++lines;
    const bool port80 = line.ends_with("'ioport80'");
    const bool serial = !port80 && line.ends_with("'serial'");
    if (!port80 && !serial) return;
    const std::optional<uint32_t> a = HexAfter(line, " addr 0x"), value = HexAfter(line, " value 0x");
    if (!a || !value) return;
    const uint32_t address = *a, v = *value;
    if (port80) {
      // The address is listed either as the port or as the offset in the region.
      if (auto w = postcodes_.Byte(address & 1, static_cast<uint8_t>(v))) Word(*w);
    } else if (address == kSummaryPort) {
      if (auto w = postcodes_.Flush()) Word(*w);
      if (v == '\n') {
        SummaryLine(summary_);
        summary_.clear();
      } else {
        summary_ += static_cast<char>(v);
      }
    }
  }

  void SummaryLine(const std::string& text) {
    if (text.size() < 2 || text[0] != 'C' || text[1] != ' ') return;
    std::istringstream fields(text.substr(2));
    std::string report, handler;
    fields >> report >> handler;
    current_ = {static_cast<int>(Hex(report)), static_cast<int>(Hex(handler))};
    callWrites_ = 0;
  }

  void Word(uint16_t word) {
    if (blinkLimit) return;
    ++writes;
    blinkLimit = ++callWrites_ == blinkWrites_;
    auto [it, fresh] = runs.try_emplace(current_);
    if (fresh) order.push_back(current_);
    auto& r = it->second;
    if (!r.empty() && r.back().first == word)
      ++r.back().second;
    else
      r.emplace_back(word, 1);
  }

  std::string partial_, summary_;
  PostCodeTrace postcodes_;
  CallKey current_;
  uint64_t blinkWrites_ = 0, callWrites_ = 0;
};

struct Summary {
  std::vector<std::vector<std::string>> lines;  // fields of each line
  bool complete = false;
};

// Whole lines only: a run stopped at the time limit may end inside one.
Summary ReadSummary(const fs::path& path) {
  Summary s;
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(f), std::istream_iterator<std::string>()};
    if (fields.empty()) continue;
    if (fields[0] == "END") s.complete = true;
    s.lines.push_back(std::move(fields));
  }
  return s;
}

struct ProcessOutcome {
  int exitCode = -1;
  bool timedOut = false;
  bool blinkLimit = false;
  double seconds = 0;
};

// The signals that end a run early (a terminal's ^C or ^\, a kill, a closed
// terminal): while QEMU runs they are caught, so that QEMU is ended and the
// scratch directory removed before sinksim goes. RunOnQemu then throws
// QemuInterrupted, and the caller raises the signal again once it has
// unwound; one that comes too late to be thrown is raised again here, once
// the scratch directory is gone.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile sig_atomic_t gEndingSignal = 0;

extern "C" void NoteEndingSignal(int signal) {
  if (gEndingSignal == 0) gEndingSignal = signal;
}

class EndingSignals {
 public:
  EndingSignals() {
    gEndingSignal = 0;
    struct sigaction note {};
    note.sa_handler = NoteEndingSignal;
    sigemptyset(&note.sa_mask);
    for (size_t i = 0; i < std::size(kEndingSignals); ++i) sigaction(kEndingSignals[i], &note, &previous_[i]);
    // A monitor command to a QEMU that has just ended fails instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previousPipe_);
  }
  ~EndingSignals() {
    for (size_t i = 0; i < std::size(kEndingSignals); ++i) sigaction(kEndingSignals[i], &previous_[i], nullptr);
    sigaction(SIGPIPE, &previousPipe_, nullptr);
    if (gEndingSignal != 0 && std::uncaught_exceptions() == 0) raise(gEndingSignal);
  }
  EndingSignals(const EndingSignals&) = delete;
  EndingSignals& operator=(const EndingSignals&) = delete;

  // Throws QemuInterrupted once one of the signals arrived.
  static void Check() {
    if (const int signal = gEndingSignal; signal != 0)
      throw QemuInterrupted(signal, std::string("stopped by signal ") + std::to_string(signal) + " (" +
                                        strsignal(signal) + "); QEMU ended, its scratch files removed");
  }

 private:
  struct sigaction previous_[std::size(kEndingSignals)] {};
  struct sigaction previousPipe_ {};
};

// QEMU as a child process that cannot outlive its run: ended and reaped on
// every way out of the scope that started it, and killed by the kernel if
// sinksim itself is killed outright. Its monitor reads commands from its
// standard input, a pipe from here; what it answers is dropped.
class QemuProcess {
 public:
  explicit QemuProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // The child tells an exec failure through a pipe that a successful exec closes.
    int status[2], monitor[2];
    if (pipe2(status, O_CLOEXEC) != 0) throw QemuError(std::string("cannot make a pipe: ") + std::strerror(errno));
    if (pipe2(monitor, O_CLOEXEC) != 0) {
      const int err = errno;
      close(status[0]);
      close(status[1]);
      throw QemuError(std::string("cannot make a pipe: ") + std::strerror(err));
    }
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
      const int err = errno;
      for (int fd : {status[0], status[1], monitor[0], monitor[1], devNull}) close(fd);
      throw QemuError(std::string("cannot start ") + args[0] + ": " + std::strerror(err));
    }
    if (pid_ == 0) {
      // Only async-signal-safe calls from here to exec.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);  // sinksim already went
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      signal(SIGPIPE, SIG_DFL);
      if (dup2(monitor[0], STDIN_FILENO) < 0 || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) _exit(127);
      execvp(argv[0], argv.data());
      const int err = errno;
      [[maybe_unused]] const ssize_t ignored = write(status[1], &err, sizeof err);
      _exit(127);
    }
    close(status[1]);
    close(monitor[0]);
    if (devNull >= 0) close(devNull);
    monitor_ = monitor[1];
    int err = 0;
    ssize_t got;
    do {
      got = read(status[0], &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    close(status[0]);
    if (got == sizeof err) {
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      close(monitor_);
      monitor_ = -1;
      throw QemuError("cannot start " + args[0] + ": " + std::strerror(err) +
                      " (Debian package qemu-system-x86; tools/install_deps.sh installs it)");
    }
  }
  ~QemuProcess() {
    Kill();
    if (monitor_ >= 0) close(monitor_);
  }
  QemuProcess(const QemuProcess&) = delete;
  QemuProcess& operator=(const QemuProcess&) = delete;

  // One line to QEMU's monitor ("nmi"); false when QEMU no longer reads it.
  bool Command(const std::string& line) {
    const std::string text = line + "\n";
    return write(monitor_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // QEMU's exit status once it has ended by itself (-1 for a signal).
  std::optional<int> Ended() {
    int status = 0;
    if (pid_ < 0 || waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void Kill() {
    if (pid_ < 0) return;
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int monitor_ = -1;
};

// Starts QEMU, follows its trace through a FIFO while it runs, and stops it
// at the time limit or once a call has written port 0x80 as often as a blink
// loop may: a non-maskable interrupt makes the boot ROM read back what the
// board holds and end QEMU, which gets kStopGraceSeconds for that before it
// is killed. An ending signal kills QEMU at once.
ProcessOutcome RunQemu(const std::vector<std::string>& args, const fs::path& fifo, double limit, TraceReader& trace) {
  if (mkfifo(fifo.c_str(), 0600) != 0) throw QemuError("cannot make " + fifo.string() + ": " + std::strerror(errno));
  // Read end, and a write end of our own so that reads never see end-of-file
  // before QEMU has opened the FIFO or after it closed it.
  FileDescriptor reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  FileDescriptor keeper(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (reader.Get() < 0 || keeper.Get() < 0) throw QemuError("cannot open " + fifo.string());
  // A blink loop traces about 10 MB/s: a large pipe lets the reader take it
  // in large reads (a smaller one where the system caps it).
  fcntl(reader.Get(), F_SETPIPE_SZ, kTracePipeBytes);

  const Clock::time_point start = Clock::now();
  QemuProcess qemu(args);
  ProcessOutcome outcome;
  std::vector<char> buffer(kTracePipeBytes);
  auto drain = [&] {
    for (;;) {
      const ssize_t n = read(reader.Get(), buffer.data(), buffer.size());
      if (n <= 0) return;
      trace.Feed(buffer.data(), static_cast<size_t>(n));
    }
  };
  std::optional<Clock::time_point> stopping;  // when QEMU was asked to stop
  for (;;) {
    EndingSignals::Check();
    pollfd p{reader.Get(), POLLIN, 0};
    poll(&p, 1, 20);
    // Let the pipe fill a little: fewer, larger reads cost the two processes less.
    usleep(kTraceBatchMicroseconds);
    drain();
    if (const std::optional<int> exitCode = qemu.Ended()) {
      outcome.exitCode = *exitCode;
      break;
    }
    const Clock::time_point now = Clock::now();
    if (stopping) {
      if (std::chrono::duration<double>(now - *stopping).count() <= kStopGraceSeconds) continue;
      qemu.Kill();
      break;
    }
    if (trace.blinkLimit)
      outcome.blinkLimit = true;
    else if (std::chrono::duration<double>(now - start).count() > limit)
      outcome.timedOut = true;
    else
      continue;
    stopping = now;
    if (!qemu.Command("nmi")) stopping = now - std::chrono::seconds(kStopGraceSeconds + 1);
  }
  drain();
  trace.Finish(outcome.timedOut || outcome.blinkLimit);
  outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return outcome;
}

}  // namespace

std::optional<uint16_t> PostCodeTrace::Byte(uint32_t offset, uint8_t value) {
  if (offset == 0) {
    std::optional<uint16_t> earlier = Flush();
    low_ = value;
    return earlier;
  }
  if (!low_) return std::nullopt;  // a lone write to port 0x81 is not a POST code
  const uint16_t word = static_cast<uint16_t>(*low_ | (value << 8));
  low_.reset();
  return word;
}

void PostCodeTrace::Drop() { low_.reset(); }

std::optional<uint16_t> PostCodeTrace::Flush() {
  if (!low_) return std::nullopt;
  const uint16_t word = *low_;
  low_.reset();
  return word;
}

std::optional<std::string> NotRepresentable(const scenario::PlatformConfig& platform) {
  if (platform.legacySerial == scenario::LegacySerial::Stuck)
    return "its legacy serial port is stuck (QEMU's 16550 always takes bytes)";
  if (platform.legacySerial == scenario::LegacySerial::Absent)
    return "its legacy serial port is absent (QEMU's PC always has its 16550 at 0x3F8)";
  if (platform.configSpaceAllOnes)
    return "every configuration read answers all ones (QEMU's host bridge answers at 0xCF8/0xCFC)";
  if (!platform.boardRam.empty()) return "it holds bytes in RAM at " + scenario::Hex32(platform.boardRamBase) +
                                         " that the boot ROM does not place";
  return std::nullopt;
}

std::optional<std::string> NotRepresentable(const scenario::Scenario& scenario) {
  if (std::optional<std::string> why = NotRepresentable(scenario.platform)) return why;
  try {
    CompileReportBlock(scenario);
  } catch (const scenario::ScenarioError& e) {
    return e.what();
  }
  return std::nullopt;
}

std::vector<uint8_t> BuildRom(const std::vector<uint8_t>& volume, const std::vector<uint8_t>& reportBlock,
                              const std::vector<uint8_t>& stub, uint32_t volumeBase) {
  // QEMU takes a ROM of whole 64 KiB blocks: it starts at the block that
  // holds the volume's first byte, erased flash before the volume.
  const uint32_t romBase = volumeBase & ~(kRomBlockBytes - 1);
  const uint64_t romSize = 0x100000000ull - romBase;
  const uint64_t volumeAt = volumeBase - romBase;
  uint32_t signature = 0, length = 0;
  if (volume.size() >= 48) {
    std::memcpy(&signature, volume.data() + kFvSignatureOffset, 4);
    std::memcpy(&length, volume.data() + kFvLengthOffset, 4);
  }
  if (signature != kFvSignature) throw QemuError("the firmware volume has no volume header");
  if (stub.size() > QemuRom::StubSize) throw QemuError("the boot ROM's code is larger than its 16 KiB");
  if (romSize < QemuRom::StubSize + sizeof(QemuRom::RomDirectory))
    throw QemuError("the volume base leaves no room for the boot ROM's code below 4 GiB");
  const uint64_t stubAt = romSize - QemuRom::StubSize;
  const uint64_t room = stubAt - sizeof(QemuRom::RomDirectory);
  const uint64_t volumeEnd = volumeAt + std::max<uint64_t>(length, volume.size());
  if (volumeEnd > room) throw QemuError("the firmware volume reaches the boot ROM's code at the top of the ROM");
  const uint64_t blockAt = (volumeEnd + QemuRom::ReportBlockAlignment - 1) & ~uint64_t{QemuRom::ReportBlockAlignment - 1};
  if (blockAt + reportBlock.size() > room)
    throw QemuError("the scenario's reports take " + std::to_string(reportBlock.size()) +
                    " bytes; the ROM has room for " + std::to_string(room > blockAt ? room - blockAt : 0) +
                    " after the firmware volume");
  std::vector<uint8_t> rom(romSize, 0xFF);
  std::copy(volume.begin(), volume.end(), rom.begin() + static_cast<std::ptrdiff_t>(volumeAt));
  std::copy(reportBlock.begin(), reportBlock.end(), rom.begin() + static_cast<std::ptrdiff_t>(blockAt));
  std::copy(stub.begin(), stub.end(), rom.begin() + static_cast<std::ptrdiff_t>(stubAt));
  QemuRom::RomDirectory directory{QemuRom::RomDirectorySignature, volumeBase,
                                  static_cast<uint32_t>(romBase + blockAt), 0, {}};
  std::copy(fv::kModuleFileName.begin(), fv::kModuleFileName.end(), directory.ModuleName);
  std::memcpy(rom.data() + room, &directory, sizeof directory);
  return rom;
}

namespace {

// What the summary says, beyond what goes straight into the run.
struct SummaryReading {
  std::map<std::pair<int, int>, uint32_t> statuses;  // (report, handler) -> status
  int delivered = 0;                                 // reports whose delivery started
  std::optional<std::pair<int, int>> lastCall;       // the last call that started
  uint32_t logHeader = 0;
  std::vector<uint8_t> logArea = std::vector<uint8_t>(sim::MemoryLogRam::kSize - sim::MemoryLogRam::kTextStart, 0);
};

SummaryReading ApplySummary(const Summary& summary, const scenario::Scenario& scenario, QemuRunResult& result) {
  QemuFacts& facts = result.facts;
  emu::RunResult& run = result.run;
  SummaryReading reading;
  facts.complete = summary.complete;
  for (const auto& f : summary.lines) {
    const std::string& tag = f[0];
    try {
      if (tag == "DC" && f.size() == 2) {
        facts.hostBridgeDc = Hex(f[1]);
      } else if (tag == "PROBE" && f.size() == 4) {
        facts.probes.push_back({Hex(f[1]), Hex(f[2]), Hex(f[3])});
      } else if (tag == "PEIM" && f.size() == 4) {
        facts.peims.push_back({Hex(f[1]), f[3], Hex(f[2]) != 0});
      } else if (tag == "MODULE" && f.size() == 6) {
        facts.moduleFile = Hex(f[1]);
        facts.imageSection = Hex(f[2]);
        run.imageBase = Hex(f[3]);  // relative addresses (the map's) count from here
        run.entryPoint = Hex(f[4]);
        facts.imageFormat = f[5];
      } else if (tag == "ENTRY" && f.size() == 2) {
        run.entry.status = Hex(f[1]);
      } else if (tag == "HANDLER" && f.size() == 3) {
        run.handlers.push_back(Hex(f[2]));
      } else if (tag == "D" && f.size() == 2) {
        reading.delivered = static_cast<int>(Hex(f[1])) + 1;
      } else if (tag == "C" && f.size() == 3) {
        reading.lastCall = {static_cast<int>(Hex(f[1])), static_cast<int>(Hex(f[2]))};
      } else if (tag == "R" && f.size() == 7) {
        const int report = static_cast<int>(Hex(f[1])), handler = static_cast<int>(Hex(f[2]));
        reading.statuses[{report, handler}] = Hex(f[3]);
        const std::string during = "report " + std::to_string(report) + ", handler " + std::to_string(handler);
        if ((Hex(f[4]) != 0) != scenario.platform.interruptsEnabled)
          run.faults.push_back({"interrupt flag not restored", 0, 0, 0, Hex(f[4]), during, ""});
        if (Hex(f[5]) != Hex(f[6]))
          run.faults.push_back(
              {"0xCF8 not restored", 0xCF8, 0, 4, Hex(f[6]), during, "it held " + f[5] + " before the call"});
      } else if (tag == "HOB" && f.size() == 4) {
        run.stackHobs.emplace_back(Hex(f[1]), scenario::DecodePostCodeStack(HexBytes(f[3])));
      } else if (tag == "LOG" && f.size() == 2) {
        reading.logHeader = Hex(f[1]);
      } else if (tag == "LOGAREA" && f.size() == 3) {
        const uint32_t offset = Hex(f[1]);
        const std::vector<uint8_t> bytes = HexBytes(f[2]);
        if (offset + bytes.size() > reading.logArea.size()) throw QemuError("memory log chunk outside the text area");
        std::copy(bytes.begin(), bytes.end(), reading.logArea.begin() + offset);
      } else if (tag == "SERVICES" && f.size() == 9) {
        run.services.locatePpi = static_cast<int>(Hex(f[1]));
        run.services.registerCalls = static_cast<int>(Hex(f[2]));
        run.services.createHob = static_cast<int>(Hex(f[3]));
        run.services.getHobList = static_cast<int>(Hex(f[4]));
        run.services.copyMem = static_cast<int>(Hex(f[5]));
        run.services.unsupported = static_cast<int>(Hex(f[6]));
        run.services.lastLocatePpiServices = Hex(f[7]);
        run.services.lastCreateHobServices = Hex(f[8]);
      } else if (tag == "FAULT" && f.size() == 5) {
        emu::Fault fault;
        fault.kind = "processor exception " + std::to_string(Hex(f[1]));
        fault.address = Hex(f[4]);
        fault.eip = Hex(f[3]);
        fault.value = Hex(f[2]);
        fault.during = reading.lastCall ? "report " + std::to_string(reading.lastCall->first) + ", handler " +
                                              std::to_string(reading.lastCall->second)
                                        : "entry";
        fault.detail = "error code " + f[2] + ", CR2 " + f[4];
        run.faults.push_back(fault);
      } else if (tag == "ERROR") {
        std::string text;
        for (size_t k = 1; k < f.size(); ++k) text += (k > 1 ? " " : "") + f[k];
        facts.problems.push_back("the boot ROM stopped: " + text);
      } else if (tag == "STOPPED" && f.size() == 1) {
        facts.stateReadBack = true;
      } else if (tag == "SSQ" && f.size() == 2) {
        if (Hex(f[1]) != QemuRom::SummaryVersion)
          facts.problems.push_back("the boot ROM writes summary version " + f[1] + ", this sinksim reads version " +
                                   std::to_string(QemuRom::SummaryVersion) + ": rebuild both");
      } else if (tag != "END") {
        facts.problems.push_back("summary line not understood: " + tag);
      }
    } catch (const std::exception&) {
      facts.problems.push_back("summary line not understood: " + tag);
    }
  }

  // The memory log as the board holds it after the run.
  sim::MemoryLogRam log;
  for (size_t i = 0; i < reading.logArea.size(); ++i)
    log.SetByte(sim::MemoryLogRam::kBase + sim::MemoryLogRam::kTextStart + static_cast<uint32_t>(i),
                reading.logArea[i]);
  log.SetHeader(reading.logHeader);
  run.outputs.memoryLogHeader = reading.logHeader;
  run.outputs.memoryLogText = log.LogText();

  return reading;
}

// Every report whose first call started, with each handler's result and the
// POST codes it wrote; the call that never returned ends the boot.
void AssembleReports(const SummaryReading& reading, const TraceReader& trace, const scenario::Scenario& scenario,
                     QemuRunResult& result) {
  QemuFacts& facts = result.facts;
  emu::RunResult& run = result.run;
  auto words = [&](const std::vector<std::pair<uint16_t, uint64_t>>& runs, bool halted) {
    std::vector<uint16_t> out;
    for (const auto& [word, count] : runs) out.insert(out.end(), halted ? 1 : static_cast<size_t>(count), word);
    return out;
  };
  // The call that never returned: a blink loop once it has written port 0x80
  // as often as a blink loop may (as the emulated machine judges it), or once
  // its cycle shows before the time limit stopped it.
  auto stopped = [&](const std::vector<std::pair<uint16_t, uint64_t>>& runs, size_t report, size_t handler,
                     emu::CallResult& call) {
    emu::Halt halt{"", report, handler, {}, 0, 0};
    scenario::DescribeCycle(runs, halt);
    for (const auto& r : runs) halt.portWrites += r.second;
    call.stopped = facts.blinkLimit || !halt.cycle.empty() ? "blink loop" : facts.timedOut ? "time limit" : "fault";
    call.postcodes = words(runs, true);
    if (call.stopped == "fault") return;
    halt.reason = call.stopped;
    run.halt = halt;
  };
  const std::vector<std::pair<uint16_t, uint64_t>> noRuns;
  const auto entryRuns = trace.runs.find({-1, 0});
  const auto& entryCallRuns = entryRuns != trace.runs.end() ? entryRuns->second : noRuns;
  if (run.entry.status)
    run.entry.postcodes = words(entryCallRuns, false);
  else
    stopped(entryCallRuns, 0, 0, run.entry);

  std::vector<const scenario::Report*> delivered;
  scenario.ForEachDelivery([&](uint64_t i, const scenario::Report& r) {
    if (i >= static_cast<uint64_t>(std::max(reading.delivered, 0))) return false;
    delivered.push_back(&r);
    return true;
  });
  for (int i = 0; i < static_cast<int>(delivered.size()); ++i) {
    emu::DeliveredReport d{static_cast<size_t>(i), delivered[static_cast<size_t>(i)], {}};
    for (int h = 0; h < static_cast<int>(run.handlers.size()); ++h) {
      // The calls of the last report stop at the one that never returned.
      if (!reading.lastCall || (i == reading.lastCall->first && h > reading.lastCall->second)) break;
      emu::CallResult c;
      const auto status = reading.statuses.find({i, h});
      const auto runs = trace.runs.find({i, h});
      const auto& callRuns = runs != trace.runs.end() ? runs->second : noRuns;
      if (status != reading.statuses.end()) {
        c.status = status->second;
        c.postcodes = words(callRuns, false);
      } else {
        stopped(callRuns, static_cast<size_t>(i), static_cast<size_t>(h), c);
      }
      if (run.handlerStats.size() <= static_cast<size_t>(h)) run.handlerStats.resize(static_cast<size_t>(h) + 1);
      run.handlerStats[static_cast<size_t>(h)].address = run.handlers[static_cast<size_t>(h)];
      ++run.handlerStats[static_cast<size_t>(h)].calls;
      run.postcodes.insert(run.postcodes.end(), c.postcodes.begin(), c.postcodes.end());
      d.calls.push_back(std::move(c));
    }
    run.reports.push_back(std::move(d));
  }
  run.postcodes.insert(run.postcodes.begin(), run.entry.postcodes.begin(), run.entry.postcodes.end());
  if (!facts.complete && !facts.timedOut && !facts.blinkLimit && run.faults.empty() && facts.problems.empty())
    facts.problems.push_back("QEMU ended (exit code " + std::to_string(facts.exitCode) +
                             ") before the summary was complete");
}
}  // namespace

QemuRunResult RunOnQemu(const scenario::Scenario& scenario, const QemuOptions& options) {
  // Everything that can be refused is refused before anything is built or started.
  if (!std::isfinite(options.timeLimitSeconds) || options.timeLimitSeconds <= 0)
    throw QemuError("the time limit must be a number of seconds above 0, not " +
                    fmt::format("{}", options.timeLimitSeconds));
  if (options.blinkWrites && *options.blinkWrites == 0) throw QemuError("a call cannot be stopped after 0 port 0x80 writes");
  if (const std::optional<std::string> why = NotRepresentable(scenario.platform))
    throw QemuError(scenario.path + ": QEMU's PC cannot stand for this board: " + *why);
  const std::vector<uint8_t> block = CompileReportBlock(scenario);
  const std::vector<uint8_t> volume =
      fv::ReadInputFile(options.volume, {"firmware volume", fv::kMaxVolumeFileBytes});
  // Where both machines can run a volume, asked before any ROM is built.
  fv::CheckVolumePlacement(options.volumeBase, volume.size());
  const std::vector<uint8_t> stub = fv::ReadInputFile(options.stub, {"boot ROM", fv::kMaxBootRomFileBytes});
  const std::vector<uint8_t> rom = BuildRom(volume, block, stub, options.volumeBase);

  // From here on an ending signal ends QEMU and removes the scratch
  // directory (both are undone as QemuInterrupted unwinds this scope).
  const EndingSignals signals;
  WorkDirectory work(options.keepDirectory);
  const fs::path romPath = work.Path() / "rom.bin", console = work.Path() / "com1.txt",
                 summaryPath = work.Path() / "com2.txt", fifo = work.Path() / "trace.fifo";
  WriteFile(romPath, rom);
  fs::remove(fifo);
  const std::vector<std::string> args = {options.qemu,
                                         "-M",
                                         "pc",
                                         "-nodefaults",
                                         "-display",
                                         "none",
                                         "-no-reboot",
                                         "-bios",
                                         romPath.string(),
                                         "-serial",
                                         "file:" + console.string(),
                                         "-serial",
                                         "file:" + summaryPath.string(),
                                         "-monitor",
                                         "stdio",
                                         "-device",
                                         "isa-debug-exit,iobase=0xf4,iosize=0x04",
                                         "-trace",
                                         "memory_region_ops_write,file=" + fifo.string()};
  TraceReader trace(options.blinkWrites.value_or(scenario.limits.blinkWrites));
  const ProcessOutcome outcome = RunQemu(args, fifo, options.timeLimitSeconds, trace);
  EndingSignals::Check();  // one that came as QEMU ended: the run is not reported

  QemuRunResult result;
  QemuFacts& facts = result.facts;
  facts.seconds = outcome.seconds;
  facts.exitCode = outcome.exitCode;
  facts.timedOut = outcome.timedOut;
  facts.blinkLimit = outcome.blinkLimit;
  facts.traceLines = trace.lines;
  emu::RunResult& run = result.run;
  run.scenario = &scenario;
  run.imagePath = options.volume;
  run.imageFileSize = static_cast<uint32_t>(volume.size());
  run.outputs.serial = [&] {
    const std::vector<uint8_t> bytes =
        fs::exists(console) ? ReadFile(console, "serial output") : std::vector<uint8_t>{};
    return std::string(bytes.begin(), bytes.end());
  }();
  run.postcodeWrites = trace.writes;

  const SummaryReading reading = ApplySummary(ReadSummary(summaryPath), scenario, result);
  AssembleReports(reading, trace, scenario, result);
  if (!facts.imageFormat.empty()) {
    run.imageSource = "firmware volume in place";
    run.imageFormat = facts.imageFormat;
    run.dispatch = {
        fmt::format("QEMU boot ROM: volume at 0x{:08X}, header and file checksums good", options.volumeBase)};
    for (const QemuFacts::Peim& p : facts.peims)
      run.dispatch.push_back(fmt::format("PEIM {} at 0x{:08X}: dependency expression {}", p.name, p.file,
                                         p.file == facts.moduleFile ? "holds: dispatched"
                                         : p.holds                  ? "holds: not run here"
                                                                    : "does not hold: not run here"));
    run.dispatch.push_back(fmt::format("{} image section at 0x{:08X}, rebased by the packer to 0x{:08X}, entry 0x{:08X}",
                                       facts.imageFormat, facts.imageSection, run.imageBase, run.entryPoint));
  }
  return result;
}

}  // namespace qemu
