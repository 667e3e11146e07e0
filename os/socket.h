// TCP connections to a serial port served over the network. socket_posix.cpp uses BSD sockets,
// socket_win32.cpp Winsock 2. These only connect; the station's screen listens through its HTTP
// library (served_socket.h).
#pragma once

#include "os/os.h"

#include <cstddef>
#include <cstdint>

namespace Os {

// Opaque; nullptr means "none". Handles come from a small fixed pool.
struct SocketObject;
using SocketHandle = SocketObject*;

// NameServerSilent: no name server answered the lookup (in time, or at all); Stopped: the stop
// event ended the lookup or a connect under way.
enum class ConnectResult : uint8_t {
    Connected,
    UnknownHost,
    NameServerSilent,
    Refused,
    NoAnswer,
    Stopped,
    Failed
};

// host: a name, an IPv4 address or an IPv6 address (without brackets); service: the port number
// in decimal. Looks the host up and tries each address it has, within timeoutMs in all; the
// lookup and every connect end at once when stop is set (a manual-reset event; nullptr: none),
// and nothing is connected after it is. The connection sends small writes at once (TCP_NODELAY)
// and probes a silent peer (keep-alive), so a server that has gone without a word is noticed
// within seconds.
ConnectResult connectTcp(const char* host, const char* service, uint32_t timeoutMs,
                         EventHandle stop, SocketHandle& connected);
void closeSocket(SocketHandle socket);

enum class SocketSend : uint8_t { Sent, Stalled, Broken };

// Sends every byte or fails: Stalled when the peer took nothing for stallLimitMs, Broken when the
// connection has closed or failed.
SocketSend sendAll(SocketHandle socket, const uint8_t* bytes, size_t length, uint32_t stallLimitMs);

// Bytes read, at most capacity; 0 when none are waiting; -1 when the peer closed the connection
// or it failed.
int32_t receiveSome(SocketHandle socket, uint8_t* bytes, size_t capacity);

enum class SocketWait : uint8_t { Readable, Stop, Timeout, Failed };

// Waits until the socket has bytes or its end to read, the stop event is set (nullptr: no stop
// event) or timeoutMs (Os::Infinite) has passed. Stop wins when both come.
SocketWait waitReadable(SocketHandle socket, EventHandle stop, uint32_t timeoutMs);

int lastSocketError(); // the OS error code of the last failure, for messages

} // namespace Os
