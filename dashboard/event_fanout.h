// The events on their way to the open /events streams: one bounded queue per stream, filled by
// publish on the station's thread and emptied by the server thread that writes the stream. A
// stream that falls StreamBacklog events behind loses the newer ones (and is told how many), so
// that publish never waits for a browser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace EventFanout {

struct Stream;

// nullptr when ConnectionLimit streams are open, or the fanout drains for a stop.
Stream* open();
void close(Stream* stream);

void publish(const std::string& line);

struct Taken {
    std::vector<std::shared_ptr<const std::string>> lines; // in the order published
    uint64_t lost = 0;                                     // events dropped after those lines
    bool ended = false; // draining and nothing left: the stream is to end
};
// Waits up to waitMs for events, then moves what the stream holds into taken.
void take(Stream* stream, uint32_t waitMs, Taken& taken);

// For a stop: no stream opens any more, and those open end once they have taken what they hold.
void drain();
// True when every stream had closed within limitMs.
bool awaitClosed(uint32_t limitMs);
// For the next start: streams may open again.
void reopen();

} // namespace EventFanout
