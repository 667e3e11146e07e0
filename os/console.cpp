// The portable part of the console: standard input's lines on a thread of their own.
#include "os/console.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

namespace Os::LineInput {

namespace {

struct Input {
    std::mutex lock; // the lines, and the wake event while it is set, so detach can close it
    std::vector<std::string> lines;
    EventHandle wake = nullptr;
    std::atomic<bool> ended{false};
};

// Never destroyed: the reading thread outlives main, and a line scanned as the tool exits must
// not land in a vector that the exit has already taken down.
Input& input() {
    static Input& shared = *new Input;
    return shared;
}

// The caller holds the lock.
void wakeReader() {
    if (input().wake != nullptr) {
        setEvent(input().wake);
    }
}

void hand(std::string& line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    std::lock_guard<std::mutex> guard(input().lock);
    input().lines.push_back(std::move(line));
    wakeReader();
    line.clear();
}

// Blocks in the read for as long as the process lives: the thread is left behind at exit, since
// standard input cannot be woken portably; what it touches lives as long as the process.
void readLines() {
    std::string line;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        if (c == '\n') {
            hand(line);
        } else if (line.size() < MaxLineBytes) {
            line.push_back(static_cast<char>(c));
        }
    }
    if (!line.empty()) {
        hand(line); // a last line without its line end
    }
    input().ended.store(true, std::memory_order_release);
    std::lock_guard<std::mutex> guard(input().lock);
    wakeReader();
}

} // namespace

void start(EventHandle wake) {
    {
        std::lock_guard<std::mutex> guard(input().lock);
        input().wake = wake;
    }
    std::thread(readLines).detach();
}

void detach() {
    std::lock_guard<std::mutex> guard(input().lock);
    input().wake = nullptr;
}

std::vector<std::string> take() {
    std::lock_guard<std::mutex> guard(input().lock);
    return std::exchange(input().lines, {});
}

bool ended() {
    return input().ended.load(std::memory_order_acquire);
}

} // namespace Os::LineInput
