// Which parts of the image ran: the block map the firmware build writes
// beside the image (StatusSinkPei.blocks: functions from the linker map,
// basic blocks from the disassembly, the source lines of each block from the
// debug copy's line table), the blocks a set of runs executed, the figures
// per function, and an lcov trace file for genhtml.
#ifndef STATUSSINK_EMU_COVERAGE_H
#define STATUSSINK_EMU_COVERAGE_H

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace emu {

// What cmake/block_map.py writes. Addresses are RVAs (offsets from the
// image's base), ends excluded.
struct BlockMap {
  std::string path;
  uint32_t sizeOfImage = 0, entryRva = 0, codeStart = 0, codeEnd = 0;
  std::vector<std::string> files;  // source files, by index
  struct Line {
    uint32_t file = 0, line = 0;
  };
  struct Block {
    uint32_t start = 0, end = 0;
    size_t function = 0;      // index into functions
    std::vector<Line> lines;  // the source lines its instructions come from
  };
  struct Function {
    uint32_t start = 0, end = 0;
    std::string name;
  };
  std::vector<Function> functions;
  std::vector<Block> blocks;  // in address order, tiling the code
};

// StatusSinkPei.blocks for StatusSinkPei.efi or .fv: the block map beside it.
std::string BlockMapPathFor(const std::string& imageOrVolume);

// Reads and checks a block map (functions and blocks inside the code, in
// order, without overlap, each block inside its function); throws
// std::runtime_error naming the file and line otherwise.
BlockMap ReadBlockMap(const std::string& path);

// The executed bytes of the image: a block that ran (its start and size, as
// the emulator's block hook sees it) ran from its first byte to its last.
class CoveredBytes {
 public:
  explicit CoveredBytes(uint32_t imageSize) : ran_(imageSize, 0) {}
  // Adds the executed blocks of a run, as (RVA, bytes); parts outside the image are ignored.
  void Add(const std::vector<std::pair<uint32_t, uint32_t>>& blocks);
  bool Ran(uint32_t rva) const { return rva < ran_.size() && ran_[rva] != 0; }

 private:
  std::vector<uint8_t> ran_;
};

struct FunctionCoverage {
  std::string name;
  uint32_t start = 0, end = 0;
  size_t blocks = 0, reached = 0;
};

struct CoverageReport {
  std::vector<FunctionCoverage> functions;
  size_t blocks = 0, reached = 0;
  std::vector<size_t> missed;  // indexes of the blocks no run reached
};

// A block is reached when its first byte ran.
CoverageReport Summarize(const BlockMap& map, const CoveredBytes& covered);

// The table of functions (blocks reached of all), the total, and every block
// that no run reached with its source lines.
std::string CoverageText(const BlockMap& map, const CoverageReport& report);

// An lcov trace file: per source file the functions (hit when their first
// block was reached) and lines (hit when a reached block holds the line).
void WriteLcov(std::ostream& out, const BlockMap& map, const CoveredBytes& covered, const std::string& testName);

}  // namespace emu

#endif
