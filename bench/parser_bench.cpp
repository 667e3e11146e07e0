// Throughput of the reply parser over a realistic reply stream, to show it is never the limit
// (a 3 Mbaud line moves 300 KB/s).
#include "protocol/reply_parser.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

char storage[TokenStorageSize];

// What a product says during an update: mostly RECORD PASS, some resends, FWID and PONG, with the
// CR LF ends, lower case and quotes that the wire allows.
std::string replyStream() {
    std::string stream;
    for (int i = 0; i < 1000; ++i) {
        stream += "!DVO RECORD PASS\r\n";
        if (i % 50 == 0) {
            stream += "!DVO RECORD BUSY\r\n!dvo pong\r\n";
            stream += "!DVO FWID KorvaApp KORVA MAP \"v1.2 build 7\"\r\n";
        }
    }
    return stream;
}

void feedAll(const std::string& stream, uint16_t piece) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    size_t offset = 0;
    while (offset < stream.size()) {
        size_t left = stream.size() - offset;
        auto length = static_cast<uint16_t>(left < piece ? left : piece);
        uint16_t used = 0;
        benchmark::DoNotOptimize(ReplyParser::feed(bytes + offset, length, used));
        offset += used;
    }
}

void BM_FeedReplies(benchmark::State& state) {
    const std::string stream = replyStream();
    const auto piece = static_cast<uint16_t>(state.range(0));
    ReplyParser::reset(storage, TokenStorageSize, LeadChar, AddressToken, true, true);
    for (auto _ : state) {
        feedAll(stream, piece);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(stream.size()));
}

// 2048 is the reader's drain step; 1 is the worst case of a line that delivers byte by byte.
BENCHMARK(BM_FeedReplies)->Arg(2048)->Arg(64)->Arg(1);

} // namespace

BENCHMARK_MAIN();
