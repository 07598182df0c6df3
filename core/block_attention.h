// The transformer's prediction computed straight from the chunk's bytes: the
// query is the four bytes before `end`, the keys the 31 four-byte blocks
// before it, and the caller guarantees that the 128 bytes before `end` are
// readable (positions before the chunk's start supplied as zeros). The block
// distances are taken 16 bytes at a time with SSE2 where the target has it,
// and the weight 131072 / (d + 2) comes from a table; both give exactly the
// integers of the block-by-block search.
#pragma once

#include <cstdint>

namespace zelk {

inline constexpr int ATTENTION_WINDOW = 128;  // bytes read before `end`

// Valid once the chunk holds 32 bytes; below that the prediction is 128.
uint8_t attend(const uint8_t* end);

}  // namespace zelk
