// The codec's refusals: the text callers see for each.
#include <gtest/gtest.h>

#include "codec/codec_error.h"

namespace zelk {
namespace {

TEST(CodecError, DisplaysKindColonSpaceMessage) {
    EXPECT_EQ(unsupported_predictor_id(3).display(), "InvalidInput: Unsupported Predictor ID: 3");
    EXPECT_EQ(unsupported_predictor_id(255).display(), "InvalidInput: Unsupported Predictor ID: 255");
    EXPECT_EQ(input_too_large().display(), "InvalidInput: Input too large for a chunk");
    EXPECT_EQ(buffer_too_small_for_header().display(), "Other: Buffer too small for header");
    EXPECT_EQ(expansion_detected().display(), "CompressionError: Expansion detected");
    EXPECT_EQ(CodecError(ErrorKind::InvalidData, "x").display(), "InvalidData: x");
    EXPECT_EQ(static_cast<int>(ErrorKind::InvalidInput), 0);
    EXPECT_EQ(static_cast<int>(ErrorKind::Other), 3);
}

}  // namespace
}  // namespace zelk
