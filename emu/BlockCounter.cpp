#include "emu/BlockCounter.h"

#include <algorithm>
#include <stdexcept>

#include <fmt/format.h>

namespace emu {

BlockCounter::BlockCounter(uint32_t flashBase, uint32_t flashSize, uint32_t imageBase, uint32_t imageSize)
    : flashBase_(flashBase), imageBase_(imageBase), imageSize_(imageSize), blocks_(flashSize) {}

void BlockCounter::Learn(uc_engine* uc, uint32_t start, uint32_t size) {
  Block& known = blocks_[start - flashBase_];
  uc_tb tb{};
  known.instructions = uc_ctl_request_cache(uc, start, &tb) == UC_ERR_OK && tb.icount != 0 ? tb.icount : 1;
  known.size = static_cast<uint16_t>(size);
  known.inRange = !rangeAt_.empty() && BlockInRange(start - flashBase_, size);
}

std::vector<std::pair<uint32_t, uint32_t>> BlockCounter::Ran() const {
  std::vector<std::pair<uint32_t, uint32_t>> ran;
  for (uint32_t at = 0; at < blocks_.size(); ++at)
    if (blocks_[at].size != 0) ran.emplace_back(flashBase_ + at - imageBase_, blocks_[at].size);
  return ran;
}

// Looked up once per block the first time it is seen (or seen with another
// size). Every byte of the block must lie in the same range, or in none.
bool BlockCounter::BlockInRange(uint32_t offset, uint32_t size) {
  const uint32_t end = std::min<uint32_t>(offset + size, static_cast<uint32_t>(rangeAt_.size()));
  const uint16_t range = rangeAt_[offset];
  for (uint32_t at = offset + 1; at < end; ++at) {
    if (rangeAt_[at] == range) continue;
    const run::CountRange& edge = ranges_[(range != 0 ? range : rangeAt_[at]) - 1];
    const uint32_t rva = flashBase_ - imageBase_;  // flash offset to RVA
    rangeCrossings_.push_back(fmt::format(
        "the block at {:#x} ({} bytes, {} instructions) runs over the edge of count range {:#x}..{:#x}{} at {:#x}",
        offset + rva, size, blocks_[offset].instructions, edge.start, edge.end,
        edge.name.empty() ? "" : " (" + edge.name + ")", at + rva));
    break;
  }
  return range != 0;
}

void BlockCounter::CountIn(const std::vector<run::CountRange>& ranges) {
  std::vector<run::CountRange> sorted = ranges;
  std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  for (size_t k = 0; k < sorted.size(); ++k) {
    const run::CountRange& r = sorted[k];
    const std::string shown =
        fmt::format("count range {:#x}..{:#x}{}", r.start, r.end, r.name.empty() ? "" : " (" + r.name + ")");
    if (r.end < r.start) throw std::invalid_argument(shown + " ends before it starts");
    if (r.end > imageSize_)
      throw std::invalid_argument(shown + fmt::format(" runs past the image ({:#x} bytes)", imageSize_));
    if (k > 0 && sorted[k - 1].end > r.start) throw std::invalid_argument(shown + " overlaps the one before it");
  }
  if (sorted.size() >= 0xFFFF) throw std::invalid_argument("more count ranges than the emulator keeps apart");
  ranges_ = std::move(sorted);
  const uint32_t flashSize = static_cast<uint32_t>(blocks_.size());
  rangeAt_.assign(ranges_.empty() ? 0 : flashSize, 0);
  // The image's RVA 0 may lie below the flash (a TE image's stripped header): clip each range to the flash.
  for (size_t k = 0; k < ranges_.size(); ++k) {
    const uint64_t start = std::max<uint64_t>(uint64_t{imageBase_} + ranges_[k].start, flashBase_);
    const uint64_t end = std::min<uint64_t>(uint64_t{imageBase_} + ranges_[k].end, uint64_t{flashBase_} + flashSize);
    for (uint64_t a = start; a < end; ++a) rangeAt_[a - flashBase_] = static_cast<uint16_t>(k + 1);
  }
  // Blocks already seen are looked up again.
  for (Block& b : blocks_) b.size = 0;
}

}  // namespace emu
