#include "qemu/host/QemuProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <exception>
#include <iterator>
#include <optional>

#include "qemu/host/QemuRun.h"

namespace qemu {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kTracePipeBytes = 1 << 20;
constexpr useconds_t kTraceBatchMicroseconds = 2000;
// After the interrupt that stops a boot, the boot ROM writes the HOB, the
// memory log (up to 128 KiB of hexadecimal on a serial port) and the service
// counts: a few seconds of QEMU's trace on a busy machine.
constexpr int kStopGraceSeconds = 20;

volatile sig_atomic_t gEndingSignal = 0;

extern "C" void NoteEndingSignal(int signal) {
  if (gEndingSignal == 0) gEndingSignal = signal;
}

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

}  // namespace

WorkDirectory::WorkDirectory(const std::string& keep) {
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

WorkDirectory::~WorkDirectory() {
  std::error_code ignored;
  if (remove_) fs::remove_all(path_, ignored);
}

EndingSignals::EndingSignals() {
  gEndingSignal = 0;
  struct sigaction note {};
  note.sa_handler = NoteEndingSignal;
  sigemptyset(&note.sa_mask);
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &note, &previous_[i]);
  // A monitor command to a QEMU that has just ended fails instead.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previousPipe_);
}

EndingSignals::~EndingSignals() {
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
  sigaction(SIGPIPE, &previousPipe_, nullptr);
  if (gEndingSignal != 0 && std::uncaught_exceptions() == 0) raise(gEndingSignal);
}

void EndingSignals::Check() {
  if (const int signal = gEndingSignal; signal != 0)
    throw QemuInterrupted(signal, std::string("stopped by signal ") + std::to_string(signal) + " (" +
                                      strsignal(signal) + "); QEMU ended, its scratch files removed");
}

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

}  // namespace qemu
