// The QEMU process of a run and what surrounds it: the scratch directory,
// the ending signals caught while QEMU runs, and the loop that follows its
// trace and stops it.
#ifndef STATUSSINK_QEMU_QEMUPROCESS_H
#define STATUSSINK_QEMU_QEMUPROCESS_H

#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qemu/host/Trace.h"

namespace qemu {

// A scratch directory that goes away unless it is the one the caller keeps.
class WorkDirectory {
 public:
  explicit WorkDirectory(const std::string& keep);
  ~WorkDirectory();
  WorkDirectory(const WorkDirectory&) = delete;
  WorkDirectory& operator=(const WorkDirectory&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool remove_ = false;
};

// The signals that end a run early (a terminal's ^C or ^\, a kill, a closed
// terminal): while QEMU runs they are caught, so that QEMU is ended and the
// scratch directory removed before sinksim goes. RunOnQemu then throws
// QemuInterrupted, and the caller raises the signal again once it has
// unwound; one that comes too late to be thrown is raised again here, once
// the scratch directory is gone.
class EndingSignals {
 public:
  EndingSignals();
  ~EndingSignals();
  EndingSignals(const EndingSignals&) = delete;
  EndingSignals& operator=(const EndingSignals&) = delete;

  // Throws QemuInterrupted once one of the signals arrived.
  static void Check();

  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

 private:
  struct sigaction previous_[std::size(kSignals)] {};
  struct sigaction previousPipe_ {};
};

struct ProcessOutcome {
  int exitCode = -1;
  bool timedOut = false;
  bool blinkLimit = false;
  double seconds = 0;
};

// Starts QEMU, follows its trace through a FIFO while it runs, and stops it
// at the time limit or once a call has written port 0x80 as often as a blink
// loop may: a non-maskable interrupt makes the boot ROM read back what the
// board holds and end QEMU, which gets a grace time for that before it is
// killed. An ending signal kills QEMU at once.
ProcessOutcome RunQemu(const std::vector<std::string>& args, const std::filesystem::path& fifo, double limit,
                       TraceReader& trace);

}  // namespace qemu

#endif
