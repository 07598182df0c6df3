// zelk.matrix's prediction with error feedback (interpolation, fitted to
// the edges or not, levelled or not, and Lorenzo) on arbitrary values,
// shapes, steps and bounds, and its restore on arbitrary quotients. Checks:
//   - the encoder's exact places are increasing, inside the array, and have
//     quotient 0; with a bound, every finite value's error is within it (a
//     NaN or infinite value, taken exactly, is NaN away from itself);
//   - the decoder, given the quotients and the values at those places,
//     restores values whose distance from the originals is exactly the
//     error the encoder reported, bit for bit;
//   - any quotients at all restore without a fault, and an exact place
//     outside the array is refused with std::invalid_argument.
//
// Input layout: byte 0 = rank (1..3) and flags (bit 2: Lorenzo, bit 3:
// levelled, bit 4: float32, bit 5: a bound, bit 6: fitted to the edges), bytes 1..3 = dimensions (0..9),
// bytes 4..5 = the step exponent and mantissa, then 8-byte values (raw
// doubles, NaN and infinities included), wrapping; the same bytes again as
// the hostile quotients.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "matrix/error_feedback.h"

using namespace zelk;

namespace {

uint64_t word_at(const uint8_t* data, size_t size, size_t i) {
    uint64_t word = 0;
    for (size_t b = 0; b < 8; ++b) word |= uint64_t{data[(8 * i + b) % size]} << (8 * b);
    return word;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const std::vector<size_t> shape(data + 1, data + 1 + data[0] % 3 + 1);
    std::vector<size_t> dims;
    size_t count = 1;
    for (size_t n : shape) dims.push_back(n % 10), count *= n % 10;
    const double step = std::ldexp(1.0 + data[5] / 256.0, data[4] % 40 - 30);
    const FeedbackPredictor predictor = data[0] & 4    ? FeedbackPredictor::Lorenzo
                                        : data[0] & 64 ? FeedbackPredictor::EdgeFittedInterpolation
                                                       : FeedbackPredictor::Interpolation;
    const FeedbackGrid grid{dims, step, predictor, (data[0] & 8) != 0, (data[0] & 16) != 0};
    const std::optional<double> bound = data[0] & 32 ? std::optional<double>(step * (data[5] % 4 + 1) / 4) : std::nullopt;
    const uint8_t* body = data + 6;
    const size_t body_size = size - 6;

    std::vector<double> values(count);
    for (size_t i = 0; i < count; ++i) {
        double v;
        const uint64_t word = word_at(body, body_size, i);
        std::memcpy(&v, &word, sizeof v);
        values[i] = grid.as_float32 ? static_cast<double>(static_cast<float>(v)) : v;
    }
    std::vector<int64_t> quotients(count);
    std::vector<double> errors(count), restored(count);
    const std::vector<uint64_t> exact = feedback_encode(values, grid, bound, quotients, errors);
    std::vector<double> exact_values;
    for (size_t k = 0; k < exact.size(); ++k) {
        if (exact[k] >= count || (k > 0 && exact[k] <= exact[k - 1]) || quotients[exact[k]] != 0) std::abort();
        exact_values.push_back(values[exact[k]]);
    }
    for (size_t i = 0; i < count; ++i) {
        if (bound && !(errors[i] <= *bound) && std::isfinite(values[i])) std::abort();
    }
    feedback_decode(quotients, grid, exact, exact_values, restored);
    for (size_t i = 0; i < count; ++i) {
        if (!same_bits(std::fabs(restored[i] - values[i]), errors[i])) std::abort();
    }

    // Hostile quotients, and an exact place past the end.
    for (size_t i = 0; i < count; ++i) quotients[i] = static_cast<int64_t>(word_at(body, body_size, i + 1));
    feedback_decode(quotients, grid, exact, exact_values, restored);
    const std::vector<uint64_t> outside{count};
    const std::vector<double> one{0.0};
    try {
        feedback_decode(quotients, grid, outside, one, restored);
        std::abort();
    } catch (const std::invalid_argument&) {
    }
    return 0;
}
