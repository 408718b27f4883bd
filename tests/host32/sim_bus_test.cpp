// The simulated bus and PEI environment that every other host32 test relies on.
#include <gtest/gtest.h>

#include "HostPlatform.h"
#include "PeiEnvironment.h"
#include "PostCode.h"
#include "Platform.h"
#include "platform.h"

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

}  // namespace

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
