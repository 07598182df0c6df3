#include "matrix_blob/matrix_decoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <exception>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/large_array.h"
#include "concurrency/thread_pool.h"
#include "frame/frame_format.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "matrix/cdf97_lifting.h"
#include "matrix/error_feedback.h"
#include "matrix/grid_rounding.h"
#include "matrix/sparse_line.h"
#include "matrix/wavelet_quantise.h"
#include "matrix/wavelet_subbands.h"

namespace zelk {
namespace {

[[noreturn]] void damaged(const std::string& what, size_t at) {
    throw FrameError("matrix at offset " + std::to_string(at) + ": " + what);
}

// Numbers stored least significant byte first, as this host holds them.
void from_little_endian(std::span<int64_t> numbers) {
    if constexpr (std::endian::native == std::endian::big) {
        for (int64_t& n : numbers) n = static_cast<int64_t>(__builtin_bswap64(static_cast<uint64_t>(n)));
    }
}

// A sink that refuses more than `most` bytes: into `fixed`, where the
// frames' bytes land in place, or into a vector that grows.
class BoundedSink final : public ByteSink {
public:
    explicit BoundedSink(std::span<uint8_t> fixed) : fixed_(fixed), in_place_(true), most_(fixed.size()) {}
    explicit BoundedSink(uint64_t most) : most_(most) {}
    void write(std::span<const uint8_t> data) override {
        if (data.size() > most_ - size_) throw FrameError("they hold more than " + std::to_string(most_) + " bytes");
        if (in_place_) std::copy(data.begin(), data.end(), fixed_.begin() + static_cast<ptrdiff_t>(size_));
        else grown_.insert(grown_.end(), data.begin(), data.end());
        size_ += data.size();
    }
    void write_owned(std::vector<uint8_t>&& data) override {
        if (in_place_ || size_ != 0 || data.size() > most_) return write(data);
        grown_ = std::move(data);
        size_ = grown_.size();
    }
    uint64_t size() const { return size_; }
    // What a grown sink holds as 64-bit numbers, little-endian: none where
    // that is not a whole number of them.
    std::optional<LargeArray<int64_t>> numbers() const {
        if (size_ % 8 != 0) return std::nullopt;
        LargeArray<int64_t> out(size_ / 8);
        if (size_ != 0) std::memcpy(out.data(), grown_.data(), size_);  // no pointer of an empty vector to copy from
        from_little_endian(out.span());
        return out;
    }

private:
    std::span<uint8_t> fixed_;
    bool in_place_ = false;
    uint64_t most_, size_ = 0;
    std::vector<uint8_t> grown_;
};

// Decodes a band's frames (named `what`) into `sink`: their damage, or
// anything after them, is the band's, at `at`.
void read_band_frames(ByteView frames, ByteSink& sink, const BlockCodec& codec, uint64_t memory_limit, size_t at,
                      const char* what) {
    SpanSource source(frames);
    FrameReadStats stats;
    try {
        stats = read_frames(source, &sink, codec, 0, {}, memory_limit);
    } catch (const FrameError& error) {
        damaged(std::string(what) + ": " + error.what(), at);
    }
    if (stats.trailing_data) damaged(std::string(what) + " are followed by other bytes", at);
}

std::span<uint8_t> bytes_of(std::span<int64_t> numbers) {
    return {reinterpret_cast<uint8_t*>(numbers.data()), numbers.size_bytes()};
}

// A value of `itemsize` bytes stored least significant byte first, as this host holds it, at `to`.
void copy_value(const uint8_t* from, size_t itemsize, uint8_t* to) {
    std::memcpy(to, from, itemsize);
    if constexpr (std::endian::native == std::endian::big) std::reverse(to, to + itemsize);
}

// Where a band's values are restored in float64: in place where the array
// is of float64 (and aligned for it), else in `room`.
std::span<double> restoring_into(std::span<uint8_t> out, size_t itemsize, LargeArray<double>& room) {
    const size_t count = out.size() / itemsize;
    if (itemsize == 8 && reinterpret_cast<uintptr_t>(out.data()) % alignof(double) == 0) {
        return {reinterpret_cast<double*>(out.data()), count};
    }
    room = LargeArray<double>(count);
    return room.span();
}

// The values restored, each already one of the array's type, stored in that type.
void store_values(std::span<const double> restored, size_t itemsize, std::span<uint8_t> out) {
    if (static_cast<const void*>(restored.data()) == out.data()) return;  // restored in place
    if (itemsize == 8) {
        std::memcpy(out.data(), restored.data(), restored.size_bytes());
        return;
    }
    for (size_t i = 0; i < restored.size(); ++i) {
        const auto single = static_cast<float>(restored[i]);
        std::memcpy(&out[4 * i], &single, 4);
    }
}

// Into `line`, the line that the gaps and values of `numbers` give (sparse_line.h).
void line_of(std::span<const int64_t> numbers, std::span<int64_t> line, size_t at) {
    if (numbers.size() % 2 != 0) damaged("a band holds a part of a number", at);
    if (!from_sparse(numbers, line)) damaged("a number lies outside its band", at);
}

// A band's corrections: the flat positions of the values stored exactly,
// and those values' bytes (least significant first).
struct Corrections {
    std::vector<uint64_t> positions;
    std::vector<uint8_t> values;
};

Corrections read_corrections(const MatrixBand& band, size_t itemsize, uint64_t count, const BlockCodec& codec,
                             uint64_t memory_limit) {
    const uint64_t size = band.corrections * (8 + itemsize);
    Corrections corrections;
    std::vector<uint8_t> stored(size);
    // A band without corrections may store no frame for them.
    if (!band.correction_frames.empty()) {
        BoundedSink sink(stored);
        read_band_frames(band.correction_frames, sink, codec, memory_limit, band.at, "a band's corrections");
        if (sink.size() != size) damaged("its corrections are cut short", band.at);
    } else if (size != 0) {
        damaged("its corrections are cut short", band.at);
    }
    uint64_t position = 0;
    for (uint64_t i = 0; i < band.corrections; ++i) {
        const uint64_t previous = position;
        position += load_le<uint64_t>(&stored[8 * i]);  // gaps, wrapping as they were summed
        if (position >= count || (i > 0 && position <= previous)) damaged("a correction lies outside its band", band.at);
        corrections.positions.push_back(position);
    }
    corrections.values.assign(stored.begin() + static_cast<ptrdiff_t>(8 * band.corrections), stored.end());
    return corrections;
}

void write_corrections(const Corrections& corrections, size_t itemsize, std::span<uint8_t> out) {
    for (size_t i = 0; i < corrections.positions.size(); ++i) {
        copy_value(&corrections.values[i * itemsize], itemsize, &out[corrections.positions[i] * itemsize]);
    }
}

std::vector<double> correction_values(const Corrections& corrections, size_t itemsize) {
    std::vector<double> values(corrections.positions.size());
    for (size_t i = 0; i < values.size(); ++i) {
        if (itemsize == 4) {
            values[i] = std::bit_cast<float>(load_le<uint32_t>(&corrections.values[4 * i]));
        } else {
            values[i] = std::bit_cast<double>(load_le<uint64_t>(&corrections.values[8 * i]));
        }
    }
    return values;
}

// The wavelet path: see docs/matrix-format.md.

constexpr int64_t MOST_PRODUCT = int64_t{1} << 44;  // of a quotient and its multiplier

// The non-zero detail quotients given as gaps and values (sparse_line.h)
// over the detail subbands laid end to end, each set at its place.
void scatter_details(std::span<const int64_t> numbers, std::span<const WaveletPlace> details, size_t cols,
                     std::span<int64_t> quotients, size_t at) {
    if (numbers.size() % 2 != 0) damaged("a band holds a part of a number", at);
    const size_t count = numbers.size() / 2;
    size_t band = 0, band_start = 0;  // the subband the position lies in, and where it starts in the line
    uint64_t end = 0;                 // one past the last position
    auto band_size = [&](size_t b) {
        const WaveletSubband& place = details[b].place;
        return (place.bottom - place.top) * (place.right - place.left);
    };
    for (size_t k = 0; k < count; ++k) {
        const int64_t gap = numbers[k];
        if (gap < 1) damaged("a number lies outside its band", at);
        end += static_cast<uint64_t>(gap);
        while (band < details.size() && end > band_start + band_size(band)) band_start += band_size(band++);
        if (band == details.size()) damaged("a number lies outside its band", at);
        const WaveletSubband& place = details[band].place;
        const size_t offset = end - 1 - band_start, width = place.right - place.left;
        quotients[(place.top + offset / width) * cols + place.left + offset % width] = numbers[count + k];
    }
}

// Restores a wavelet band (rows x cols) into `restored`.
void decode_wavelet(const MatrixBand& band, size_t rows, size_t cols, bool as_float32, const BlockCodec& codec,
                    uint64_t memory_limit, std::span<double> restored) {
    const auto [levels, step, frames] = read_wavelet_head(band.values, rows, cols, band.at);
    std::vector<WaveletPlace> places = wavelet_subbands(rows, cols, levels);
    const WaveletSubband& coarsest = places[0].place;
    const size_t size = rows * cols, coarse_rows = coarsest.bottom, coarse_cols = coarsest.right;
    const size_t coarse = coarse_rows * coarse_cols;
    const bool every = band.path == MatrixPath::WaveletLine;
    BoundedSink sink(8 * (every ? size : 2 * size - coarse));
    read_band_frames(frames, sink, codec, memory_limit, band.at, "a band's values");
    const std::optional<LargeArray<int64_t>> numbers = sink.numbers();
    if (!numbers) damaged("a wavelet band holds a part of a number", band.at);
    if (numbers->size() < coarse || (every && numbers->size() != size)) {
        damaged("a wavelet band holds too few coefficients", band.at);
    }
    const std::span<const int64_t> rest = numbers->span().subspan(coarse);
    LargeArray<int64_t> quotients(size);  // every place is some subband's, set below
    // The coarsest band's differences in two dimensions, summed down each column, then along each row (wrapping).
    for (size_t i = 0; i < coarse_rows; ++i) {
        for (size_t j = 0; j < coarse_cols; ++j) {
            uint64_t value = static_cast<uint64_t>((*numbers)[i * coarse_cols + j]);
            if (i > 0) value += static_cast<uint64_t>(quotients[(i - 1) * cols + j]);
            quotients[i * cols + j] = static_cast<int64_t>(value);
        }
    }
    for (size_t i = 0; i < coarse_rows; ++i) {
        for (size_t j = 1; j < coarse_cols; ++j) {
            quotients[i * cols + j] = static_cast<int64_t>(static_cast<uint64_t>(quotients[i * cols + j]) +
                                                           static_cast<uint64_t>(quotients[i * cols + j - 1]));
        }
    }
    // The details, subband after subband: every one stored, or the gaps
    // between the non-zero ones and those, set where they fall.
    const std::span<const WaveletPlace> details = std::span<const WaveletPlace>(places).subspan(1);
    size_t next = 0;
    for (const WaveletPlace& place : details) {
        const auto& [top, bottom, left, right, multiplier] = place.place;
        for (size_t i = top; i < bottom; ++i) {
            int64_t* row = &quotients[i * cols];
            if (every) std::copy_n(rest.begin() + static_cast<ptrdiff_t>(next), right - left, row + left);
            else std::fill(row + left, row + right, 0);
            next += right - left;
        }
    }
    if (!every) scatter_details(rest, details, cols, quotients.span(), band.at);
    WaveletNorms(levels).set_multipliers(places, step);
    std::vector<WaveletSubband> table;
    for (const WaveletPlace& place : places) {
        const int64_t most = MOST_PRODUCT / place.place.multiplier;
        for (size_t i = place.place.top; i < place.place.bottom; ++i) {
            for (size_t j = place.place.left; j < place.place.right; ++j) {
                const int64_t q = quotients[i * cols + j];
                if (q > most || q < -most) damaged("a wavelet coefficient too large for any band", band.at);
            }
        }
        table.push_back(place.place);
    }
    restore_wavelet_in_place(quotients.span(), rows, cols, levels, table, band.step, as_float32, restored);
}

// Restores one band into `out`, its bytes in the array.
void decode_band(const MatrixLayout& layout, const MatrixBand& band, const BlockCodec& codec, uint64_t memory_limit,
                 std::span<uint8_t> out) {
    const size_t itemsize = layout.summary.itemsize();
    const bool as_float32 = itemsize == 4;
    std::vector<size_t> shape(layout.coded_shape.begin(), layout.coded_shape.end());
    shape[0] = band.units;
    const uint64_t count = out.size() / itemsize;
    auto whole = [&](std::span<uint8_t> into) {
        BoundedSink sink(into);
        read_band_frames(band.values, sink, codec, memory_limit, band.at, "a band's values");
        if (sink.size() != into.size()) damaged("a band holds too few values", band.at);
    };
    if (band.path == MatrixPath::Exact) {
        whole(out);
        if constexpr (std::endian::native == std::endian::big) {
            for (size_t i = 0; i < count; ++i) std::reverse(&out[i * itemsize], &out[(i + 1) * itemsize]);
        }
        write_corrections(read_corrections(band, itemsize, count, codec, memory_limit), itemsize, out);
        return;
    }
    LargeArray<double> room(0);
    const std::span<double> restored = restoring_into(out, itemsize, room);
    if (band.path == MatrixPath::Wavelet || band.path == MatrixPath::WaveletLine) {
        if (shape.size() != 2) damaged("a wavelet band of another number of levels", band.at);
        decode_wavelet(band, shape[0], shape[1], as_float32, codec, memory_limit, restored);
        store_values(restored, itemsize, out);
        write_corrections(read_corrections(band, itemsize, count, codec, memory_limit), itemsize, out);
        return;
    }
    LargeArray<int64_t> quotients(count);
    if (band.path == MatrixPath::Levelled || band.path == MatrixPath::LevelledLine) {
        LargeArray<int64_t> line(count);
        if (band.path == MatrixPath::Levelled) {
            BoundedSink sink(16 * count);
            read_band_frames(band.values, sink, codec, memory_limit, band.at, "a band's values");
            const std::optional<LargeArray<int64_t>> numbers = sink.numbers();
            if (!numbers) damaged("a band's quotients are cut short", band.at);
            line_of(numbers->span(), line.span(), band.at);
        } else {
            whole(bytes_of(line.span()));
            from_little_endian(line.span());
        }
        from_visit_order(line.span(), shape, quotients.span());
    } else {
        whole(bytes_of(quotients.span()));
        from_little_endian(quotients.span());
    }
    const Corrections corrections = read_corrections(band, itemsize, count, codec, memory_limit);
    if (band.path == MatrixPath::Grid) {
        grid_decode(quotients.span(), band.step, as_float32, restored);
        store_values(restored, itemsize, out);
        write_corrections(corrections, itemsize, out);
        return;
    }
    const FeedbackPredictor predictor = band.path == MatrixPath::Lorenzo ? FeedbackPredictor::Lorenzo
                                        : layout.summary.version >= 3    ? FeedbackPredictor::EdgeFittedInterpolation
                                                                         : FeedbackPredictor::Interpolation;
    const bool levelled = band.path == MatrixPath::Levelled || band.path == MatrixPath::LevelledLine;
    const FeedbackGrid grid{shape, band.step, predictor, levelled, as_float32};
    feedback_decode(quotients.span(), grid, corrections.positions, correction_values(corrections, itemsize), restored);
    store_values(restored, itemsize, out);
}

}  // namespace

void decode_matrix_bands(const MatrixLayout& layout, const BlockCodec& codec, unsigned threads,
                         uint64_t memory_limit, std::span<uint8_t> out) {
    if (out.size() != layout.summary.value_bytes()) {
        throw std::invalid_argument("the array takes " + std::to_string(out.size()) + " bytes, not " +
                                    std::to_string(layout.summary.value_bytes()));
    }
    uint64_t unit = layout.summary.itemsize();
    for (size_t i = 1; i < layout.coded_shape.size(); ++i) unit *= layout.coded_shape[i];
    const size_t bands = layout.bands.size();
    ThreadPool pool(threads > 1 && bands > 1 ? std::min<unsigned>(threads, static_cast<unsigned>(std::min<size_t>(bands, 1024))) : 0);
    std::vector<std::future<void>> done;
    uint64_t at = 0;
    for (const MatrixBand& band : layout.bands) {
        const std::span<uint8_t> part = out.subspan(at, band.units * unit);
        at += part.size();
        done.push_back(pool.submit([&, part] { decode_band(layout, band, codec, memory_limit, part); }));
    }
    // Every band finishes before the first failure, in band order, is thrown.
    std::exception_ptr failure;
    for (std::future<void>& band : done) {
        try {
            band.get();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

}  // namespace zelk
