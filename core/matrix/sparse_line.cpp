#include "matrix/sparse_line.h"

#include <algorithm>

#include <stdexcept>

namespace zelk {

void to_sparse(std::span<const int64_t> line, std::span<int64_t> gaps, std::span<int64_t> values) {
    if (gaps.size() != values.size()) throw std::invalid_argument("as many gaps as values");
    size_t count = 0;
    int64_t last = -1;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == 0) continue;
        if (count == gaps.size()) throw std::invalid_argument("more non-zero numbers than room for them");
        gaps[count] = static_cast<int64_t>(i) - last;
        values[count++] = line[i];
        last = static_cast<int64_t>(i);
    }
    if (count != gaps.size()) throw std::invalid_argument("fewer non-zero numbers than room for them");
}

bool from_sparse(std::span<const int64_t> numbers, std::span<int64_t> line) {
    const size_t count = numbers.size() / 2;
    const uint64_t length = line.size();
    std::fill(line.begin(), line.end(), 0);
    uint64_t end = 0;  // one past the last position
    for (size_t i = 0; i < count; ++i) {
        const int64_t gap = numbers[i];
        if (gap < 1 || static_cast<uint64_t>(gap) > length - end) return false;
        end += static_cast<uint64_t>(gap);
        line[end - 1] = numbers[count + i];
    }
    return true;
}

}  // namespace zelk
