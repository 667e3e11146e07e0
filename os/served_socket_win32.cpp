// Accepted connections on Windows (Winsock 2): WSAPoll for the waits; a drain that reads only
// what WSAPoll says has arrived.
#include "os/served_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdlib>

namespace Os::ServedSocket {

namespace {

SOCKET socketOf(Native socket) {
    return static_cast<SOCKET>(socket);
}

int lengthOf(size_t length) {
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

Wait waitFor(Native socket, SHORT events, uint32_t timeoutMs) {
    WSAPOLLFD entry{socketOf(socket), events, 0};
    const INT limit = timeoutMs > INT_MAX ? INT_MAX : static_cast<INT>(timeoutMs);
    const int ready = WSAPoll(&entry, 1, limit);
    if (ready == SOCKET_ERROR) {
        return Wait::Failed;
    }
    return ready == 0 ? Wait::Timeout : Wait::Ready;
}

using AddressOf = int(WSAAPI*)(SOCKET, sockaddr*, int*);

bool numericAddress(Native socket, AddressOf addressOf, std::string& ip, int& port) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (addressOf(socketOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return false;
    }
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return false;
    }
    ip = host;
    port = std::atoi(service);
    return true;
}

} // namespace

Wait waitReadable(Native socket, uint32_t timeoutMs) {
    return waitFor(socket, POLLRDNORM, timeoutMs);
}

Wait waitWritable(Native socket, uint32_t timeoutMs) {
    return waitFor(socket, POLLWRNORM, timeoutMs);
}

int64_t receive(Native socket, char* bytes, size_t capacity) {
    const int got = recv(socketOf(socket), bytes, lengthOf(capacity), 0);
    return got == SOCKET_ERROR ? -1 : got;
}

void makeNonBlocking(Native socket) {
    u_long on = 1;
    ioctlsocket(socketOf(socket), FIONBIO, &on);
}

int64_t send(Native socket, const char* bytes, size_t length) {
    const int sent = ::send(socketOf(socket), bytes, lengthOf(length), 0);
    if (sent == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
    }
    return sent;
}

Pending discardPending(Native socket) {
    char sink[4096];
    while (waitFor(socket, POLLRDNORM, 0) == Wait::Ready) {
        const int got = recv(socketOf(socket), sink, sizeof sink, 0);
        if (got == 0) {
            return Pending::PeerClosed;
        }
        if (got == SOCKET_ERROR) {
            return WSAGetLastError() == WSAEWOULDBLOCK ? Pending::Drained : Pending::Failed;
        }
    }
    return Pending::Drained;
}

void shutdownSending(Native socket) {
    shutdown(socketOf(socket), SD_SEND);
}

void shutdownBoth(Native socket) {
    shutdown(socketOf(socket), SD_BOTH);
}

void close(Native socket) {
    closesocket(socketOf(socket));
}

bool peerAddress(Native socket, std::string& ip, int& port) {
    return numericAddress(socket, getpeername, ip, port);
}

bool localAddress(Native socket, std::string& ip, int& port) {
    return numericAddress(socket, getsockname, ip, port);
}

void claimListeningPort(Native socket) {
    // SO_EXCLUSIVEADDRUSE alone: SO_REUSEADDR would let a second program take the port over.
    const BOOL yes = TRUE;
    setsockopt(socketOf(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&yes), sizeof yes);
}

int lastError() {
    return WSAGetLastError();
}

void clearLastError() {
    WSASetLastError(0);
}

} // namespace Os::ServedSocket
