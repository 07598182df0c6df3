#include "matrix_blob/matrix_blob_writer.h"

#include <algorithm>
#include <bit>

#include "frame/crc32c.h"
#include "sample/sample_layout.h"

namespace zelk {
namespace {

void put_f64(std::vector<uint8_t>& out, double value) {
    const size_t at = out.size();
    out.resize(at + 8);
    store_le(&out[at], std::bit_cast<uint64_t>(value));
}

// The CRC-32C of the bytes from `start` on, after them.
void seal(std::vector<uint8_t>& out, size_t start) {
    const uint32_t crc = crc32c(std::span(out).subspan(start));
    const size_t at = out.size();
    out.resize(at + 4);
    store_le(&out[at], crc);
}

}  // namespace

std::vector<uint8_t> write_matrix_header(const MatrixHeaderFields& header) {
    std::vector<uint8_t> out;
    out.reserve(64 + 10 * header.shape.size());
    for (uint8_t byte : MATRIX_MAGIC) out.push_back(byte);
    for (uint8_t byte : {MATRIX_VERSION, header.dtype, static_cast<uint8_t>(header.shape.size()), header.bound}) {
        out.push_back(byte);
    }
    for (double field : {header.requested, header.max_error, header.rmse, header.value_range}) put_f64(out, field);
    write_varint(header.corrections, out);
    put_f64(out, header.largest_step);
    write_varint(header.units, out);
    for (uint64_t dimension : header.shape) write_varint(dimension, out);
    seal(out, 0);
    return out;
}

std::vector<uint8_t> write_matrix_band(MatrixPath path, double step, uint64_t corrections, ByteView values,
                                       ByteView correction_frames) {
    std::vector<uint8_t> out{static_cast<uint8_t>(path)};
    put_f64(out, step);
    write_varint(corrections, out);
    write_varint(values.size(), out);
    write_varint(correction_frames.size(), out);
    seal(out, 0);
    out.reserve(out.size() + values.size() + correction_frames.size());
    out.insert(out.end(), values.begin(), values.end());
    out.insert(out.end(), correction_frames.begin(), correction_frames.end());
    return out;
}

}  // namespace zelk
