// Byte views and little-endian integers: how every stored format of the
// library (chunk and frame) reads and writes its fields. The value never
// depends on the host's byte order or alignment.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace zelk {

// A read-only view of bytes owned elsewhere.
using ByteView = std::span<const uint8_t>;

// Writes `value` to out[0 .. sizeof(T)), least significant byte first.
template <typename T>
    requires std::is_unsigned_v<T>
constexpr void store_le(uint8_t* out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Reads the T stored by store_le at `in`. On a little-endian host, one
// unaligned load (the byte-wise loop is not always merged into one: the
// range decoders' 16-bit words took five instructions each).
template <typename T>
    requires std::is_unsigned_v<T>
constexpr T load_le(const uint8_t* in) {
    if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, in, sizeof(T));
        return value;
    }
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(in[i]) << (8 * i);
    return value;
}

}  // namespace zelk
