// The station's screen: a small HTTP server on threads of its own that serves a live page (/),
// the station's state as one JSON snapshot (/state) and its --json events as Server-Sent Events
// (/events). The station feeds it from its main loop; nothing a browser sends changes what the
// station does, and a browser that falls behind loses events rather than slowing the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Dashboard {

// Connections served at once; one more is answered 503 at once and closed.
inline constexpr size_t ConnectionLimit = 16;
// Events a stream may fall behind before it loses them.
inline constexpr size_t StreamBacklog = 256;

// Reads "[HOST:]PORT": "8080", "0.0.0.0:8080", "[::1]:8080", "station-3.local:8080". The default
// host is 127.0.0.1, so that only this machine sees the page unless another host is named. PORT
// is 1 to 65535. False with problem set when the text is none of these.
bool parseAddress(const std::string& text, std::string& host, uint16_t& port, std::string& problem);
// HOST:PORT as a URL writes it, an IPv6 host in brackets ("[::1]:8080").
std::string shownAddress(const std::string& host, uint16_t port);

// Starts serving on threads of its own (port 0: any free port, which port() then tells); false
// with problem set when it cannot (the port is taken, the host is no address of this machine, it
// is serving already).
bool start(const std::string& host, uint16_t port, std::string& problem);
uint16_t port(); // the port served, 0 when not serving

// The snapshot /state serves and the page draws first: a JSON object as text, replaced whole.
void setState(std::string stateJson);

// One event, exactly the line --json writes (without its line end), to every open /events stream
// as one message. Never waits for a stream: one that has StreamBacklog events not yet written
// loses the newer ones and is told so by a comment line when it catches up.
void publish(const std::string& eventLine);

// Gives the open streams up to flushMs to take what was published and end, then stops serving:
// every connection still open is closed, and the threads have ended when it returns.
void stop(uint32_t flushMs);

} // namespace Dashboard
