// Mostly-zero integers as zelk.matrix stores them: the gaps between the
// positions of the non-zero ones (the first position plus one, then the
// differences), then those numbers, the two halves of one run of numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zelk {

// Into `gaps` and `values`, each exactly as long as `line` has non-zero
// numbers (else std::invalid_argument).
void to_sparse(std::span<const int64_t> line, std::span<int64_t> gaps, std::span<int64_t> values);

// Into `line`, the line that an even count of `numbers` (gaps, then values)
// gives; false where a gap is below 1 or a position lies past the line.
bool from_sparse(std::span<const int64_t> numbers, std::span<int64_t> line);

}  // namespace zelk
