// Fast paths against the predictors they stand for: the raster
// predictor's run at a time path against its value at a time one, which the
// decoder takes (the same residuals and contexts for every mode, row and
// width, runs starting and ending anywhere in a row); the plane predictor's
// rows against its definition; the four polynomial orders' costs in one
// pass against each order's residuals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <random>
#include <vector>

#include "sample/predictors.h"
#include "sample/sample_values.h"

namespace zelk {
namespace {

// Rows longer than the narrow loops' pieces (256 values) included, and
// values a stride apart, as channels lie; wide values anywhere in their
// range, and small ones that the 32-bit lanes take, now and then beyond
// the lanes' bound.
TEST(RasterPredictor, RunsGiveWhatValuesOneAtATimeGive) {
    std::mt19937_64 rng(21);
    for (unsigned width : {8u, 16u, 17u, 32u, 64u}) {
        for (uint64_t row : {1u, 2u, 3u, 17u, 300u, 600u}) {
            for (unsigned mode = 0; mode < RASTER_MODES; ++mode) {
                const size_t count = 9 * row + 5, stride = 1 + row % 3;
                std::vector<int64_t> values(count);
                for (size_t i = 0; i < count; ++i) {  // a ramp with noise, and values anywhere in the range
                    const uint64_t v = i % 5 == 0 ? rng() : i % row * 13 + i / row * 7 + rng() % 5;
                    const int64_t small = static_cast<int64_t>((i % row * 97 + i / row * 31) % 32800) - 16400;
                    values[i] = width != 32 ? wrap(v, width) : i / row % 4 == 3 && i % 7 == 0 ? wrap(rng(), 32) : small;
                }
                std::vector<int64_t> strided(count * stride), out(count * stride);
                std::vector<uint64_t> contexts(count * stride);
                for (size_t i = 0; i < count; ++i) strided[i * stride] = values[i];
                RasterPredictor single(mode, row, width, count), runs(mode, row, width, count);
                for (size_t done = 0; done < count;) {
                    const size_t run = std::min<size_t>(count - done, 1 + rng() % (2 * row + 3));
                    runs.residuals(&strided[done * stride], stride, run, &out[done * stride], &contexts[done * stride]);
                    done += run;
                }
                for (size_t i = 0; i < count; ++i) {
                    const int64_t prediction = single.predict();
                    ASSERT_EQ(contexts[i * stride], single.context()) << width << " " << row << " " << mode << " " << i;
                    ASSERT_EQ(out[i * stride], wrap(static_cast<uint64_t>(values[i]) - static_cast<uint64_t>(prediction), width));
                    single.push(values[i]);
                }
            }
        }
    }
}

// The decoder's stretches of interleaved channels restore what the values
// one at a time were, from the same residuals in the same contexts; those
// that stop where a run may start stop at the first flat frame, and only there.
TEST(RasterPredictor, InnerStretchesRestoreWhatValuesOneAtATimeGive) {
    std::mt19937_64 rng(22);
    for (unsigned width : {8u, 16u, 64u}) {
        for (uint64_t row : {1u, 2u, 3u, 17u}) {
            for (unsigned channels : {1u, 3u, 4u}) {
                for (bool flat_areas : {false, true}) {
                    const size_t frames = 7 * row + 2, count = frames * channels;
                    std::vector<int64_t> values(count), residuals(count);
                    std::vector<uint64_t> contexts(count);
                    for (size_t i = 0; i < count; ++i) {
                        const size_t frame = i / channels;
                        values[i] = flat_areas ? (frame % row < row / 2 ? 5 : static_cast<int64_t>(rng() % 3))
                                               : wrap(i % 4 == 0 ? rng() : frame % row * 9 + rng() % 4, width);
                    }
                    std::vector<RasterPredictor> coding(channels, RasterPredictor(0, row, width, frames));
                    for (size_t i = 0; i < count; ++i) {
                        RasterPredictor& p = coding[i % channels];
                        const int64_t prediction = p.predict();
                        contexts[i] = p.context();
                        residuals[i] = wrap(static_cast<uint64_t>(values[i]) - static_cast<uint64_t>(prediction), width);
                        p.push(values[i]);
                    }
                    for (bool until_flat : {false, true}) {
                        std::vector<RasterPredictor> decoding(channels, RasterPredictor(0, row, width, frames));
                        std::vector<RasterPredictor*> each;
                        for (RasterPredictor& p : decoding) each.push_back(&p);
                        std::vector<int64_t> restored(count);
                        for (size_t frame = 0; frame < frames;) {
                            const size_t inner = std::min<uint64_t>(frames - frame, decoding[0].inner_median_values());
                            if (inner != 0) {
                                size_t at = frame * channels;  // the calls go frame by frame, channel by channel
                                auto next = [&](unsigned c, uint64_t context) {
                                    EXPECT_EQ(c, at % channels);
                                    EXPECT_EQ(context, contexts[at]);
                                    return residuals[at++];
                                };
                                RasterPredictor** ps = each.data();
                                const size_t taken =
                                    until_flat ? RasterPredictor::restore_inner_medians<true>(ps, channels, inner, &restored[at], next)
                                               : RasterPredictor::restore_inner_medians(ps, channels, inner, &restored[at], next);
                                // The first frame of the stretch whose W, NW and NE equal N in every channel.
                                auto flat = [&](size_t f) {
                                    bool all = true;
                                    for (unsigned c = 0; c < channels; ++c) {
                                        const int64_t north = values[(f - row) * channels + c];
                                        all &= values[(f - 1) * channels + c] == north &&
                                               values[(f - row - 1) * channels + c] == north &&
                                               values[(f - row + 1) * channels + c] == north;
                                    }
                                    return all;
                                };
                                size_t expected = 0;
                                while (until_flat && expected < inner && !flat(frame + expected)) ++expected;
                                ASSERT_EQ(taken, until_flat ? expected : inner);
                                frame += taken;
                                if (taken == inner) continue;
                            }
                            for (unsigned c = 0; c < channels; ++c) {
                                const size_t at = frame * channels + c;
                                const int64_t prediction = decoding[c].predict();
                                restored[at] =
                                    wrap(static_cast<uint64_t>(residuals[at]) + static_cast<uint64_t>(prediction), width);
                                decoding[c].push(restored[at]);
                            }
                            ++frame;
                        }
                        EXPECT_EQ(restored, values) << width << " " << row << " " << channels << " " << until_flat;
                    }
                }
            }
        }
    }
}

TEST(PlanePredictor, RunsPredictAsDefinedAndRestoreTheirValues) {
    std::mt19937_64 rng(23);
    for (unsigned width : {8u, 64u}) {
        for (uint64_t row : {1u, 2u, 5u, 300u}) {
            for (unsigned mode = 0; mode < PLANE_MODES; ++mode) {
                const size_t count = 7 * row + 3;
                std::vector<int64_t> values(count), expected(count);
                for (size_t i = 0; i < count; ++i) values[i] = wrap(i % 5 == 0 ? rng() : i % row * 9 + rng() % 4, width);
                for (size_t i = 0; i < count; ++i) {  // W, N and NW by their places in the raster
                    const size_t y = i / row, x = i % row;
                    const int64_t w = x ? values[i - 1] : 0, n = y ? values[i - row] : 0;
                    const int64_t nw = x && y ? values[i - row - 1] : 0;
                    const auto plane = static_cast<uint64_t>(w) + static_cast<uint64_t>(n) - static_cast<uint64_t>(nw);
                    int64_t prediction = y == 0 ? w : x == 0 ? n : wrap(plane, width);
                    if (mode == 0 && x && y && nw >= std::max(w, n)) prediction = std::min(w, n);
                    if (mode == 0 && x && y && nw <= std::min(w, n)) prediction = std::max(w, n);
                    expected[i] = wrap(static_cast<uint64_t>(values[i]) - static_cast<uint64_t>(prediction), width);
                }
                PlanePredictor encoder(mode, row, width, count), decoder(mode, row, width, count);
                std::vector<int64_t> out(count);
                for (size_t done = 0; done < count;) {
                    const size_t run = std::min<size_t>(count - done, 1 + rng() % (2 * row + 3));
                    encoder.residuals(&values[done], 1, run, &out[done]);
                    done += run;
                }
                ASSERT_EQ(out, expected) << width << " " << row << " " << mode;
                decoder.restore(out.data(), 1, count);
                ASSERT_EQ(out, values) << width << " " << row << " " << mode;
            }
        }
    }
}

TEST(Polynomial, OrdersCostWhatTheirResidualsCost) {
    std::mt19937_64 rng(22);
    // 32-bit lanes up to 24 bits, and for wider values within +-2^19 (the
    // small ones: runs of them, and runs with one value just beyond).
    for (const auto& [width, small] : {std::pair{8u, false}, {16u, false}, {24u, false}, {25u, false}, {64u, false},
                                       {32u, true}, {64u, true}}) {
        std::vector<int64_t> values(3000);
        for (size_t i = 0; i < values.size(); ++i) values[i] = wrap(i % 7 == 0 ? rng() : i * 37 + rng() % 50, width);
        for (size_t i = 1000; i < 1010; ++i) values[i] = wrap((uint64_t{1} << (width - 1)) - i % 2, width);  // extremes
        if (small) {
            const int64_t edge = int64_t{1} << 19;
            for (size_t i = 0; i < values.size(); ++i) values[i] = i % 5 == 0 ? (i % 2 ? edge - 1 : -edge) : values[i] % edge;
            values[1500] = edge, values[2200] = -edge - 1;
            for (size_t i = 2100; i < 2110; ++i) values[i] = i % 2 ? 4 * edge : -4 * edge;  // wrap in 24 bits
        }
        std::array<uint64_t, 4> expected{};
        for (unsigned order = 0; order < 4; ++order) {
            Polynomial polynomial(order, width);
            std::vector<int64_t> residuals(values.size());
            polynomial.residuals(values.data(), 1, values.size(), residuals.data());
            for (int64_t r : residuals) expected[order] += std::bit_width(static_cast<uint64_t>(r < 0 ? ~r : r));
        }
        std::array<uint64_t, 4> bits{};
        std::array<int64_t, 3> past{};
        for (size_t done = 0; done < values.size(); done += 700) {  // in runs, the past carried over
            add_polynomial_bits(past, width, &values[done], 1, std::min<size_t>(700, values.size() - done), bits);
        }
        EXPECT_EQ(bits, expected) << width;
    }
}

}  // namespace
}  // namespace zelk
