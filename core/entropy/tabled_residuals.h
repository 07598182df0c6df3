// Residuals coded by rANS (rans_coder.h) with frequency tables made for the
// block, as residual_symbols.h makes them symbols: the encoder counts every
// context's symbols and every sign context's signs over the whole block,
// scales the counts to totals of 2^12 and stores them, so the decoder looks
// a symbol up rather than searching adapting frequencies. Several times as
// fast as the adaptive range coder both ways for a few tenths of a percent
// more bytes on long blocks.
//
// Stored bytes:
//   the tables, bit-packed from each byte's least significant bit, zero
//   padded to a byte:
//     48 bits, whether each context has a table;
//     for each that has, 8 bits n - 1 and then the frequencies of symbols
//     0 to n - 1 (n at most the alphabet), each f as the Elias gamma code of
//     f + 1 (the bits below its top bit after as many zeros as there are of
//     them, then the top bit); they sum to 2^12 and none is above 4080;
//     six 12-bit frequencies of a negative sign, one per sign context, each
//     16 to 4080;
//   4 bytes, the length S of the rANS stream;
//   the rANS stream of S bytes: each residual's symbol, then, if its
//     magnitude is not 0, its sign;
//   the raw bits of every residual in order, packed as Rice codes' bits.
//
// No frequency above 4080 of 4096 makes every symbol cost at least
// log2(1 + 16/4096 * 15/16) bits: L bytes hold at most
// max_tabled_residuals(L) residuals.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "base/kept_buffers.h"
#include "entropy/rans_coder.h"
#include "entropy/residual_symbols.h"
#include "entropy/rice_coder.h"

namespace zelk {

constexpr uint64_t max_tabled_residuals(uint64_t bytes) { return (bytes + 2) * 1520; }

class TabledResidualWriter {
public:
    // `magnitude_bits`: every magnitude coded is below 2^magnitude_bits.
    // A writer that only `estimates` keeps counts alone: it has no finish().
    // `expected`: about how many residuals it will be given, for which it
    // makes room at once.
    explicit TabledResidualWriter(unsigned magnitude_bits, bool estimates = false, size_t expected = 0);

    // Inline: it is called once a residual.
    void add(ResidualStream& stream, int64_t residual) {
        const bool negative = residual < 0;
        const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(residual) : static_cast<uint64_t>(residual);
        const unsigned symbol = symbol_of(magnitude), context = stream.context();
        const unsigned slot = context * alphabet_ + symbol;
        ++counts_[slot];
        used_ |= uint64_t{1} << context;
        const unsigned low_bits = raw_bits_of(symbol);
        raw_bits_ += low_bits;
        unsigned sign = 0;
        if (magnitude != 0) {
            const unsigned sign_context = stream.sign_context(symbol);
            ++signs_[sign_context][negative];
            sign = 1 + 2 * sign_context + negative;
        }
        if (!estimates_) {
            if (low_bits != 0) raw_writer_.put_wide(magnitude, low_bits);
            coded_.push_back(slot | sign << 16);
        }
        stream.adapt(magnitude, negative);
    }
    // Appends the coded residuals to `out`; the writer is done. Returns
    // how many of the bytes are the tables.
    size_t finish(std::vector<uint8_t>& out);
    // Instead of finish(): about how many bytes the residuals added take
    // without their tables, from their counts (their empirical entropy in
    // each context, the raw bits and the signs'), in integer arithmetic.
    // A trial's measure, several times as fast as coding them.
    uint64_t estimated_size() const;

private:
    unsigned alphabet_;
    bool estimates_;
    // Each residual as coded: its symbol's place in counts_ in the low 16
    // bits; above them 0 for a zero, else 1 + 2 * sign context + (negative).
    // Words rather than bytes: a byte's store may alias any member, which
    // the compiler would then load again for the next residual.
    KeptVector<uint32_t> coded_;
    static_assert(RESIDUAL_CONTEXTS * 256 <= 1 << 16);
    std::vector<uint32_t> counts_;  // by context, then symbol
    uint64_t used_ = 0;             // bit c: context c has a count
    static_assert(RESIDUAL_CONTEXTS <= 64);
    std::array<std::array<uint64_t, 2>, SIGN_CONTEXTS> signs_{};  // positive, negative
    std::vector<uint8_t> raw_;
    BitWriter raw_writer_{raw_};
    uint64_t raw_bits_ = 0;
};

class TabledResidualReader {
public:
    // The reader of `bytes`, or nullopt when its tables are damaged.
    static std::optional<TabledResidualReader> open(ByteView bytes, unsigned magnitude_bits);

    // Throws std::runtime_error for a symbol in a context with no table.
    int64_t next(ResidualStream& stream) { return read<true>(stream, stream.context()); }
    // As next(), for a stream whose mean is given before every residual (`mean16`, not kept): only its last
    // sign adapts.
    int64_t next_placed(ResidualStream& stream, uint64_t mean16) {
        return read<false>(stream, ResidualStream::context_of(mean16));
    }
    // Whether every residual taken came from the stored bytes and the
    // streams ended where they should.
    bool ended_cleanly() const { return rans_.ended_cleanly() && !raw_.overrun(); }

private:
    template <bool AdaptsMean>
    int64_t read(ResidualStream& stream, unsigned context) {
        const Table* table = tables_[context];
        if (table == nullptr) throw_untabled();
        const unsigned symbol = table->symbol_at[rans_.slot()];
        rans_.consume(table->cum[symbol], table->freq[symbol]);
        const SymbolShape shape = SYMBOL_SHAPES[symbol];
        const uint64_t magnitude = shape.magnitude | raw_.get_wide(shape.raw_bits);
        // A zero's sign taken as certainly positive, frequency 2^12 at 0,
        // leaves the state as it was; no branch on it, nor on the sign.
        const uint32_t odds = magnitude == 0 ? 0 : negative_odds_[stream.sign_context(symbol)];
        const bool negative = rans_.slot() < odds;
        const uint32_t negative_mask = 0 - static_cast<uint32_t>(negative);
        rans_.consume(odds & ~negative_mask, (odds & negative_mask) | ((RANS_TOTAL - odds) & ~negative_mask));
        if constexpr (AdaptsMean) stream.adapt(magnitude, negative);
        else stream.adapt_sign(magnitude, negative);
        const uint64_t sign = 0 - static_cast<uint64_t>(negative);
        return static_cast<int64_t>((magnitude ^ sign) - sign);
    }

    struct Table {
        std::array<uint8_t, RANS_TOTAL> symbol_at;
        std::array<uint16_t, 256> freq, cum;
    };

    TabledResidualReader(ByteView rans, ByteView raw) : rans_(rans), raw_(raw) {}
    [[noreturn]] static void throw_untabled();

    KeptVector<Table> storage_;
    std::array<const Table*, RESIDUAL_CONTEXTS> tables_{};
    std::array<uint32_t, SIGN_CONTEXTS> negative_odds_{};
    RansDecoder rans_;
    BitReader raw_;
};

}  // namespace zelk
