// Pairs two sequences the way a line diff does: a common prefix and suffix,
// and a longest common subsequence of what lies between (or, when the middle
// is too large to search, the items in place).
#ifndef STATUSSINK_COMPARE_ALIGN_H
#define STATUSSINK_COMPARE_ALIGN_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace comparison {

// One step of an alignment: an item of A, of B, or of both (paired).
struct AlignStep {
  std::optional<size_t> a;
  std::optional<size_t> b;
};

// The largest middle (items of A times items of B) searched for a longest
// common subsequence; past it the middles are paired in place.
constexpr size_t kMaxAlignCells = size_t{1} << 24;

// same(i, j): whether A[i] and B[j] are the same item. Paired steps are the
// items found alike; an unpaired item of A comes before the unpaired items of
// B at the same place.
template <typename Same>
std::vector<AlignStep> Align(size_t na, size_t nb, const Same& same) {
  std::vector<AlignStep> steps;
  size_t head = 0;
  while (head < na && head < nb && same(head, head)) ++head;
  size_t tail = 0;
  while (tail < na - head && tail < nb - head && same(na - 1 - tail, nb - 1 - tail)) ++tail;
  for (size_t i = 0; i < head; ++i) steps.push_back({i, i});
  const size_t ma = na - head - tail, mb = nb - head - tail;
  if (ma != 0 && mb != 0 && ma * mb <= kMaxAlignCells) {
    // Longest common subsequence lengths of the suffixes, then one walk forward.
    std::vector<uint32_t> lcs((ma + 1) * (mb + 1), 0);
    auto at = [&](size_t i, size_t j) -> uint32_t& { return lcs[i * (mb + 1) + j]; };
    for (size_t i = ma; i-- > 0;)
      for (size_t j = mb; j-- > 0;)
        at(i, j) = same(head + i, head + j) ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
    size_t i = 0, j = 0;
    while (i < ma && j < mb) {
      if (same(head + i, head + j)) {
        steps.push_back({head + i++, head + j++});
      } else if (at(i + 1, j) >= at(i, j + 1)) {
        steps.push_back({head + i++, std::nullopt});
      } else {
        steps.push_back({std::nullopt, head + j++});
      }
    }
    for (; i < ma; ++i) steps.push_back({head + i, std::nullopt});
    for (; j < mb; ++j) steps.push_back({std::nullopt, head + j});
  } else {
    for (size_t i = 0; i < ma; ++i) steps.push_back({head + i, std::nullopt});
    for (size_t j = 0; j < mb; ++j) steps.push_back({std::nullopt, head + j});
  }
  for (size_t k = 0; k < tail; ++k) steps.push_back({na - tail + k, nb - tail + k});
  return steps;
}

}  // namespace comparison

#endif
