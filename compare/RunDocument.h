// A run as the comparison sees it: the facts of one `sinksim run --json` or
// `sinksim qemu --json` document, read back and checked field by field, so a
// comparison never has to guess at a document's shape.
#ifndef STATUSSINK_COMPARE_RUNDOCUMENT_H
#define STATUSSINK_COMPARE_RUNDOCUMENT_H

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

// The folder is compare/; its namespace is comparison, since a namespace named
// compare would hide the fmt library's own compare() from its headers.
namespace comparison {

using Json = nlohmann::ordered_json;

// A document that is not a run document, or a file that cannot be read:
// the message names the file and the field.
class DocumentError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Run documents of ten million reports reach a few gigabytes; anything larger is refused unread.
constexpr uint64_t kMaxRunDocumentBytes = 4ull << 30;

// The per-call figures a report may carry, in the order they are shown:
// each is an array with one entry per handler (null where the machine does
// not measure it). A figure a document lacks is not compared.
inline constexpr std::array<std::string_view, 5> kCostNames = {"instructions", "stack_bytes", "io_accesses",
                                                                "mmio_accesses", "time_ns"};

struct ReportFacts {
  uint64_t index = 0;
  uint64_t type = 0;
  uint64_t value = 0;
  std::vector<std::optional<uint64_t>> results;  // per handler; null when the call did not return
  std::vector<std::string> stopped;              // per handler; empty when the call returned
  std::map<std::string, std::vector<std::optional<uint64_t>>> costs;  // figure -> per handler
  std::vector<uint16_t> postcodes;
  // Each call's start in modelled nanoseconds from the entry's start (field
  // start_ns; costs["time_ns"] is its length): empty when the run had no
  // time model.
  std::vector<std::optional<uint64_t>> startNs;
  // Bytes each output received during the report's calls, by output name
  // (field output_bytes): empty when the machine does not say (QEMU's PC).
  std::map<std::string, uint64_t> outputBytes;
};

struct OutputText {
  std::string name;   // serial, mmio_serial, memory_log
  std::string bytes;  // as the device received them
};

struct HaltFacts {
  std::string reason;
  uint64_t report = 0;
  uint64_t handler = 0;
  std::string cycle;  // the words of one cycle, "0184 8400 0000 0001 (each word written N times)"
};

struct FaultFacts {
  std::string kind, where, during, detail;
  bool operator<(const FaultFacts& o) const {
    return std::tie(kind, where, during, detail) < std::tie(o.kind, o.where, o.during, o.detail);
  }
  bool operator==(const FaultFacts& o) const = default;
};

// The board time model of a run (field timing): its settings, the boot's
// modelled time, what each output cost, and when each serial line's
// transmitter was busy.
struct TimingFacts {
  uint64_t clockHz = 0;
  uint64_t instructionsPerCycle = 0;
  uint64_t ioAccessNs = 0, mmioAccessNs = 0;
  uint64_t bootNs = 0;  // from the entry's start to the end of the last call
  std::map<std::string, uint64_t> outputNs;  // output name (and "module" for the rest) -> time charged
  // A serial output's line: its rate, FIFO depth, and each stretch in which
  // its transmitter sent bytes back to back: (start in ns, bytes).
  struct Wire {
    std::string output;
    uint64_t baud = 0, fifo = 0;
    std::vector<std::pair<uint64_t, uint64_t>> bursts;
  };
  std::vector<Wire> wires;
};

struct RunDocument {
  std::string origin;  // the file read, or the scenario and machine that made it
  std::string machine;
  std::string scenarioName;
  std::string imagePath;  // the image or volume that ran (field image.path), when the document names it
  std::vector<std::string> handlers;  // names, by registration order
  std::optional<uint64_t> entryStatus;
  std::string entryStopped;
  std::map<std::string, std::optional<uint64_t>> entryCosts;  // figure -> the entry call's
  std::optional<uint64_t> entryStartNs;          // with the time model
  std::map<std::string, uint64_t> entryOutputBytes;  // as ReportFacts::outputBytes
  std::vector<uint16_t> entryPostcodes;  // written before the first report
  std::vector<ReportFacts> reports;
  std::vector<OutputText> outputs;
  std::optional<HaltFacts> halt;
  std::vector<FaultFacts> faults;
  uint64_t faultsNotListed = 0;
  std::optional<TimingFacts> timing;
  std::map<std::string, std::optional<uint64_t>> totals;  // the run's statistics that are numbers
};

// Reads a parsed document; throws DocumentError naming `origin` and the field.
RunDocument ReadRunDocument(const Json& document, const std::string& origin);

// Whether parsed JSON claims to be a run document (it names its machine).
bool LooksLikeRunDocument(const Json& document);

// Parses a file (regular, within kMaxRunDocumentBytes); throws DocumentError naming it.
Json ParseJsonFile(const std::string& path);

// Where an output's bytes came from: its byte count after the entry and
// after each report in turn (ends[0] the entry's, ends[k + 1] report k's),
// or none when the document does not say what every call sent it (QEMU's
// PC) or its counts pass what any run could send. The comparison places
// changed lines with it, the views place lines and serial bytes in time.
std::optional<std::vector<uint64_t>> OutputByteEnds(const RunDocument& d, const std::string& output);

// A POST code as the timeline names it: "0121 PcdPei begins".
std::string NamePostCode(uint16_t code);

}  // namespace comparison

#endif
