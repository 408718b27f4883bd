// A blink loop's cycle: how every machine finds it in a stopped call's
// port 0x80 writes and how it is shown.
#ifndef STATUSSINK_RUN_CYCLE_H
#define STATUSSINK_RUN_CYCLE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "run/RunResult.h"

namespace run {

// Fills in halt's cycle from the port 0x80 writes of the stopped call, given
// as runs of (word, count) in order, the last of which may have been cut
// short; every machine describes a cycle with this one routine. A cycle is
// found once a whole one and the first write of the next were seen: the
// shortest period whose steps repeat, word and count, through every complete
// run and whose next step starts with the last run's word. A port shows the
// same word written twice in turn (a code with a zero byte blinks 0000, 0000)
// as one run: a run as long as a whole multiple of the shortest complete run
// is taken as that many steps of the shortest run's length. No cycle leaves
// halt's cycle empty.
void DescribeCycle(const std::vector<std::pair<uint16_t, uint64_t>>& runs, Halt& halt);
// "0184 8400 0000 0001 (each word written 983040 times)", or each step with
// its own count when they differ: the text view of a cycle on every machine.
std::string CycleText(const std::vector<CycleStep>& cycle);

}  // namespace run

#endif
