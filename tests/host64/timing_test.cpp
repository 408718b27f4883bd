// The board clock and the UARTs that drain on it, at the device models:
// bytes written at given times, the status bits read at given times.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "sim/SimPlatform.h"

namespace {

// A board on its clock whose time is the instruction count in nanoseconds
// (1 GHz, one instruction per cycle) and whose accesses cost nothing, so
// that each step of a row happens at the time the row gives.
struct ClockedBoard {
  explicit ClockedBoard(const sim::TimingSettings& settings) {
    sim::TimingSettings free = settings;
    free.ioAccessNs = free.mmioAccessNs = 0;
    board.InstallDebugUart(sim::MmioUart::kDefaultBase, 1);
    board.EnableTiming(free);
    board.clock.CountInstructionsWith([this] { return now; });
    board.clock.StartCall();
  }
  sim::Platform board;
  uint64_t now = 0;
};

// One step: at a time, write a byte ('w'), or read a status register and expect a value ('r').
struct Step {
  uint64_t atNs;
  char op;
  uint32_t expect = 0;
};

constexpr uint16_t kLsr = sim::LegacyUart::kLineStatusPort;
constexpr uint32_t kMmioStatus = sim::MmioUart::kDefaultBase + sim::MmioUart::kStatusRegister;  // 1-byte stride
// At 115,200 baud a byte (10 bits) takes 86,805.555... ns: the first ends at
// 86,805.556 ns, the 64th at 5,555,555.556 ns.
constexpr uint64_t kByte = 86'806;

struct UartCase {
  const char* name;
  bool mmio;
  sim::UartTiming line;
  std::vector<Step> steps;
  uint64_t overruns;
  std::vector<std::pair<uint64_t, uint64_t>> bursts;  // (start ns, bytes)
  sim::LegacyUart::Mode mode = sim::LegacyUart::Mode::Present;
};

std::vector<Step> Writes(uint64_t atNs, int count) { return std::vector<Step>(static_cast<size_t>(count), {atNs, 'w'}); }
std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(BoardClock, UartsDrainAtTheirBaudRate) {
  const sim::UartTiming legacy{115'200, 16}, mmio{115'200, 64};
  const UartCase cases[] = {
      {"one byte: FIFO empty at once, the line idle after 10 bit times", false, legacy,
       {{0, 'r', 0x60}, {0, 'w'}, {0, 'r', 0x20}, {kByte - 1, 'r', 0x20}, {kByte, 'r', 0x60}}, 0, {{0, 1}}},
      {"the shift register and 16 FIFO bytes, then an overrun; the FIFO empties after 16 byte times", false, legacy,
       Writes(1000, 17) + std::vector<Step>{{1000, 'r', 0x00}, {1000, 'w'}, {1000 + 1'388'888, 'r', 0x00},
                                            {1000 + 1'388'889, 'r', 0x20}, {1000 + 1'475'694, 'r', 0x20},
                                            {1000 + 1'475'695, 'r', 0x60}},
       1, {{1000, 17}}},
      {"a byte written while sending joins the burst; one written when idle starts the next", false, legacy,
       {{0, 'w'}, {50'000, 'w'}, {173'611, 'r', 0x20}, {173'612, 'r', 0x60}, {200'000, 'w'}}, 0,
       {{0, 2}, {200'000, 1}}},
      {"9600 baud and a 1-byte FIFO", false, {9600, 1},
       {{0, 'w'}, {0, 'w'}, {0, 'r', 0x00}, {0, 'w'}, {1'041'667, 'r', 0x20}, {2'083'334, 'r', 0x60}}, 1, {{0, 2}}},
      {"a stuck port never drains on the clock either", false, legacy, Writes(0, 18) + std::vector<Step>{{10'000'000, 'r', 0x00}},
       1, {}, sim::LegacyUart::Mode::Stuck},
      {"memory-mapped: not full until the shift register and 64 FIFO bytes are taken", true, mmio,
       Writes(0, 64) + std::vector<Step>{{0, 'r', 0x02}, {0, 'w'}, {0, 'r', 0x01}, {0, 'w'}, {kByte - 1, 'r', 0x01},
                                         {kByte, 'r', 0x02}, {5'555'555, 'r', 0x02}, {5'555'556, 'r', 0x06}},
       1, {{0, 65}}},
  };
  for (const UartCase& c : cases) {
    sim::TimingSettings settings;
    (c.mmio ? settings.mmioUart : settings.legacyUart) = c.line;
    ClockedBoard b(settings);
    b.board.legacyUart.SetMode(c.mode);
    b.board.legacyUart.SetDrainPace(7);  // the clock drives the port: the pace in status reads is not used
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      b.now = s.atNs;
      if (s.op == 'w' && c.mmio) b.board.bus.MemWrite(sim::MmioUart::kDefaultBase, 1, 'x');
      if (s.op == 'w' && !c.mmio) b.board.bus.IoWrite(sim::LegacyUart::kBase, 1, 'x');
      if (s.op == 'r') {
        const uint32_t status = c.mmio ? b.board.bus.MemRead(kMmioStatus, 1) : b.board.bus.IoRead(kLsr, 1);
        EXPECT_EQ(status, s.expect) << c.name << ": step " << i << " at " << s.atNs << " ns";
      }
    }
    const sim::TimedTransmitter& line = c.mmio ? b.board.mmioUart.Line() : b.board.legacyUart.Line();
    std::vector<std::pair<uint64_t, uint64_t>> bursts;
    for (const auto& burst : line.Bursts()) bursts.emplace_back(sim::ToNs(burst.start), burst.bytes);
    EXPECT_EQ(bursts, c.bursts) << c.name;
    EXPECT_EQ(c.mmio ? b.board.mmioUart.Overruns() : b.board.legacyUart.Overruns(), c.overruns) << c.name;
  }
}

// The mode of the memory-mapped controller's status still rules: ready for
// its first N reads only, whatever the FIFO holds.
TEST(BoardClock, TheStatusModeStillApplies) {
  ClockedBoard b(sim::TimingSettings{});
  b.board.mmioUart.SetStatus(sim::MmioUart::Status::ReadyForFirst, 2);
  EXPECT_EQ(b.board.bus.MemRead(kMmioStatus, 1), 0x06u);
  b.board.bus.MemWrite(sim::MmioUart::kDefaultBase, 1, 'x');
  b.board.bus.MemWrite(sim::MmioUart::kDefaultBase, 1, 'x');
  EXPECT_EQ(b.board.bus.MemRead(kMmioStatus, 1), 0x02u);
  b.now = 1'000'000'000;
  EXPECT_EQ(b.board.bus.MemRead(kMmioStatus, 1), 0x01u) << "past its ready reads, never ready";
}

// Time is the instructions at the clock's rate plus every access's cost,
// and each nanosecond is charged once: to the device an access reached, the
// instructions between two accesses to the same device to that device, the
// rest to the module.
TEST(BoardClock, EveryNanosecondIsChargedOnce) {
  sim::Platform board;
  sim::TimingSettings settings;
  settings.clockHz = 3'000'000'000;  // a third of a nanosecond per instruction: rounding must not drift
  board.EnableTiming(settings);
  uint64_t instructions = 0;
  board.clock.CountInstructionsWith([&] { return instructions; });
  board.clock.ChargeApart({static_cast<const sim::IoDevice*>(&board.legacyUart),
                           static_cast<const sim::MemDevice*>(&board.memoryLog)});
  board.clock.StartCall();
  instructions = 100;  // module
  board.bus.IoRead(kLsr, 1);  // 1 us, serial
  instructions = 400;  // between two serial accesses: serial
  board.bus.IoWrite(sim::LegacyUart::kBase, 1, 'a');  // serial
  instructions = 700;  // module: the next access goes elsewhere
  board.bus.MemWrite(sim::MemoryLogRam::kBase + 8, 1, 'a');  // RAM: no cost, memory log
  board.bus.IoWrite(0x80, 1, 1);  // 1 us, module
  instructions = 1000;
  board.clock.EndCall();  // module
  // 1000 instructions at 3 GHz are 333.333 ns; three I/O accesses 3000 ns.
  EXPECT_EQ(board.clock.NowNs(), 3333u);
  const uint64_t serial = board.clock.ChargedNs(0), log = board.clock.ChargedNs(1), module = board.clock.ChargedNs(2);
  EXPECT_EQ(serial, 2000u + 100u);  // two accesses, and 300 instructions (100 ns) between them
  EXPECT_EQ(log, 0u);
  EXPECT_EQ(serial + log + module, board.clock.NowNs());
}

}  // namespace
