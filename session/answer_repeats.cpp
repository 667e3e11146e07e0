#include "session/answer_repeats.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace AnswerRepeats {

namespace {

// Distinct answers remembered per wait; more are shown as they come.
constexpr uint32_t MaxAnswers = 8;
// A reply's tokens, each with its NUL; a longer one is shown as it comes.
constexpr size_t KeyCapacity = TokenStorageSize + MaxReplyTokens;

// The key is the reader's alone; the words the main thread reads at the wait's end are atomic and
// published by the release store of `used`.
struct Answer {
    char key[KeyCapacity];
    size_t keyLength;
    std::atomic<AnswerKind> kind;
    std::atomic<CommandIndex> command;
    std::atomic<uint32_t> times;
};

Answer answers[MaxAnswers];
std::atomic<uint32_t> used{0};
// The main thread numbers each poll's wait; the reader starts its table afresh on a new number
// and then names the wait the table belongs to, so that the main thread never reads another
// wait's answers and never writes the table.
std::atomic<bool> counting{false};
std::atomic<uint32_t> waitNumber{0};
std::atomic<uint32_t> tableWait{0};
uint32_t readerWait = 0;    // the reader's own copy of tableWait
char replyKey[KeyCapacity]; // the reader's: the reply in hand as a key

// The tokens, each ended by its NUL; 0 when they do not fit.
size_t keyOf(uint16_t tokenCount, char* const* tokens, char* key) {
    size_t length = 0;
    for (uint16_t i = 0; i < tokenCount; ++i) {
        const size_t size = std::strlen(tokens[i]) + 1;
        if (length + size > KeyCapacity) {
            return 0;
        }
        std::memcpy(key + length, tokens[i], size);
        length += size;
    }
    return length;
}

} // namespace

void begin() {
    waitNumber.fetch_add(1, std::memory_order_relaxed);
    counting.store(true, std::memory_order_release);
}

void end(const Reporter& reporter) {
    if (!counting.exchange(false, std::memory_order_acq_rel) ||
        tableWait.load(std::memory_order_acquire) != waitNumber.load(std::memory_order_relaxed)) {
        return;
    }
    const uint32_t count = used.load(std::memory_order_acquire);
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t times = answers[i].times.load(std::memory_order_relaxed);
        if (times > 1) {
            const CommandIndex command = answers[i].command.load(std::memory_order_relaxed);
            reporter.answerRepeated(answers[i].kind.load(std::memory_order_relaxed),
                                    CommandNames[static_cast<int>(command)], times);
        }
    }
}

bool firstTime(AnswerKind kind, CommandIndex command, uint16_t tokenCount, char* const* tokens) {
    if (!counting.load(std::memory_order_acquire)) {
        return true;
    }
    const uint32_t wait = waitNumber.load(std::memory_order_relaxed);
    if (wait != readerWait) {
        used.store(0, std::memory_order_relaxed);
        readerWait = wait;
        tableWait.store(wait, std::memory_order_release);
    }
    const uint32_t count = used.load(std::memory_order_relaxed);
    const size_t length = keyOf(tokenCount, tokens, replyKey);
    for (uint32_t i = 0; i < count && length != 0; ++i) {
        Answer& seen = answers[i];
        if (seen.keyLength == length && std::memcmp(seen.key, replyKey, length) == 0) {
            seen.times.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
    }
    if (length == 0 || count == MaxAnswers) {
        return true;
    }
    Answer& fresh = answers[count];
    std::memcpy(fresh.key, replyKey, length);
    fresh.keyLength = length;
    fresh.kind.store(kind, std::memory_order_relaxed);
    fresh.command.store(command, std::memory_order_relaxed);
    fresh.times.store(1, std::memory_order_relaxed);
    used.store(count + 1, std::memory_order_release);
    return true;
}

} // namespace AnswerRepeats
