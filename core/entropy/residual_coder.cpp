#include "entropy/residual_coder.h"

#include <algorithm>
#include <stdexcept>

namespace zelk {
namespace {

constexpr uint32_t INCREMENT = 24;
constexpr uint32_t HALVING_TOTAL = uint32_t{1} << 16;
constexpr unsigned SIGN_BITS = 12;
constexpr uint32_t SIGN_TOTAL = uint32_t{1} << SIGN_BITS, SIGN_FLOOR = 64;
constexpr unsigned SIGN_RATE = 6;

uint32_t coded_total(uint32_t total) { return total + (total >> 8); }

}  // namespace

ResidualCoder::ResidualCoder(unsigned magnitude_bits)
    : alphabet_(residual_alphabet(magnitude_bits)), group_count_((alphabet_ + GROUP - 1) / GROUP),
      counts_(RESIDUAL_CONTEXTS * size_t{alphabet_ + group_count_}, 1) {
    for (unsigned c = 0; c < RESIDUAL_CONTEXTS; ++c) {
        Context& context = contexts_[c];
        context.freq = &counts_[c * size_t{alphabet_}];
        context.groups = &counts_[RESIDUAL_CONTEXTS * size_t{alphabet_} + c * size_t{group_count_}];
        for (unsigned g = 0; g < group_count_; ++g) context.groups[g] = std::min(GROUP, alphabet_ - g * GROUP);
        context.total = alphabet_;
    }
}

void ResidualCoder::update(Context& context, unsigned symbol) {
    context.freq[symbol] += INCREMENT;
    context.groups[symbol / GROUP] += INCREMENT;
    context.total += INCREMENT;
    if (context.total > HALVING_TOTAL) {
        context.total = 0;
        std::fill_n(context.groups, group_count_, 0);
        for (unsigned s = 0; s < alphabet_; ++s) {
            uint32_t& f = context.freq[s];
            f = (f + 1) >> 1;
            context.groups[s / GROUP] += f;
            context.total += f;
        }
    }
}

// Over every group and every symbol of the symbol's group, adding under
// masks: loops that stopped at the symbol mispredicted their ends about
// once a residual.
uint32_t ResidualCoder::cumulative(const Context& context, unsigned symbol) const {
    uint32_t cum = 0;
    const unsigned group = symbol / GROUP, first = group * GROUP;
    for (unsigned g = 0; g < group_count_; ++g) {
        cum += context.groups[g] & (0 - static_cast<uint32_t>(g < group));
    }
    const unsigned members = std::min<unsigned>(GROUP, alphabet_ - first);
    for (unsigned s = 0; s < members; ++s) {
        cum += context.freq[first + s] & (0 - static_cast<uint32_t>(first + s < symbol));
    }
    return cum;
}

void ResidualCoder::adapt_sign(uint32_t& odds, bool negative) {
    if (negative) odds += (SIGN_TOTAL - odds) >> SIGN_RATE;
    else odds -= odds >> SIGN_RATE;
    odds = std::clamp(odds, SIGN_FLOOR, SIGN_TOTAL - SIGN_FLOOR);
}

void ResidualCoder::encode(RangeEncoder& coder, ResidualStream& stream, int64_t residual) {
    const uint64_t magnitude = residual < 0 ? 0 - static_cast<uint64_t>(residual) : static_cast<uint64_t>(residual);
    const unsigned symbol = symbol_of(magnitude);
    Context& context = contexts_[stream.context()];
    coder.encode(cumulative(context, symbol), context.freq[symbol], coded_total(context.total));
    update(context, symbol);
    if (const unsigned low_bits = raw_bits_of(symbol)) coder.encode_bits(magnitude & ((uint64_t{1} << low_bits) - 1), low_bits);
    if (magnitude != 0) {
        uint32_t& negative = sign_odds_[stream.sign_context(symbol)];
        const bool is_negative = residual < 0;
        coder.encode_pow2(is_negative ? 0 : negative, is_negative ? negative : SIGN_TOTAL - negative, SIGN_BITS);
        adapt_sign(negative, is_negative);
    }
    stream.adapt(magnitude, residual < 0);
}

int64_t ResidualCoder::decode(RangeDecoder& decoder, ResidualStream& stream) {
    Context& context = contexts_[stream.context()];
    decoder.start(coded_total(context.total));
    // The symbol whose frequencies' span holds the point: a group at a time, then within its group.
    const uint32_t point = decoder.point();
    if (point >= context.total) throw std::runtime_error("a residual no encoder writes");
    uint32_t cum = 0;
    unsigned group = 0;
    while (cum + context.groups[group] <= point) cum += context.groups[group++];
    unsigned symbol = group * GROUP;
    while (cum + context.freq[symbol] <= point) cum += context.freq[symbol++];
    decoder.consume(cum, context.freq[symbol]);
    update(context, symbol);
    const uint64_t magnitude = magnitude_of(symbol, decoder.decode_bits(raw_bits_of(symbol)));
    bool negative = false;
    if (magnitude != 0) {
        uint32_t& odds = sign_odds_[stream.sign_context(symbol)];
        decoder.start_pow2(SIGN_BITS);
        negative = !decoder.reaches(odds);
        decoder.consume(negative ? 0 : odds, negative ? odds : SIGN_TOTAL - odds);
        adapt_sign(odds, negative);
    }
    stream.adapt(magnitude, negative);
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace zelk
