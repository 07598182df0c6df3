// A native timing loop for the chunk codec, for profiling without the
// interpreter: encodes and decodes the first `bytes` bytes of a file
// `repeat` times and prints the time of each direction per call, with the
// encoder on one thread or allowed two.
// Usage: zelk_loop FILE [bytes [repeat [threads]]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "codec/codec.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [bytes [repeat]]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), {}};
    if (argc > 2) data.resize(std::min<std::size_t>(data.size(), std::strtoull(argv[2], nullptr, 10)));
    const int repeat = argc > 3 ? std::atoi(argv[3]) : 1;
    const auto threads = argc > 4 && std::atoi(argv[4]) == 1 ? zelk::EncoderThreads::One : zelk::EncoderThreads::Two;

    zelk::NullDebugSink quiet;
    using Clock = std::chrono::steady_clock;
    double encode_s = 0, decode_s = 0;
    std::size_t chunk_size = 0;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = Clock::now();
        const auto chunk = zelk::compress_chunk(data, 0, std::nullopt, quiet, threads);
        const auto t1 = Clock::now();
        if (!chunk) {
            std::printf("refused: %s\n", chunk.error().display().c_str());
            return 1;
        }
        const auto back = zelk::decode_chunk(chunk.value(), 0, std::nullopt);
        const auto t2 = Clock::now();
        if (!back || back.value() != data) {
            std::printf("round trip failed\n");
            return 1;
        }
        chunk_size = chunk.value().size();
        encode_s += std::chrono::duration<double>(t1 - t0).count();
        decode_s += std::chrono::duration<double>(t2 - t1).count();
    }
    std::printf("%zu -> %zu bytes; encode %.1f us (%.2f MB/s), decode %.1f us (%.2f MB/s) per call\n", data.size(),
                chunk_size, 1e6 * encode_s / repeat, data.size() * repeat / encode_s / 1e6, 1e6 * decode_s / repeat,
                data.size() * repeat / decode_s / 1e6);
}
