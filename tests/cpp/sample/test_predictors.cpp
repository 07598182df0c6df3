// The raster predictor's run at a time path against its value at a time
// one, which the decoder takes: the same residuals and contexts for every
// mode, row and width, runs starting and ending anywhere in a row.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "sample/predictors.h"
#include "sample/sample_values.h"

namespace zelk {
namespace {

TEST(RasterPredictor, RunsGiveWhatValuesOneAtATimeGive) {
    std::mt19937_64 rng(21);
    for (unsigned width : {8u, 16u, 64u}) {
        for (uint64_t row : {1u, 2u, 3u, 17u, 300u}) {
            for (unsigned mode = 0; mode < RASTER_MODES; ++mode) {
                const size_t count = 9 * row + 5;
                std::vector<int64_t> values(count);
                for (size_t i = 0; i < count; ++i) {  // a ramp with noise, and values anywhere in the range
                    const uint64_t v = i % 5 == 0 ? rng() : i % row * 13 + i / row * 7 + rng() % 5;
                    values[i] = wrap(v, width);
                }
                RasterPredictor single(mode, row, width, count), runs(mode, row, width, count);
                std::vector<int64_t> out(count);
                std::vector<uint64_t> contexts(count);
                for (size_t done = 0; done < count;) {
                    const size_t run = std::min<size_t>(count - done, 1 + rng() % (2 * row + 3));
                    runs.residuals(&values[done], 1, run, &out[done], &contexts[done]);
                    done += run;
                }
                for (size_t i = 0; i < count; ++i) {
                    const int64_t prediction = single.predict();
                    ASSERT_EQ(contexts[i], single.context()) << width << " " << row << " " << mode << " " << i;
                    ASSERT_EQ(out[i], wrap(static_cast<uint64_t>(values[i]) - static_cast<uint64_t>(prediction), width));
                    single.push(values[i]);
                }
            }
        }
    }
}

}  // namespace
}  // namespace zelk
