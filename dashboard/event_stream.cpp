#include "dashboard/event_stream.h"

#include "dashboard/connections.h"

namespace EventStream {

void appendMessage(std::string& out, std::string_view line) {
    out += "data: ";
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\r' || line[i] == '\n') {
            if (line[i] == '\r' && i + 1 < line.size() && line[i + 1] == '\n') {
                ++i;
            }
            out += "\ndata: ";
        } else {
            out += line[i];
        }
    }
    out += "\n\n";
}

bool provide(Feed& feed, httplib::DataSink& sink) {
    const auto now = std::chrono::steady_clock::now();
    std::string out;
    if (!feed.greeted) {
        feed.greeted = true;
        feed.written = now;
        out = "retry: " + std::to_string(RetryMs) + "\n\n";
        return sink.write(out.data(), out.size());
    }
    EventFanout::take(feed.stream, LookMs, feed.taken);
    for (const auto& line : feed.taken.lines) {
        appendMessage(out, *line);
    }
    feed.taken.lines.clear();
    if (feed.taken.lost > 0) {
        out += ": " + std::to_string(feed.taken.lost) + " events lost: this stream fell behind\n\n";
    }
    if (out.empty() && !feed.taken.ended) {
        if (Connections::peerClosed()) {
            return false;
        }
        if (now - feed.written < std::chrono::milliseconds(KeepAliveMs)) {
            return true;
        }
        out = ": nothing new\n\n";
    }
    if (!out.empty()) {
        if (!sink.write(out.data(), out.size())) {
            return false;
        }
        feed.written = now;
    }
    if (feed.taken.ended) {
        sink.done();
    }
    return true;
}

} // namespace EventStream
