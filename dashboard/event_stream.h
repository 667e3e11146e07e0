// /events as Server-Sent Events: a retry hint first, then one message per event ("data: <line>"
// and a blank line), a comment when events were lost, and a comment now and then while nothing
// happens, so that a browser that has gone is noticed.
#pragma once

#include "dashboard/event_fanout.h"

#include <httplib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace EventStream {

inline constexpr uint32_t RetryMs = 2000;
// A stream looks this often whether its browser has gone, and writes a comment after this long
// without events.
inline constexpr uint32_t LookMs = 250;
inline constexpr uint32_t KeepAliveMs = 15000;

// Appends one event's message. A line end inside the line (a --json line has none) continues the
// message on a data line of its own, which the browser joins again with a line feed.
void appendMessage(std::string& out, std::string_view line);

// A stream's state: whether it has greeted its browser, when it last wrote, what it took.
struct Feed {
    EventFanout::Stream* stream = nullptr;
    bool greeted = false;
    std::chrono::steady_clock::time_point written;
    EventFanout::Taken taken;
};

// The body's provider: writes what the fanout holds for the stream, waiting for it up to
// LookMs; ends the body when the fanout drains. False when the browser has gone or took nothing.
bool provide(Feed& feed, httplib::DataSink& sink);

} // namespace EventStream
