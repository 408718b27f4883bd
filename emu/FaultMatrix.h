// The fault matrix: every device fault of the board against every kind of
// report, each cell the real image on an emulated machine as it is after
// the entry on the fault's board. A cell
// is as designed when it does what the design must do on that board: the
// text reaches every output the fault leaves working (and none that it
// breaks), the POST code handler writes the kind's words, or answers
// EFI_NOT_FOUND where the board leaves it no record, and the unrecoverable
// error halts the boot in the blink loop with its code's rotation as the
// cycle; every handler call that returns does so within the call budget, with
// no fault, the image intact and the stack within its budget. Anything else
// is a failure.
#ifndef STATUSSINK_EMU_FAULTMATRIX_H
#define STATUSSINK_EMU_FAULTMATRIX_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "emu/Emulator.h"
#include "emu/Run.h"
#include "scenario/Scenario.h"

namespace emu {

// Instructions a handler call that returns may take, and stack bytes any call
// may use. A report whose handlers may blink gets the larger budget before a
// call is stopped: the blink loop shows one full cycle after about 15.7
// million instructions.
constexpr uint64_t kFaultCallBudget = 4'000'000;
constexpr uint64_t kFaultBlinkBudget = 20'000'000;
constexpr uint32_t kFaultStackBudget = 512;

// What the POST code handler can still do on a board.
enum class PostCodes {
  Shown,     // registered, and its record is found: it writes each code (and blinks)
  NotFound,  // registered, but no record is found: EFI_NOT_FOUND for each report with a code, nothing written
  None,      // not registered: never called
};

struct DeviceFault {
  std::string name;         // short, for the table
  std::string description;  // what the board does wrong
  std::function<void(scenario::PlatformConfig&)> apply;
  // What the design still does on this board, for the outputs (run/Outputs.h)
  // the fault touches: an output's letter and '.' when none of the text may
  // reach it ("L."), its lower-case letter when some of it must ("l"), or
  // "." alone when no output may get any; an output not named gets all of it.
  std::string outputs = "";
  PostCodes postCodes = PostCodes::Shown;
  // Kinds whose port 0x80 words on this board are not the kind's own.
  std::map<std::string, std::vector<uint16_t>> wordsFor = {};
};

// What the design gives on the fault's board, output by output in the
// table's order: the letter for all of the text, lower case for some, '.'
// for none ("L.G").
std::string ExpectedSinks(const DeviceFault& fault);

struct ReportKind {
  std::string name;
  std::vector<scenario::Report> reports;  // delivered in order to one machine
  // What the design writes to port 0x80 for them: the words of the calls
  // that return, and the code the last report blinks for ever, if it does.
  std::vector<uint16_t> words;
  std::optional<uint16_t> blinks;
};

enum class CellOutcome { Completed, Halted, Failed };

struct FaultCell {
  CellOutcome outcome = CellOutcome::Failed;
  std::string problem;  // why a cell failed
  // Whether the kind's text reached each output, in the table's order
  // (run/Outputs.h): the letter (L, M, G) when all of the text the
  // fault-free board received arrived, lower case for part of it, '.' for
  // nothing.
  std::string sinks;
  std::vector<uint16_t> postcodes;  // port 0x80 words of the calls that returned
  std::vector<uint32_t> errors;     // non-zero statuses that handlers returned, in order
  std::vector<uint16_t> cycle;      // the blink cycle of a halt
  uint64_t writesPerWord = 0;
  uint64_t maxInstructions = 0;  // of the calls that returned
  uint32_t maxStackBytes = 0;

  // One line: "ok LMG FC", "ok L.G FC nf", "halt LMG 184>8400>0>1", "FAIL budget".
  std::string Summary() const;
};

struct FaultMatrix {
  std::vector<DeviceFault> faults;
  std::vector<ReportKind> kinds;
  std::vector<std::vector<FaultCell>> cells;  // [fault][kind]
  bool AsDesigned() const;
};

// The faults, the first row being the board without a fault.
std::vector<DeviceFault> DeviceFaults();
// The report kinds, read as scenario reports.
std::vector<ReportKind> ReportKinds();
// The board every fault starts from.
scenario::Scenario FaultBaseBoard();

FaultMatrix RunFaultMatrix(const FlashImage& image);
// One cell from its run, against what the design does for `kind` on the
// board of `fault`; `clean` is what the fault-free board received for the
// same reports.
FaultCell JudgeCell(const RunResult& run, const run::DeviceOutputs& clean, const DeviceFault& fault,
                    const ReportKind& kind);

std::string FaultMatrixText(const FaultMatrix& matrix);
nlohmann::ordered_json FaultMatrixJson(const FaultMatrix& matrix);

// Runs the matrix on the image and prints the table (or the JSON document):
// 0 when every cell is as designed, 3 otherwise.
int PrintFaultMatrix(const FlashImage& image, bool json, std::ostream& out);

}  // namespace emu

#endif
