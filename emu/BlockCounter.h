// Instructions of the image counted per basic block: Unicorn's translation
// cache knows each block's instruction count, which keeps the count exact at
// a fraction of the cost of a per-instruction hook. The count of each block
// is looked up once and kept in a table indexed by the block's offset in the
// flash (a block is known by its start and its size in bytes), with whether
// it starts in a count range (CountIn): then its instructions also go to the
// range count.
#ifndef STATUSSINK_EMU_BLOCKCOUNTER_H
#define STATUSSINK_EMU_BLOCKCOUNTER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "run/RunResult.h"

#include <unicorn/unicorn.h>

namespace emu {

class BlockCounter {
 public:
  BlockCounter(uint32_t flashBase, uint32_t flashSize, uint32_t imageBase, uint32_t imageSize);

  void StartCall() { instructions_ = rangeInstructions_ = 0; }
  // The block at `start` (in the flash) of `size` bytes has just run. Inline:
  // it runs for every block the image executes.
  void Count(uc_engine* uc, uint32_t start, uint32_t size) {
    if (blocks_[start - flashBase_].size != size) Learn(uc, start, size);
    const Block& known = blocks_[start - flashBase_];
    instructions_ += known.instructions;
    if (known.inRange) rangeInstructions_ += known.instructions;
    if (runCounters_ != nullptr) CountRun(start);
  }
  // Instructions of the call so far, and those of them in the count ranges.
  uint64_t Instructions() const { return instructions_; }
  uint64_t RangeInstructions() const { return rangeInstructions_; }

  // From the next call on, also counts the instructions of every block that
  // starts in one of these ranges of the image (offsets from the image base,
  // end excluded). Refuses (std::invalid_argument) a range that ends before
  // it starts or past the image, and ranges that overlap. Blocks do not span
  // functions, so ranges made of whole functions count exactly; a block seen
  // to run over a range's edge is named in RangeCrossings() (once), and is
  // counted with the range its first byte is in.
  void CountIn(const std::vector<run::CountRange>& ranges);
  const std::vector<std::string>& RangeCrossings() const { return rangeCrossings_; }

  // The blocks seen to run (each start with the size it was last seen
  // with), as (offset from the image base, bytes).
  std::vector<std::pair<uint32_t, uint32_t>> Ran() const;
  // Also counts every run of a block that starts in the image at its offset
  // from the image base in `counters` (offsets past `size` are not counted;
  // a count wraps past 255); null stops it.
  void CountRunsInto(uint8_t* counters, size_t size) {
    runCounters_ = counters;
    runCountersSize_ = counters == nullptr ? 0 : size;
  }

  // The blocks seen so far and the range crossings named, to be put back
  // (Emulator::ResetBlocksRun): what Ran() and RangeCrossings() then tell is
  // what they told at Save.
  struct State;
  State Save() const;
  void Restore(const State& state);

 private:
  bool BlockInRange(uint32_t offset, uint32_t size);
  // A block seen for the first time (or with another size): its instruction count looked up.
  void Learn(uc_engine* uc, uint32_t start, uint32_t size);
  void CountRun(uint32_t start) {
    const uint32_t offset = start - imageBase_;
    if (offset < runCountersSize_) ++runCounters_[offset];
  }

  uint32_t flashBase_, imageBase_, imageSize_;
  struct Block {
    uint16_t size = 0;  // bytes of the block last seen at this offset (0: none yet)
    uint16_t instructions = 0;
    bool inRange = false;  // the block starts in a count range
  };
  std::vector<Block> blocks_;  // by offset of the block's start in the flash
  // By offset in the flash: 0 outside the count ranges, else the range's
  // number plus one. Empty when no range is counted.
  std::vector<uint16_t> rangeAt_;
  std::vector<run::CountRange> ranges_;
  std::vector<std::string> rangeCrossings_;
  uint64_t instructions_ = 0, rangeInstructions_ = 0;
  uint8_t* runCounters_ = nullptr;
  size_t runCountersSize_ = 0;
};

struct BlockCounter::State {
  std::vector<Block> blocks;
  std::vector<std::string> rangeCrossings;
};

inline BlockCounter::State BlockCounter::Save() const { return {blocks_, rangeCrossings_}; }
inline void BlockCounter::Restore(const State& state) {
  blocks_ = state.blocks;
  rangeCrossings_ = state.rangeCrossings;
}

}  // namespace emu

#endif
