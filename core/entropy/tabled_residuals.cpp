#include "entropy/tabled_residuals.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <stdexcept>

namespace zelk {
namespace {

constexpr uint32_t MOST = RANS_TOTAL - 16;  // the largest frequency of a symbol or sign
constexpr unsigned COUNT_BITS = 8, SIGN_ODDS_BITS = 12;
constexpr unsigned MOST_GAMMA_ZEROS = 12;  // 4081 has 13 bits

// `counts` scaled to frequencies of total RANS_TOTAL, each counted symbol
// at least 1 and none above MOST; the largest move when the rounded sum is off.
std::vector<uint32_t> scaled(const uint32_t* counts, unsigned alphabet) {
    const uint64_t total = std::accumulate(counts, counts + alphabet, uint64_t{0});
    std::vector<uint32_t> freq(alphabet, 0);
    for (unsigned s = 0; s < alphabet; ++s) {
        if (counts[s] == 0) continue;
        const uint64_t share = (uint64_t{counts[s]} * RANS_TOTAL + total / 2) / total;
        freq[s] = static_cast<uint32_t>(std::clamp<uint64_t>(share, 1, MOST));
    }
    int64_t excess = int64_t{std::accumulate(freq.begin(), freq.end(), uint32_t{0})} - RANS_TOTAL;
    while (excess != 0) {
        // A symbol counted alone leaves the rest to a symbol never seen.
        auto movable = [excess](uint32_t f) { return excess > 0 ? f > 1 : f < MOST; };
        unsigned largest = alphabet;
        for (unsigned s = 0; s < alphabet; ++s) {
            if (movable(freq[s]) && (largest == alphabet || freq[s] > freq[largest])) largest = s;
        }
        const int64_t room = excess > 0 ? int64_t{freq[largest]} - 1 : int64_t{MOST} - freq[largest];
        const int64_t step = std::min(room, excess > 0 ? excess : -excess);
        freq[largest] = static_cast<uint32_t>(excess > 0 ? freq[largest] - step : freq[largest] + step);
        excess += excess > 0 ? -step : step;
    }
    return freq;
}

// Elias gamma: n - 1 zero bits, a one bit, then the n - 1 bits of `value`
// below its top bit, n its bit count.
void put_gamma(BitWriter& writer, uint32_t value) {
    const auto below = static_cast<unsigned>(std::bit_width(value)) - 1;
    writer.put(uint64_t{1} << below, below + 1);
    writer.put(value, below);
}

std::optional<uint32_t> get_gamma(BitReader& reader) {
    unsigned below = 0;
    while (reader.get(1) == 0) {
        if (++below > MOST_GAMMA_ZEROS) return std::nullopt;
    }
    return static_cast<uint32_t>((uint64_t{1} << below) | reader.get(below));
}

// log2(1 + i / 1024) in 16.16 fixed point, i < 1024, by repeated squaring
// in integers: the same on every machine.
constexpr std::array<uint32_t, 1024> LOG2_FRACTIONS = [] {
    std::array<uint32_t, 1024> table{};
    for (uint64_t i = 0; i < 1024; ++i) {
        uint64_t y = (1024 + i) << 20;  // in [1, 2) with 30 fraction bits
        uint32_t fraction = 0;
        for (int bit = 15; bit >= 0; --bit) {
            y = (y * y) >> 30;
            if (y >= uint64_t{2} << 30) {
                y >>= 1;
                fraction |= uint32_t{1} << bit;
            }
        }
        table[i] = fraction;
    }
    return table;
}();

// n log2 n in 16.16 fixed point (0 for n = 0).
uint64_t weighted_log2(uint64_t n) {
    if (n == 0) return 0;
    const unsigned top = 63 - static_cast<unsigned>(std::countl_zero(n));
    const uint64_t mantissa = top >= 10 ? (n >> (top - 10)) & 1023 : (n << (10 - top)) & 1023;
    return n * ((uint64_t{top} << 16) + LOG2_FRACTIONS[mantissa]);
}

// The bits, in 16.16, of coding these counts with their own frequencies.
uint64_t entropy_bits(const uint32_t* counts, size_t n) {
    uint64_t total = 0, sum = 0;
    for (size_t i = 0; i < n; ++i) {
        total += counts[i];
        sum += weighted_log2(counts[i]);
    }
    return weighted_log2(total) - sum;
}

}  // namespace

TabledResidualWriter::TabledResidualWriter(unsigned magnitude_bits, bool estimates, size_t expected)
    : alphabet_(residual_alphabet(magnitude_bits)), estimates_(estimates), counts_(RESIDUAL_CONTEXTS * alphabet_, 0) {
    if (!estimates_) coded_.reserve(expected);
}

size_t TabledResidualWriter::finish(std::vector<uint8_t>& out) {
    if (estimates_) throw std::logic_error("a writer that estimates has nothing to finish");
    raw_writer_.finish();
    const size_t start = out.size();
    // The tables, and every symbol's place in them for the coder.
    std::vector<std::vector<uint32_t>> freq(RESIDUAL_CONTEXTS);
    std::vector<RansEncoder::Symbol> symbols(RESIDUAL_CONTEXTS * alphabet_);  // by context, then symbol
    BitWriter tables(out);
    for (unsigned c = 0; c < RESIDUAL_CONTEXTS; ++c) {
        const uint32_t* counts = &counts_[c * alphabet_];
        const bool used = std::any_of(counts, counts + alphabet_, [](uint32_t n) { return n != 0; });
        tables.put(used, 1);
        if (used) freq[c] = scaled(counts, alphabet_);
    }
    for (unsigned c = 0; c < RESIDUAL_CONTEXTS; ++c) {
        if (freq[c].empty()) continue;
        const auto listed = static_cast<unsigned>(freq[c].rend() - std::find_if(freq[c].rbegin(), freq[c].rend(), [](uint32_t f) { return f != 0; }));
        tables.put(listed - 1, COUNT_BITS);
        for (unsigned s = 0, sum = 0; s < alphabet_; sum += freq[c][s++]) {
            if (freq[c][s] != 0) symbols[c * alphabet_ + s] = RansEncoder::symbol(sum, freq[c][s]);
            if (s < listed) put_gamma(tables, freq[c][s] + 1);
        }
    }
    std::array<std::array<RansEncoder::Symbol, 2>, SIGN_CONTEXTS> signs;  // positive, negative
    for (unsigned s = 0; s < SIGN_CONTEXTS; ++s) {
        const uint64_t total = signs_[s][0] + signs_[s][1];
        const uint64_t share = total == 0 ? RANS_TOTAL / 2 : (signs_[s][1] * RANS_TOTAL + total / 2) / total;
        const auto odds = static_cast<uint32_t>(std::clamp<uint64_t>(share, RANS_TOTAL - MOST, MOST));
        signs[s] = {RansEncoder::symbol(odds, RANS_TOTAL - odds), RansEncoder::symbol(0, odds)};
        tables.put(odds, SIGN_ODDS_BITS);
    }
    tables.finish();
    const size_t table_bytes = out.size() - start;

    // Last first, and a residual's sign before its symbol, so the decoder
    // reads them in order.
    RansEncoder rans;
    for (size_t i = coded_.size(); i-- > 0;) {
        const uint32_t sign = coded_[i] >> 16;
        if (sign != 0) rans.encode(signs[(sign - 1) >> 1][(sign - 1) & 1]);
        rans.encode(symbols[coded_[i] & 0xFFFF]);
    }
    const size_t length_at = out.size();
    out.resize(length_at + 4);
    rans.finish(out);
    store_le(&out[length_at], static_cast<uint32_t>(out.size() - length_at - 4));
    out.insert(out.end(), raw_.begin(), raw_.end());
    return table_bytes;
}

uint64_t TabledResidualWriter::estimated_size() const {
    uint64_t bits = raw_bits_ << 16;
    for (uint64_t used = used_; used != 0; used &= used - 1) {
        const auto c = static_cast<unsigned>(std::countr_zero(used));
        bits += entropy_bits(&counts_[c * alphabet_], alphabet_);
    }
    for (const auto& signs : signs_) {
        const std::array<uint32_t, 2> counts{static_cast<uint32_t>(signs[0]), static_cast<uint32_t>(signs[1])};
        bits += entropy_bits(counts.data(), 2);
    }
    return (bits >> 16) / 8;
}

std::optional<TabledResidualReader> TabledResidualReader::open(ByteView bytes, unsigned magnitude_bits) {
    const unsigned alphabet = residual_alphabet(magnitude_bits);
    BitReader bits(bytes);
    const uint64_t used = bits.get(RESIDUAL_CONTEXTS);
    KeptVector<Table> storage(static_cast<size_t>(std::popcount(used)));
    std::array<const Table*, RESIDUAL_CONTEXTS> tables{};
    for (unsigned c = 0, next = 0; c < RESIDUAL_CONTEXTS; ++c) {
        if (((used >> c) & 1) == 0) continue;
        Table& table = storage[next++];
        const auto listed = static_cast<unsigned>(bits.get(COUNT_BITS)) + 1;
        if (listed > alphabet) return std::nullopt;
        uint32_t sum = 0;
        table.freq.fill(0);
        for (unsigned s = 0; s < listed; ++s) {
            const auto coded = get_gamma(bits);
            if (!coded || *coded - 1 > MOST || sum + *coded - 1 > RANS_TOTAL) return std::nullopt;
            table.freq[s] = static_cast<uint16_t>(*coded - 1);
            table.cum[s] = static_cast<uint16_t>(sum);
            std::fill_n(table.symbol_at.begin() + sum, *coded - 1, static_cast<uint8_t>(s));
            sum += *coded - 1;
        }
        if (sum != RANS_TOTAL) return std::nullopt;
        tables[c] = &table;
    }
    std::array<uint32_t, SIGN_CONTEXTS> negative_odds;
    for (uint32_t& odds : negative_odds) {
        odds = static_cast<uint32_t>(bits.get(SIGN_ODDS_BITS));
        if (odds < RANS_TOTAL - MOST || odds > MOST) return std::nullopt;
    }
    const uint64_t at = bits.bytes_read();
    if (bits.overrun() || bytes.size() - at < 4) return std::nullopt;
    const uint32_t length = load_le<uint32_t>(&bytes[at]);
    if (length < 4 || bytes.size() - at - 4 < length) return std::nullopt;
    TabledResidualReader reader(bytes.subspan(at + 4, length), bytes.subspan(at + 4 + length));
    reader.storage_ = std::move(storage);  // the tables stay where `tables` points
    reader.tables_ = tables;
    reader.negative_odds_ = negative_odds;
    return reader;
}

void TabledResidualReader::throw_untabled() { throw std::runtime_error("a residual in a context with no table"); }

}  // namespace zelk
