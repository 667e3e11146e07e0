// TCP connections on Windows (Winsock 2): each socket signals an event when it has bytes or its
// end to read, so a thread can wait for it and its stop event together.
#include "os/name_lookup.h"
#include "os/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#include <windows.h>

#include <atomic>

namespace Os {

struct SocketObject {
    std::atomic<bool> inUse{false};
    SOCKET socket = INVALID_SOCKET;
    WSAEVENT readable = WSA_INVALID_EVENT;
};

namespace {

constexpr int SocketPoolSize = 4;
SocketObject socketPool[SocketPoolSize];
thread_local int lastError = 0;

// A peer silent for KeepAliveIdleMs is probed every KeepAliveIntervalMs; Windows gives up after
// its own count of unanswered probes.
constexpr ULONG KeepAliveIdleMs = 2000;
constexpr ULONG KeepAliveIntervalMs = 1000;

bool startWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SocketHandle claimSocket(SOCKET socket, WSAEVENT readable) {
    for (SocketObject& object : socketPool) {
        bool expected = false;
        if (object.inUse.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            object.socket = socket;
            object.readable = readable;
            return &object;
        }
    }
    return nullptr;
}

DWORD remainingMs(uint32_t timeoutMs, uint32_t started) {
    const uint32_t elapsed = tickCount() - started;
    return elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
}

void setOption(SOCKET socket, int level, int name, DWORD value) {
    setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

void tune(SOCKET socket) {
    setOption(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    tcp_keepalive probes{1, KeepAliveIdleMs, KeepAliveIntervalMs};
    DWORD returned = 0;
    WSAIoctl(socket, SIO_KEEPALIVE_VALS, &probes, sizeof probes, nullptr, 0, &returned, nullptr,
             nullptr); // best effort
    // Every segment acknowledged at once: a server that sends a reply in pieces without
    // TCP_NODELAY holds each piece until the last is acknowledged, and Windows delays an
    // acknowledgement by up to 200 ms. Windows 8 and later; best effort.
    DWORD everySegment = 1;
    WSAIoctl(socket, SIO_TCP_SET_ACK_FREQUENCY, &everySegment, sizeof everySegment, nullptr, 0,
             &returned, nullptr, nullptr);
}

// One connect attempt's limits: the stop event and the time left of the whole connect.
struct Attempt {
    EventHandle stop;
    uint32_t timeoutMs;
    uint32_t started;
    bool stopped = false; // the stop event ended it
};

bool stopSet(EventHandle stop) {
    return stop != nullptr && waitEvent(stop, 0); // manual-reset: looking does not clear it
}

// Waits for a connect under way, whose end sets `ended` (FD_CONNECT), beside the stop event: 0
// when it succeeded, else the error.
int completeConnect(SOCKET socket, WSAEVENT ended, Attempt& attempt) {
    const HANDLE waited[2] = {reinterpret_cast<HANDLE>(attempt.stop), ended};
    const DWORD left = remainingMs(attempt.timeoutMs, attempt.started);
    const bool stoppable = attempt.stop != nullptr;
    const DWORD woke = stoppable ? WaitForMultipleObjects(2, waited, FALSE, left)
                                 : WaitForSingleObject(ended, left);
    if (stoppable && woke == WAIT_OBJECT_0) {
        attempt.stopped = true;
        return WSAEINTR;
    }
    if (woke == WAIT_TIMEOUT) {
        return WSAETIMEDOUT;
    }
    if (woke != (stoppable ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)) {
        return static_cast<int>(GetLastError());
    }
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(socket, ended, &events) != 0) {
        return WSAGetLastError();
    }
    return (events.lNetworkEvents & FD_CONNECT) != 0 ? events.iErrorCode[FD_CONNECT_BIT]
                                                     : WSAETIMEDOUT;
}

// Connects, told of the end by an event of its own (which also makes the socket non-blocking):
// 0 or the error.
int connectWatched(SOCKET socket, const addrinfo& address, Attempt& attempt) {
    const WSAEVENT ended = WSACreateEvent();
    int error = 0;
    if (ended == WSA_INVALID_EVENT || WSAEventSelect(socket, ended, FD_CONNECT) != 0) {
        error = WSAGetLastError();
    } else if (connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            error = completeConnect(socket, ended, attempt);
        }
    }
    if (ended != WSA_INVALID_EVENT) {
        WSAEventSelect(socket, nullptr, 0); // the socket's own event takes over (watch)
        WSACloseEvent(ended);
    }
    return error;
}

// One address: the socket when connected, INVALID_SOCKET with lastError set otherwise.
SOCKET connectOne(const addrinfo& address, Attempt& attempt) {
    if (stopSet(attempt.stop)) {
        attempt.stopped = true;
        lastError = WSAEINTR;
        return INVALID_SOCKET;
    }
    const SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
    if (socket == INVALID_SOCKET) {
        lastError = WSAGetLastError();
        return INVALID_SOCKET;
    }
    const int error = connectWatched(socket, address, attempt);
    if (error != 0) {
        lastError = error;
        closesocket(socket);
        return INVALID_SOCKET;
    }
    tune(socket);
    return socket;
}

ConnectResult failureOf(int error) {
    switch (error) {
    case WSAECONNREFUSED:
        return ConnectResult::Refused;
    case WSAETIMEDOUT:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
    case WSAEHOSTDOWN:
        return ConnectResult::NoAnswer;
    default:
        return ConnectResult::Failed;
    }
}

// The socket's event tells of bytes to read and of the peer's close; this also keeps the socket
// non-blocking.
SocketHandle watch(SOCKET socket) {
    WSAEVENT readable = WSACreateEvent();
    if (readable == WSA_INVALID_EVENT ||
        WSAEventSelect(socket, readable, FD_READ | FD_CLOSE) != 0) {
        lastError = WSAGetLastError();
        if (readable != WSA_INVALID_EVENT) {
            WSACloseEvent(readable);
        }
        return nullptr;
    }
    SocketHandle handle = claimSocket(socket, readable);
    if (handle == nullptr) {
        WSACloseEvent(readable);
    }
    return handle;
}

// Each address in turn until one connects, the stop event is set or the time is up.
ConnectResult connectEach(const addrinfo* addresses, Attempt& attempt, SocketHandle& connected) {
    ConnectResult result = ConnectResult::Failed;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const SOCKET socket = connectOne(*address, attempt);
        if (socket != INVALID_SOCKET) {
            connected = watch(socket);
            if (connected == nullptr) {
                closesocket(socket);
            }
            return connected != nullptr ? ConnectResult::Connected : ConnectResult::Failed;
        }
        if (attempt.stopped) {
            return ConnectResult::Stopped;
        }
        // A refusal says more than the failures of the other addresses.
        if (result != ConnectResult::Refused) {
            result = failureOf(lastError);
        }
    }
    return result;
}

} // namespace

