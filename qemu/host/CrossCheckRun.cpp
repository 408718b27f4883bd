#include "qemu/host/CrossCheckRun.h"

#include "emu/Run.h"
#include "sim/MmioUart.h"
#include "sim/PcieConfigWindow.h"
#include "sim/SidebandWindow.h"

namespace qemu {
namespace {

// The chipset's parts that QEMU's PC does not have, where the module reads to
// find its memory-mapped serial controller: the configuration window, the
// sideband window and the controller's register page (at the board's base
// and at the fixed address the module falls back to). What is read there
// decides only that controller's output.
bool InChipsetWindow(uint32_t address, const scenario::PlatformConfig& board) {
  const uint32_t page = ~(sim::MmioUart::kPageSize - 1);
  return address - sim::PcieConfigWindow::kBase < sim::PcieConfigWindow::kSize ||
         address - sim::SidebandWindow::kBase < sim::SidebandWindow::kSize ||
         (address & page) == (board.mmioSerialBase & page) ||
         (address & page) == (scenario::PlatformConfig{}.mmioSerialBase & page);
}

}  // namespace

SinksimSide RunForCrossCheck(const emu::FlashImage& image, const scenario::Scenario& scenario) {
  SinksimSide side;
  emu::RunOptions options;
  options.busObserver = [&](const sim::Access& access, bool claimed) {
    if (claimed || access.kind != sim::AccessKind::MemRead || InChipsetWindow(access.address, scenario.platform))
      return;
    if (side.unansweredReads++ == 0) side.firstUnansweredRead = access.address;
  };
  side.run = emu::RunScenario(image, scenario, options);
  return side;
}

}  // namespace qemu
