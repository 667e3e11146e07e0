// The per-stream queues are rings in fixed storage, and an event is held once, shared by every
// stream that has it, so publish allocates one copy of the line whatever the number of streams.
#include "dashboard/event_fanout.h"

#include "dashboard/dashboard.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace EventFanout {

struct Stream {
    bool open = false;
    std::array<std::shared_ptr<const std::string>, Dashboard::StreamBacklog> ring;
    size_t first = 0; // the oldest event held
    size_t count = 0;
    uint64_t lost = 0;
};

namespace {

struct Fanout {
    std::mutex lock;
    std::condition_variable changed;
    std::array<Stream, Dashboard::ConnectionLimit> streams;
    bool draining = false;
    // Read without the lock by publish, so that nothing is copied while no stream is open.
    std::atomic<size_t> openCount{0};
};

Fanout& fanout() {
    static Fanout instance;
    return instance;
}

void push(Stream& stream, const std::shared_ptr<const std::string>& line) {
    if (stream.count == stream.ring.size()) {
        ++stream.lost;
        return;
    }
    stream.ring[(stream.first + stream.count) % stream.ring.size()] = line;
    ++stream.count;
}

} // namespace

Stream* open() {
    Fanout& all = fanout();
    std::lock_guard<std::mutex> guard(all.lock);
    if (all.draining) {
        return nullptr;
    }
    for (Stream& stream : all.streams) {
        if (!stream.open) {
            stream = Stream{};
            stream.open = true;
            all.openCount.fetch_add(1, std::memory_order_relaxed);
            return &stream;
        }
    }
    return nullptr;
}

void close(Stream* stream) {
    Fanout& all = fanout();
    {
        std::lock_guard<std::mutex> guard(all.lock);
        for (auto& line : stream->ring) {
            line.reset();
        }
        stream->count = 0;
        stream->open = false;
        all.openCount.fetch_sub(1, std::memory_order_relaxed);
    }
    all.changed.notify_all();
}

void publish(const std::string& line) {
    Fanout& all = fanout();
    if (all.openCount.load(std::memory_order_relaxed) == 0) {
        return;
    }
    const auto shared = std::make_shared<const std::string>(line);
    {
        std::lock_guard<std::mutex> guard(all.lock);
        for (Stream& stream : all.streams) {
            if (stream.open) {
                push(stream, shared);
            }
        }
    }
    all.changed.notify_all();
}

void take(Stream* stream, uint32_t waitMs, Taken& taken) {
    Fanout& all = fanout();
    taken.lines.clear();
    std::unique_lock<std::mutex> guard(all.lock);
    all.changed.wait_for(guard, std::chrono::milliseconds(waitMs),
                         [&] { return stream->count > 0 || stream->lost > 0 || all.draining; });
    for (; stream->count > 0; --stream->count) {
        taken.lines.push_back(std::move(stream->ring[stream->first]));
        stream->first = (stream->first + 1) % stream->ring.size();
    }
    taken.lost = stream->lost;
    stream->lost = 0;
    taken.ended = all.draining;
}

void drain() {
    Fanout& all = fanout();
    {
        std::lock_guard<std::mutex> guard(all.lock);
        all.draining = true;
    }
    all.changed.notify_all();
}

bool awaitClosed(uint32_t limitMs) {
    Fanout& all = fanout();
    std::unique_lock<std::mutex> guard(all.lock);
    return all.changed.wait_for(guard, std::chrono::milliseconds(limitMs),
                                [&] { return all.openCount.load(std::memory_order_relaxed) == 0; });
}

void reopen() {
    Fanout& all = fanout();
    std::lock_guard<std::mutex> guard(all.lock);
    all.draining = false;
}

} // namespace EventFanout
