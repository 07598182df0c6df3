// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78), the checksum of the
// framed format. The SSE4.2 instruction computes it when the processor has
// it; the table version is the reference and the fallback, and both give the
// same values.
#pragma once

#include <cstdint>
#include <span>

namespace zelk {

// CRC-32C of `data`. Passing the CRC of a prefix as `crc` continues it, so
// crc32c(b, crc32c(a)) == crc32c(a followed by b), as with zlib's crc32.
uint32_t crc32c(std::span<const uint8_t> data, uint32_t crc = 0);

// The CRC-32C of a followed by b, from crc32c(a), crc32c(b) and b's length,
// without reading either (zlib's crc32_combine): a reader that checks each
// block's CRC and then the content's takes the content's from the blocks'.
uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

// The table version, always available; crc32c() uses it when the
// processor lacks the instruction.
uint32_t crc32c_table(std::span<const uint8_t> data, uint32_t crc = 0);

// Whether crc32c() runs on the processor's CRC32 instruction.
bool crc32c_hardware_available();

}  // namespace zelk
