// What every view of a run draws, laid on one time axis: the calls (the
// entry's and each report's, one per handler), the port 0x80 writes, the
// module spans their begin and end codes open and close, the text lines
// each output received, the serial lines' transmitters and the halt.
#ifndef STATUSSINK_VIEW_TIMELINE_H
#define STATUSSINK_VIEW_TIMELINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compare/RunDocument.h"

namespace view {

// Which clock the axis counts. Every time of a Timeline is in nanoseconds
// of that axis.
enum class Axis {
  BoardTime,     // the board time model's nanoseconds (the document has "timing")
  Instructions,  // instructions at 1 GHz and one instruction a cycle: 1 instruction = 1 ns
  ReportOrder,   // no instruction counts (QEMU's PC): each call one unit
};

// One unit of the report-order axis: a call lasts this long.
constexpr uint64_t kReportOrderUnitNs = 1000;
// The rate a serial line is drawn at when the document has no time model.
constexpr uint64_t kDefaultBaud = 115200;

struct Call {
  std::optional<size_t> report;  // index into RunDocument::reports; none for the entry
  size_t handler = 0;            // the handler's place (the entry: 0)
  uint64_t start = 0, end = 0;
};

struct PostCodeWrite {
  uint64_t time = 0;
  uint16_t code = 0;
};

struct Span {
  std::string name;  // from the module table
  uint16_t code = 0;  // the code that opened it
  uint64_t start = 0, end = 0;
  size_t depth = 0;  // 0: outermost
  bool closedByRule = false;  // closed by an end code of an outer span, or by the end of the run
};

struct TextLine {
  std::string text;  // escaped as the text view escapes device bytes, without the line break
  uint64_t time = 0;  // when its first byte was written: the start of the calls that wrote it
  uint64_t firstByte = 0, bytes = 0;  // place in the output's text
};

// A serial line's transmitter: each byte of the output's text in order, in
// stretches sent back to back at the line's rate.
struct Wire {
  uint64_t baud = kDefaultBaud;
  struct Burst {
    uint64_t start = 0;  // the first byte's start bit
    uint64_t bytes = 0;
  };
  std::vector<Burst> bursts;
  bool modelled = false;  // from the time model; else laid back to back from each report's start
};

struct OutputLines {
  std::string name;  // serial, mmio_serial, memory_log
  std::string text;  // the device bytes
  bool placed = false;  // the document says which report wrote which bytes
  bool ring = false;    // keeps only the newest text
  std::vector<TextLine> lines;
  std::optional<Wire> wire;  // serial lines only
};

struct Timeline {
  Axis axis = Axis::Instructions;
  std::string axisText;  // what the axis counts, for a legend or metadata
  std::string scenario, machine, image, origin;
  std::vector<std::string> handlers;
  std::vector<Call> calls;  // in the order they ran; the entry first
  std::vector<PostCodeWrite> postcodes;
  std::vector<Span> spans;  // in the order they opened: a parent before its children
  size_t spansClosedByRule = 0;
  std::vector<OutputLines> outputs;
  std::optional<uint64_t> haltTime;
  std::string haltText;
  uint64_t end = 0;  // the last call's end
};

Timeline BuildTimeline(const comparison::RunDocument& document);

// The moment bit k (0: the first start bit) of a burst begins: k bit times
// after the burst's start, rounded to the nearest nanosecond.
uint64_t BitEdge(const Wire& wire, const Wire::Burst& burst, uint64_t k);

// The byte's place in time on its wire: [start, end) of its 10 bit times,
// for each byte of the output's text in order.
std::vector<std::pair<uint64_t, uint64_t>> ByteTimes(const Wire& wire);

// A POST code's name for a label: "PcdPei begins", "PEI core checkpoint".
std::string PostCodeLabel(uint16_t code);

// Nanoseconds as microseconds, exactly: "12.345", "7".
std::string Microseconds(uint64_t ns);

}  // namespace view

#endif
