// Integer arithmetic of the prediction models. Encoder and decoder have to
// reach the same prediction bit for bit on every machine and for any caller
// weights, so every 32-bit sum wraps modulo 2^32 (computed on unsigned values,
// never through signed overflow) and the 16.16 fixed-point product is formed
// exactly in 64 bits, floored by an arithmetic shift and only then narrowed.
#pragma once

#include <cstdint>

namespace zelk {

// The low 32 bits of v, read as a signed value.
constexpr int32_t low32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

constexpr int32_t wrap_add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

constexpr int32_t wrap_sub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// A byte times a 32-bit value, reduced to the low 32 bits.
constexpr int32_t wrap_mul(uint8_t byte, int32_t v) {
    return static_cast<int32_t>(uint32_t{byte} * static_cast<uint32_t>(v));
}

// a ⊗ b: the exact product a × b divided by 65536, rounded toward minus
// infinity, reduced to its low 32 bits.
constexpr int32_t fixed_mul(int32_t a, int32_t b) {
    return low32((int64_t{a} * int64_t{b}) >> 16);
}

// n / 255 for every 32-bit n, by a multiply and a shift: 0x80808081 is
// 2^39 / 255 rounded up, and its excess over the true reciprocal is too small
// to lift any quotient of a 32-bit n to the next integer.
constexpr uint32_t divide_by_255(uint32_t n) {
    return static_cast<uint32_t>((uint64_t{n} * 0x80808081u) >> 39);
}

}  // namespace zelk
