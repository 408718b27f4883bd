// The simulated bus and PEI environment that every other host32 test relies on.
#include <gtest/gtest.h>

#include <string>

#include "sim/host32/HostPlatform.h"
#include "sim/BoardClock.h"
#include "sim/LegacyUart.h"
#include "sim/host32/PeiEnvironment.h"
#include "postcode/PostCode.h"
#include "sim/SimPlatform.h"
#include "platform/platform.h"

namespace {

TEST(SimulatedBus, UnclaimedAccessesFloatHighAndAreLoggedInOrder) {
  sim::Platform p;
  sim::ScopedPlatform scope(p);
  EXPECT_EQ(IoRead8(0x1234), 0xFF);
  EXPECT_EQ(MmioRead32(0x12345678), 0xFFFFFFFFu);
  IoWrite16(0x80, 0xBEEF);
  DisableInterrupts();
  EXPECT_FALSE(InterruptsEnabled());
  const std::vector<sim::Access> expected = {sim::IoR(0x1234, 1, 0xFF), sim::MemR(0x12345678, 4, 0xFFFFFFFF),
                                             sim::IoW(0x80, 2, 0xBEEF), {sim::AccessKind::InterruptsOff, 0, 0, 0}};
  EXPECT_EQ(p.bus.Log(), expected);
  EXPECT_EQ(p.postCodes.Codes(), std::vector<uint16_t>{0xBEEF});
}

TEST(SimulatedPeiEnvironment, CreateHobKeepsTheListTerminatedAndTheServicesPointerSitsBelowTheIdt) {
  sim::PeiEnvironment env;
  const uint32_t below = *reinterpret_cast<const uint32_t*>(env.IdtBase() - 4);
  EXPECT_EQ(below, reinterpret_cast<uintptr_t>(env.Services()));
  void* hob = nullptr;
  ASSERT_EQ((*env.Services())->CreateHob(env.Services(), PostCodeStackHobType, 56, &hob), EFI_SUCCESS);
  void* list = nullptr;
  (*env.Services())->GetHobList(env.Services(), &list);
  EXPECT_EQ(list, hob);
  auto* h = static_cast<EFI_HOB_GENERIC_HEADER*>(hob);
  EXPECT_EQ(h->HobType, PostCodeStackHobType);
  EXPECT_EQ(h->HobLength, 56);
  EXPECT_EQ(reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(static_cast<uint8_t*>(hob) + 56)->HobType, 0xFFFF);
  env.pei.switches.failCreateHob = true;
  EXPECT_NE((*env.Services())->CreateHob(env.Services(), PostCodeStackHobType, 56, &hob), EFI_SUCCESS);
}

// The line status a board's 16550 shows while it sends a burst: "FIFO empty"
// (bit 5) as soon as the last byte has moved into the shift register, and
// "transmitter idle" (bit 6) only once that byte has left it too.
TEST(SimulatedLegacyUart, TheFifoShowsEmptyBeforeTheTransmitterIsIdle) {
  struct Case {
    unsigned pace;
    unsigned bytes;
    std::string statuses;  // per line status read after the burst: '.' none, '5' bit 5, '6' bits 5 and 6
  };
  const Case cases[] = {
      {0, 1, "66"}, {0, 16, "566"}, {0, 17, "566"}, {2, 1, "566"}, {2, 3, "...5566"},
  };
  for (const Case& c : cases) {
    sim::LegacyUart uart;
    uart.SetDrainPace(c.pace);
    for (unsigned i = 0; i < c.bytes; ++i) uart.IoWrite(sim::LegacyUart::kBase, 1, 'x');
    EXPECT_EQ(uart.Overruns(), 0u);
    std::string statuses;
    for (size_t i = 0; i < c.statuses.size(); ++i) {
      const uint32_t lsr = uart.IoRead(sim::LegacyUart::kLineStatusPort, 1);
      statuses += (lsr & 0x40) ? ((lsr & 0x20) ? '6' : '?') : ((lsr & 0x20) ? '5' : '.');
    }
    EXPECT_EQ(statuses, c.statuses) << "pace " << c.pace << ", " << c.bytes << " bytes";
  }
  // One byte in the shift register and sixteen in the FIFO: an eighteenth is lost.
  sim::LegacyUart uart;
  for (unsigned i = 0; i < 18; ++i) uart.IoWrite(sim::LegacyUart::kBase, 1, 'x');
  EXPECT_EQ(uart.Overruns(), 1u);
}

}  // namespace

// The board clock's arithmetic, here without 128-bit integers: products
// past 64 bits divided exactly, with the remainder.
TEST(BoardClockArithmetic, MulDivIsExactWherever64BitsOverflow) {
  struct Row {
    uint64_t a, b, c, quotient, remainder;
  };
  const Row rows[] = {
      {10000000000000000u, 1000000000000u, 3000000000u, 3333333333333333333u, 1000000000u},
      {18446744073709551615u, 18446744073709551615u, 18446744073709551615u, 18446744073709551615u, 0u},
      {123456789012u, 10000000000000u, 115200u, 10716735157291666666u, 76800u},
      {1232u, 10000000000000u, 115200u, 106944444444u, 51200u},
      {5u, 7u, 3u, 11u, 2u},
      {9223372036854775808u, 2u, 4611686018427387905u, 3u, 4611686018427387901u},
      {0u, 12345u, 7u, 0u, 0u},
  };
  for (const Row& r : rows) {
    uint64_t remainder = ~0ull;
    EXPECT_EQ(sim::MulDiv(r.a, r.b, r.c, &remainder), r.quotient) << r.a << " * " << r.b << " / " << r.c;
    EXPECT_EQ(remainder, r.remainder) << r.a << " * " << r.b << " % " << r.c;
  }
}

TEST(SimulatedPeiEnvironment, RegisterRefusesACallbackTwiceOrPastTheTableAndUnregisterOneItDoesNotHold) {
  sim::PeiBehaviour pei;
  EXPECT_EQ(pei.Register(0x1000), EFI_SUCCESS);
  EXPECT_EQ(pei.Register(0x1000), EFI_ALREADY_STARTED);
  EXPECT_EQ(pei.Register(0), EFI_INVALID_PARAMETER);
  EXPECT_EQ(pei.Handlers(), std::vector<uint32_t>{0x1000});
  EXPECT_EQ(pei.Unregister(0x2000), EFI_NOT_FOUND);
  EXPECT_EQ(pei.Unregister(0x1000), EFI_SUCCESS);
  EXPECT_TRUE(pei.Handlers().empty());
  // The router's table is finite, whatever an image registers.
  for (uint32_t k = 0; k < sim::PeiBehaviour::kMaxHandlers; ++k) EXPECT_EQ(pei.Register(0x1000 + k), EFI_SUCCESS);
  EXPECT_EQ(pei.Register(0x2000), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(pei.Handlers().size(), sim::PeiBehaviour::kMaxHandlers);
}
