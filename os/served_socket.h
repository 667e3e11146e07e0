// The connections a server accepted, for the station's screen (dashboard/): waits with a limit,
// reads and writes that never raise SIGPIPE, the two ends' addresses, and a shutdown that another
// thread may call to end every wait on the connection at once. The socket is the platform's own,
// as the HTTP library holds it (a descriptor, or a Winsock SOCKET). served_socket_posix.cpp uses
// BSD sockets, served_socket_win32.cpp Winsock 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Os::ServedSocket {

using Native = std::uintptr_t;

enum class Wait : uint8_t { Ready, Timeout, Failed };

// Ready also when the peer has closed or the connection failed: the next receive or send says so.
Wait waitReadable(Native socket, uint32_t timeoutMs);
Wait waitWritable(Native socket, uint32_t timeoutMs);

// Makes every call on the socket return at once, so that only the waits above ever wait.
void makeNonBlocking(Native socket);

// Bytes read, at most capacity (0: the peer closed its side); -1 when the connection failed.
int64_t receive(Native socket, char* bytes, size_t capacity);
// Bytes sent, perhaps fewer than length (0 when the peer's window is full); -1 when the
// connection failed.
int64_t send(Native socket, const char* bytes, size_t length);

enum class Pending : uint8_t { Drained, PeerClosed, Failed };
// Reads and drops whatever has arrived, without waiting, so that a close after it sends the peer
// an orderly end rather than a reset that could overtake the last response.
Pending discardPending(Native socket);

void shutdownSending(Native socket);
void shutdownBoth(Native socket); // also ends another thread's wait on it
void close(Native socket);

// The numeric address and port of the peer or of this end; false when the platform gave none.
bool peerAddress(Native socket, std::string& ip, int& port);
bool localAddress(Native socket, std::string& ip, int& port);

// For a listening socket before it binds: a port that another program listens on is refused
// (rather than shared, as SO_REUSEPORT or Windows' SO_REUSEADDR would), while the connections of
// a server that just ended do not keep a new one from the port.
void claimListeningPort(Native socket);

// The platform's error code as it stands (errno, WSAGetLastError), for a bind that failed inside
// the HTTP library; clearLastError before the call.
int lastError();
void clearLastError();

} // namespace Os::ServedSocket
