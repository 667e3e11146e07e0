// Feeds arbitrary bytes from a server, cut at arbitrary points, to the Telnet decoder, as the
// receive thread reads them. However the stream is cut, the data, the answers and the
// acknowledgements must come out the same as from one whole read; the data can only shrink; and
// data escaped on the way out decodes to itself with nothing to answer.
//
// Input: [n] [n piece lengths] [stream...]; piece lengths are used in turn, 0 meaning the rest.
#include "serial/telnet_codec.h"

#include <cstring>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

struct Decoded {
    std::vector<uint8_t> data;
    std::vector<uint8_t> answers;
    TelnetState state;
};

Decoded decodeInPieces(const uint8_t* stream, size_t size, const uint8_t* pieces, size_t count) {
    Decoded out;
    Telnet::openingRequests(out.state, std::vector<uint8_t>(OpeningRequestsSize).data());
    size_t at = 0;
    for (size_t i = 0; at < size; ++i) {
        const size_t wanted = count == 0 ? size : pieces[i % count];
        const size_t length = wanted == 0 || wanted > size - at ? size - at : wanted;
        std::vector<uint8_t> read(stream + at, stream + at + length); // exactly the read, for ASan
        const size_t kept = Telnet::decode(out.state, read.data(), read.size());
        check(kept <= length);
        check(out.state.answerLength <= AnswerAreaSize && out.state.answerLength % 3 == 0);
        out.data.insert(out.data.end(), read.begin(), read.begin() + static_cast<long>(kept));
        out.answers.insert(out.answers.end(), out.state.answer,
                           out.state.answer + out.state.answerLength);
        out.state.answerLength = 0;
        at += length;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t count = input[0] % 16;
    if (size < 1 + count) {
        return 0;
    }
    const uint8_t* pieces = input + 1;
    const uint8_t* stream = pieces + count;
    const size_t streamSize = size - 1 - count;

    const Decoded whole = decodeInPieces(stream, streamSize, nullptr, 0);
    const Decoded cut = decodeInPieces(stream, streamSize, pieces, count);
    check(cut.data == whole.data);
    // One read answers at most AnswerAreaSize / 3 requests; pieces may keep more of them.
    if (whole.answers.size() < AnswerAreaSize) {
        check(cut.answers == whole.answers);
    }
    check(std::memcmp(cut.state.acknowledged, whole.state.acknowledged,
                      sizeof whole.state.acknowledged) == 0);
    check(std::memcmp(cut.state.acknowledgedValue, whole.state.acknowledgedValue,
                      sizeof whole.state.acknowledgedValue) == 0);
    check(Telnet::comPortOption(cut.state) == Telnet::comPortOption(whole.state));

    std::vector<uint8_t> escaped(2 * streamSize);
    const size_t length = Telnet::escape(stream, streamSize, escaped.data());
    const Decoded back = decodeInPieces(escaped.data(), length, pieces, count);
    check(back.data == std::vector<uint8_t>(stream, stream + streamSize));
    check(back.answers.empty());
    return 0;
}
