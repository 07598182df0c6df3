// The block attention kernels against the plain Transformer at every
// position, the SSE2 distances against the block-by-block ones, and the
// extreme distances. Every kernel the processor can run is checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/cpu_features.h"
#include "model/block_attention.h"
#include "model/history.h"
#include "model/reference/transformer.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::Bytes;
using test::random_bytes;
using test::sine_with_noise;

// Every kernel this CPU can run, and the dispatching entry.
std::vector<uint8_t> kernel_predictions(const uint8_t* end) {
    std::vector<uint8_t> p{attend(end), detail::attend_baseline(end)};
#if defined(ZELK_HAVE_AVX2_KERNEL)
    if (cpu_has(CpuFeature::Avx2)) p.push_back(detail::attend_avx2(end));
#endif
    return p;
}

TEST(BlockAttention, EqualsTheTransformerAtEveryPosition) {
    // Few distinct bytes give exact blocks and small distances, all bytes
    // give the whole range of distances.
    for (const Bytes& data : {random_bytes(20000, 1), random_bytes(20000, 2, 3), random_bytes(5000, 3, 2),
                              sine_with_noise(20000, 4), Bytes(300, 200)}) {
        Transformer plain;
        History history(data.data());
        for (uint64_t i = 0; i < data.size(); ++i) {
            if (i >= 32) {
                const uint8_t expected = plain.predict();
                for (uint8_t p : kernel_predictions(history.at(i) + i)) ASSERT_EQ(p, expected) << "position " << i;
            }
            history.record(i, data[i]);
            plain.update(data[i]);
        }
    }
}

#if defined(__SSE2__)
TEST(BlockAttention, Sse2DistancesEqualTheBlockByBlockOnes) {
    const Bytes data = random_bytes(60000, 12, 7);
    const Bytes wide = random_bytes(60000, 13);
    for (const Bytes* bytes : {&data, &wide}) {
        for (std::size_t i = ATTENTION_WINDOW; i <= bytes->size(); ++i) {
            uint32_t simd[detail::BLOCKS], plain[detail::BLOCKS];
            const uint8_t* end = bytes->data() + i;
            ASSERT_EQ(detail::block_distances_sse2(end, simd), detail::block_distances_portable(end, plain)) << i;
            ASSERT_TRUE(std::equal(simd, simd + detail::BLOCKS, plain)) << i;
        }
    }
}
#endif

TEST(BlockAttention, ExtremeDistancesAndExactBlocks) {
    // Query 255s against blocks of 0s (distance 1020, weight 128), and one
    // exact block at each key position in turn.
    Bytes window(ATTENTION_WINDOW, 0);
    for (int k = 0; k < 4; ++k) window[ATTENTION_WINDOW - 1 - k] = 255;
    // One 255 among 31 values, all of weight 128: (128 * 255 + 1984) / 3968.
    for (uint8_t p : kernel_predictions(window.data() + ATTENTION_WINDOW)) EXPECT_EQ(p, 8);
    for (int j = 0; j < 31; ++j) {
        Bytes w = window;
        for (int k = 0; k < 4; ++k) w[static_cast<std::size_t>(4 * j + k)] = 255;
        if (j < 30) w[static_cast<std::size_t>(4 * j + 4)] = static_cast<uint8_t>(j + 1);  // its value; block 30's is the query's first byte
        Transformer plain;
        for (uint8_t b : w) plain.update(b);
        for (uint8_t p : kernel_predictions(w.data() + ATTENTION_WINDOW)) EXPECT_EQ(p, plain.predict()) << "exact block " << j;
    }
}

}  // namespace
}  // namespace zelk