ConnectResult connectTcp(const char* host, const char* service, uint32_t timeoutMs,
                         EventHandle stop, SocketHandle& connected) {
    connected = nullptr;
    if (!startWinsock()) {
        lastError = WSAGetLastError();
        return ConnectResult::Failed;
    }
    Attempt attempt{stop, timeoutMs, tickCount()};
    addrinfo* addresses = nullptr;
    const NameLookup::Outcome found =
        NameLookup::lookUp(host, service, stop, timeoutMs, attempt.started, addresses, lastError);
    if (found != NameLookup::Outcome::Found) {
        return NameLookup::connectResultOf(found);
    }
    const ConnectResult result = connectEach(addresses, attempt, connected);
    NameLookup::release(addresses);
    return result;
}

void closeSocket(SocketHandle socket) {
    if (socket == nullptr) {
        return;
    }
    closesocket(socket->socket);
    WSACloseEvent(socket->readable);
    socket->socket = INVALID_SOCKET;
    socket->readable = WSA_INVALID_EVENT;
    socket->inUse.store(false, std::memory_order_release);
}

SocketSend sendAll(SocketHandle socket, const uint8_t* bytes, size_t length,
                   uint32_t stallLimitMs) {
    size_t sent = 0;
    while (sent < length) {
        const size_t left = length - sent;
        const int chunk = left > 0x10000 ? 0x10000 : static_cast<int>(left);
        const int written =
            send(socket->socket, reinterpret_cast<const char*>(bytes + sent), chunk, 0);
        if (written > 0) {
            sent += static_cast<size_t>(written);
            continue;
        }
        const int error = WSAGetLastError();
        if (written == 0 || error != WSAEWOULDBLOCK) {
            lastError = error;
            return SocketSend::Broken;
        }
        fd_set room;
        FD_ZERO(&room);
        FD_SET(socket->socket, &room);
        timeval limit{static_cast<long>(stallLimitMs / 1000),
                      static_cast<long>(stallLimitMs % 1000) * 1000};
        const int ready = select(0, nullptr, &room, nullptr, &limit);
        if (ready == 0) {
            lastError = WSAETIMEDOUT;
            return SocketSend::Stalled;
        }
        if (ready < 0) {
            lastError = WSAGetLastError();
            return SocketSend::Broken;
        }
    }
    return SocketSend::Sent;
}

int32_t receiveSome(SocketHandle socket, uint8_t* bytes, size_t capacity) {
    const int limit = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity);
    const int got = recv(socket->socket, reinterpret_cast<char*>(bytes), limit, 0);
    if (got > 0) {
        return got;
    }
    if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    lastError = got == 0 ? WSAECONNRESET : WSAGetLastError();
    return -1;
}

SocketWait waitReadable(SocketHandle socket, EventHandle stop, uint32_t timeoutMs) {
    const HANDLE waited[2] = {reinterpret_cast<HANDLE>(stop), socket->readable};
    const DWORD woke = stop != nullptr ? WaitForMultipleObjects(2, waited, FALSE, timeoutMs)
                                       : WaitForSingleObject(waited[1], timeoutMs);
    const DWORD socketWoke = stop != nullptr ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0;
    if (stop != nullptr && woke == WAIT_OBJECT_0) {
        return SocketWait::Stop;
    }
    if (woke == WAIT_TIMEOUT) {
        return SocketWait::Timeout;
    }
    if (woke != socketWoke) {
        lastError = static_cast<int>(GetLastError());
        return SocketWait::Failed;
    }
    WSANETWORKEVENTS events{};
    WSAEnumNetworkEvents(socket->socket, socket->readable, &events); // resets the event
    return SocketWait::Readable;
}

int lastSocketError() {
    return lastError;
}

} // namespace Os
