// The frame coders that are handed their input piece by piece: the same
// frames as the whole-stream writer however the input is cut, the data back
// in any pieces and under any output limit, the bytes after the frame kept,
// and damage refused with the whole-stream reader's own message.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "frame/frame_decoder.h"
#include "frame/frame_encoder.h"
#include "frame/frame_reader.h"
#include "frame/frame_writer.h"
#include "frame/stand_in_codecs.h"
#include "test_support.h"

namespace zelk {
namespace {

using test::mixed_data;
using test::RunLengthCodec;
using Bytes = std::vector<uint8_t>;

Bytes write_whole(const Bytes& data, const BlockCodec& codec, uint32_t block_size) {
    SpanSource source(data);
    VectorSink sink;
    write_frame(source, sink, codec, FrameOptions{block_size, 2});
    return sink.bytes;
}

// Hands `data` over in pieces of random sizes up to `largest`.
template <typename F>
void in_pieces(const Bytes& data, size_t largest, unsigned seed, F take) {
    std::mt19937 random(seed);
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min(data.size() - at, size_t{random() % (largest + 1)});
        take(std::span(data).subspan(at, n));
        at += n;
    }
}

// Decodes `frame` fed in random pieces and read under random limits.
Bytes decode_in_pieces(const Bytes& frame, const BlockCodec& codec, unsigned seed, FrameDecoder* kept = nullptr) {
    FrameDecoder local(codec, 2, UINT64_MAX);
    FrameDecoder& decoder = kept ? *kept : local;
    std::mt19937 random(seed);
    Bytes out;
    auto drain = [&] {
        do decoder.read(random() % 300, out);
        while (!decoder.needs_input() && !decoder.eof());
    };
    in_pieces(frame, 150, seed, [&](std::span<const uint8_t> piece) {
        decoder.feed(piece);
        drain();
    });
    drain();
    return out;
}

TEST(FrameEncoder, WritesTheWholeStreamWritersFrameHoweverTheInputIsCut) {
    const RunLengthCodec codec;
    for (size_t n : {size_t{0}, size_t{100}, size_t{2345}}) {
        const Bytes data = mixed_data(n, 5);
        for (unsigned threads : {0u, 1u, 3u}) {
            VectorSink sink;
            FrameEncoder encoder(codec, FrameOptions{100, threads}, sink);
            in_pieces(data, 250, threads, [&](std::span<const uint8_t> piece) { encoder.write(piece); });
            encoder.end_frame();
            EXPECT_EQ(sink.bytes, write_whole(data, codec, 100)) << n << " bytes, " << threads << " threads";
        }
    }
}

TEST(FrameEncoder, FlushedBlocksCanBeDecodedBeforeTheFrameEnds) {
    const RunLengthCodec codec;
    const Bytes a = mixed_data(250, 1), b = mixed_data(130, 2);
    VectorSink sink;
    FrameEncoder encoder(codec, FrameOptions{100, 2}, sink);
    encoder.write(a);
    encoder.flush_blocks();  // 100, 100 and a short block of 50
    FrameDecoder early(codec, 1, UINT64_MAX);
    early.feed(sink.bytes);
    Bytes out;
    early.read(UINT64_MAX, out);
    EXPECT_EQ(out, a);
    EXPECT_TRUE(early.needs_input());

    encoder.write(b);
    encoder.end_frame();
    const size_t first = sink.bytes.size();
    encoder.write(a);  // a second frame
    encoder.end_frame();
    FrameDecoder decoder(codec, 2, UINT64_MAX);
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_EQ(decode_in_pieces(sink.bytes, codec, 3, &decoder), both);
    EXPECT_TRUE(decoder.eof());
    EXPECT_EQ(Bytes(decoder.unused().begin(), decoder.unused().end()), Bytes(sink.bytes.begin() + first, sink.bytes.end()));
}

TEST(FrameDecoder, RestoresTheDataInAnyPiecesUnderAnyLimit) {
    const RunLengthCodec codec;
    for (size_t n : {size_t{0}, size_t{1}, size_t{640}, size_t{5000}}) {
        const Bytes data = mixed_data(n, 9);
        const Bytes frame = write_whole(data, codec, 128);
        for (unsigned threads : {0u, 2u}) {
            FrameDecoder decoder(codec, threads, UINT64_MAX);
            EXPECT_EQ(decode_in_pieces(frame, codec, static_cast<unsigned>(n), &decoder), data) << n;
            EXPECT_TRUE(decoder.eof());
            EXPECT_FALSE(decoder.needs_input());
            EXPECT_TRUE(decoder.unused().empty());
        }
    }
}

TEST(FrameDecoder, ACutFrameWaitsForInputAndHoldsItsBytes) {
    const RunLengthCodec codec;
    const Bytes frame = write_whole(mixed_data(1000, 4), codec, 128);
    for (size_t cut : {size_t{3}, size_t{20}, frame.size() / 2, frame.size() - 1}) {
        FrameDecoder decoder(codec, 2, UINT64_MAX);
        decoder.feed(std::span(frame).first(cut));
        Bytes out;
        decoder.read(UINT64_MAX, out);
        EXPECT_FALSE(decoder.eof()) << cut;
        EXPECT_TRUE(decoder.needs_input()) << cut;
        if (cut < FRAME_MAGIC.size()) {
            EXPECT_THROW(decoder.finish(), FrameError) << "too short to be a frame";
        } else {
            EXPECT_THROW(decoder.finish(), TruncatedFrame) << cut;
        }
    }
}

// Every single-bit flip of a frame is refused by the decoder fed in pieces
// with the message the whole-stream reader gives.
TEST(FrameDecoder, RefusesDamageAsTheWholeStreamReaderDoes) {
    const RunLengthCodec codec;
    const Bytes frame = write_whole(mixed_data(700, 8), codec, 128);
    for (size_t bit = 0; bit < frame.size() * 8; ++bit) {
        Bytes damaged = frame;
        damaged[bit / 8] ^= static_cast<uint8_t>(1u << bit % 8);
        std::string expected, got;
        try {
            SpanSource source(damaged);
            read_frames(source, nullptr, codec, 2);
        } catch (const FrameError& e) {
            expected = e.what();
        }
        try {
            decode_in_pieces(damaged, codec, static_cast<unsigned>(bit));
        } catch (const FrameError& e) {
            got = e.what();
        }
        ASSERT_FALSE(expected.empty()) << bit;
        EXPECT_EQ(got, expected) << "bit " << bit;
    }
}

// A sequence fed in pieces of every size reads as the whole-stream reader
// reads it: concatenated frames, zero padding after them, and the same
// refusal of other bytes after a frame or of a cut, the data before it
// read out first.
TEST(FrameDecoder, ReadsASequenceAsTheWholeStreamReaderDoes) {
    const RunLengthCodec codec;
    const Bytes first = write_whole(mixed_data(900, 1), codec, 128), second = write_whole(mixed_data(300, 2), codec, 64);
    auto join = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const Bytes cut_magic(first.begin(), first.begin() + 2);
    for (const Bytes& input : {Bytes{}, join({first, second}), join({first, Bytes(70, 0)}), join({first, Bytes{0, 7}}),
                               join({first, Bytes{1}}), join({first, cut_magic}), join({first, second, Bytes(3, 0)}),
                               join({first, Bytes(second.begin(), second.end() - 1)})}) {
        std::string expected, got;
        VectorSink whole;
        try {
            SpanSource source(input);
            if (!input.empty()) read_frames(source, &whole, codec, 2);
        } catch (const FrameError& e) {
            expected = e.what();
        }
        for (size_t piece : {size_t{1}, size_t{7}, input.size() + 1}) {
            FrameDecoder decoder(codec, 2, UINT64_MAX, FrameSequence::Sequence);
            Bytes out;
            try {
                for (size_t at = 0; at < input.size(); at += piece) {
                    decoder.feed(std::span(input).subspan(at, std::min(piece, input.size() - at)));
                    decoder.read(UINT64_MAX, out);
                }
                decoder.finish();
                decoder.read(UINT64_MAX, out);
                EXPECT_TRUE(decoder.eof());
            } catch (const TruncatedFrame&) {
                got = "truncated";
            } catch (const FrameError& e) {
                got = e.what();
            }
            const std::string wanted = expected.starts_with("truncated") ? "truncated" : expected;
            EXPECT_EQ(got, wanted) << input.size() << " in pieces of " << piece;
            EXPECT_EQ(out, whole.bytes) << "the data before a fault is read out first";
        }
    }
}

}  // namespace
}  // namespace zelk
