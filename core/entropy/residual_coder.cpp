#include "entropy/residual_coder.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace zelk {
namespace {

constexpr uint32_t INCREMENT = 24;
constexpr uint32_t HALVING_TOTAL = uint32_t{1} << 16;
constexpr unsigned DIRECT = 16;  // magnitudes below this are symbols of their own
constexpr unsigned SIGN_BITS = 12;
constexpr uint32_t SIGN_TOTAL = uint32_t{1} << SIGN_BITS, SIGN_FLOOR = 64;
constexpr unsigned SIGN_RATE = 6;

uint32_t coded_total(uint32_t total) { return total + (total >> 8); }

unsigned symbol_of(uint64_t magnitude) {
    if (magnitude < DIRECT) return static_cast<unsigned>(magnitude);
    const unsigned e = 63 - static_cast<unsigned>(std::countl_zero(magnitude));
    return DIRECT + 4 * (e - 4) + static_cast<unsigned>((magnitude >> (e - 2)) & 3);
}

}  // namespace

ResidualCoder::ResidualCoder(unsigned magnitude_bits) {
    const unsigned top = std::clamp(magnitude_bits, 5u, 64u) - 1;  // the largest exponent
    alphabet_ = DIRECT + 4 * (top - 3);
    for (Context& context : contexts_) {
        context.freq.assign(alphabet_, 1);
        context.total = alphabet_;
    }
}

ResidualCoder::Context& ResidualCoder::context_of(const ResidualStream& stream) {
    const uint64_t mean = stream.mean16;
    if (mean < 2) return contexts_[mean];
    const unsigned e = 63 - static_cast<unsigned>(std::countl_zero(mean));
    const unsigned half_octave = 2 * e + static_cast<unsigned>((mean >> (e - 1)) & 1);
    return contexts_[std::min(half_octave, CONTEXTS - 1)];
}

void ResidualCoder::update(Context& context, unsigned symbol) {
    context.freq[symbol] += INCREMENT;
    context.total += INCREMENT;
    if (context.total > HALVING_TOTAL) {
        context.total = 0;
        for (uint32_t& f : context.freq) {
            f = (f + 1) >> 1;
            context.total += f;
        }
    }
}

void ResidualCoder::adapt_sign(uint32_t& odds, bool negative) {
    if (negative) odds += (SIGN_TOTAL - odds) >> SIGN_RATE;
    else odds -= odds >> SIGN_RATE;
    odds = std::clamp(odds, SIGN_FLOOR, SIGN_TOTAL - SIGN_FLOOR);
}

void ResidualCoder::adapt(ResidualStream& stream, uint64_t magnitude) {
    stream.mean16 += std::min<uint64_t>(magnitude, uint64_t{1} << 56) - (stream.mean16 >> 4);
}

void ResidualCoder::encode(RangeEncoder& coder, ResidualStream& stream, int64_t residual) {
    const uint64_t magnitude = residual < 0 ? 0 - static_cast<uint64_t>(residual) : static_cast<uint64_t>(residual);
    const unsigned symbol = symbol_of(magnitude);
    Context& context = context_of(stream);
    const uint32_t* freq = context.freq.data();
    uint32_t cum = 0;
    for (unsigned s = 0; s < symbol; ++s) cum += freq[s];
    coder.encode(cum, freq[symbol], coded_total(context.total));
    update(context, symbol);
    if (symbol >= DIRECT) {
        const unsigned low_bits = (symbol - DIRECT) / 4 + 2;
        coder.encode_bits(magnitude & ((uint64_t{1} << low_bits) - 1), low_bits);
    }
    if (magnitude != 0) {
        uint32_t& negative = sign_odds_[stream.last_sign * 2 + (symbol < 4)];
        const bool is_negative = residual < 0;
        coder.encode_pow2(is_negative ? 0 : negative, is_negative ? negative : SIGN_TOTAL - negative, SIGN_BITS);
        adapt_sign(negative, is_negative);
    }
    stream.last_sign = magnitude == 0 ? 0 : residual < 0 ? 1 : 2;
    adapt(stream, magnitude);
}

int64_t ResidualCoder::decode(RangeDecoder& decoder, ResidualStream& stream) {
    Context& context = context_of(stream);
    decoder.start(coded_total(context.total));
    const uint32_t* freq = context.freq.data();
    const unsigned alphabet = alphabet_;
    unsigned symbol = 0;
    uint32_t cum = 0;
    while (symbol < alphabet && decoder.reaches(cum + freq[symbol])) cum += freq[symbol++];
    if (symbol == alphabet) throw std::runtime_error("a residual no encoder writes");
    decoder.consume(cum, freq[symbol]);
    update(context, symbol);
    uint64_t magnitude = symbol;
    if (symbol >= DIRECT) {
        const unsigned e = (symbol - DIRECT) / 4 + 4;
        const uint64_t top = (uint64_t{4} | ((symbol - DIRECT) & 3)) << (e - 2);
        magnitude = top | decoder.decode_bits(e - 2);
    }
    bool negative = false;
    if (magnitude != 0) {
        uint32_t& odds = sign_odds_[stream.last_sign * 2 + (symbol < 4)];
        decoder.start_pow2(SIGN_BITS);
        negative = !decoder.reaches(odds);
        decoder.consume(negative ? 0 : odds, negative ? odds : SIGN_TOTAL - odds);
        adapt_sign(odds, negative);
    }
    stream.last_sign = magnitude == 0 ? 0 : negative ? 1 : 2;
    adapt(stream, magnitude);
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace zelk
