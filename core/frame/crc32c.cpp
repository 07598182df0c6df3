// CRC-32C by a 256-entry table built at compile time, and by the SSE4.2
// CRC32 instruction on x86-64 when the running processor has it (checked
// once, at first use).
#include "frame/crc32c.h"

#include <array>
#include <cstring>

#include "base/cpu_features.h"

namespace zelk {
namespace {

constexpr uint32_t POLYNOMIAL = 0x82F63B78;  // reflected Castagnoli polynomial

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ POLYNOMIAL : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> TABLE = make_table();

// Both versions work on the inverted register; the public functions invert
// on entry and exit so that a finished CRC can be passed back in.
uint32_t update_table(uint32_t state, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) state = TABLE[(state ^ p[i]) & 0xFF] ^ (state >> 8);
    return state;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t update_hardware(uint32_t state, const uint8_t* p,
                                                            size_t n) {
    uint64_t wide = state;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        wide = __builtin_ia32_crc32di(wide, word);
    }
    auto narrow = static_cast<uint32_t>(wide);
    for (; n > 0; ++p, --n) narrow = __builtin_ia32_crc32qi(narrow, *p);
    return narrow;
}

#endif

// a times b modulo the polynomial, both polynomials over GF(2) in the
// CRC's reflected order (the top bit holds x^0).
uint32_t multiply_modulo(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = uint32_t{1} << 31; m != 0; m >>= 1) {
        if (a & m) product ^= b;
        b = (b & 1) ? (b >> 1) ^ POLYNOMIAL : b >> 1;
    }
    return product;
}

}  // namespace

uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
    // crc_a shifted past length_b zero bytes: times x^(8 length_b), by
    // squaring x^8 for each bit of the length.
    uint32_t shift = uint32_t{1} << 31, power = uint32_t{1} << 23;  // x^0 and x^8
    for (; length_b != 0; length_b >>= 1) {
        if (length_b & 1) shift = multiply_modulo(power, shift);
        power = multiply_modulo(power, power);
    }
    return multiply_modulo(shift, crc_a) ^ crc_b;
}

bool crc32c_hardware_available() {
#if defined(__x86_64__)
    return cpu_has(CpuFeature::Sse42);
#else
    return false;
#endif
}

uint32_t crc32c_table(std::span<const uint8_t> data, uint32_t crc) {
    return ~update_table(~crc, data.data(), data.size());
}

uint32_t crc32c(std::span<const uint8_t> data, uint32_t crc) {
#if defined(__x86_64__)
    if (crc32c_hardware_available()) return ~update_hardware(~crc, data.data(), data.size());
#endif
    return crc32c_table(data, crc);
}

}  // namespace zelk
