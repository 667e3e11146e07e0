// TCP connections on POSIX: non-blocking sockets, waited for with poll beside an event's
// descriptor.
#include "os/name_lookup.h"
#include "os/os_posix.h"
#include "os/socket.h"

#include <atomic>
#include <cerrno>
#include <climits>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Os {

struct SocketObject {
    std::atomic<bool> inUse{false};
    int descriptor = -1;
};

namespace {

constexpr int SocketPoolSize = 4;
SocketObject socketPool[SocketPoolSize];
thread_local int lastError = 0;

// A peer silent for KeepAliveIdleS is probed every KeepAliveIntervalS; KeepAliveProbes unanswered
// probes, or sent bytes unacknowledged for UnacknowledgedLimitMs, end the connection.
constexpr int KeepAliveIdleS = 2;
constexpr int KeepAliveIntervalS = 1;
constexpr int KeepAliveProbes = 3;
constexpr unsigned UnacknowledgedLimitMs = 5000;

SocketHandle claimSocket(int descriptor) {
    for (SocketObject& object : socketPool) {
        bool expected = false;
        if (object.inUse.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
            object.descriptor = descriptor;
            return &object;
        }
    }
    return nullptr;
}

void setOption(int descriptor, int level, int name, int value) {
    setsockopt(descriptor, level, name, &value, sizeof value); // best effort
}

void tune(int descriptor) {
    setOption(descriptor, IPPROTO_TCP, TCP_NODELAY, 1);
    setOption(descriptor, SOL_SOCKET, SO_KEEPALIVE, 1);
    setOption(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, KeepAliveIdleS);
    setOption(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, KeepAliveIntervalS);
    setOption(descriptor, IPPROTO_TCP, TCP_KEEPCNT, KeepAliveProbes);
    setOption(descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(UnacknowledgedLimitMs));
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

// Waits for a connect under way: 0 when it succeeded, else the error.
int completeConnect(int descriptor, Attempt& attempt) {
    pollfd watched[2] = {{eventDescriptor(attempt.stop), POLLIN, 0}, {descriptor, POLLOUT, 0}};
    int ready = 0;
    do {
        ready = poll(watched, 2, remainingMs(attempt.timeoutMs, attempt.started));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return ready < 0 ? errno : ETIMEDOUT;
    }
    if (watched[0].revents != 0) {
        attempt.stopped = true;
        return EINTR;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    return error;
}

// One address: the descriptor when connected, -1 with lastError set otherwise.
int connectOne(const addrinfo& address, Attempt& attempt) {
    if (stopSet(attempt.stop)) {
        attempt.stopped = true;
        lastError = EINTR;
        return -1;
    }
    const int descriptor = socket(
        address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
    if (descriptor < 0) {
        lastError = errno;
        return -1;
    }
    int error = 0;
    if (connect(descriptor, address.ai_addr, address.ai_addrlen) != 0) {
        error = errno == EINPROGRESS ? completeConnect(descriptor, attempt) : errno;
    }
    if (error != 0) {
        lastError = error;
        close(descriptor);
        return -1;
    }
    tune(descriptor);
    return descriptor;
}

ConnectResult failureOf(int error) {
    switch (error) {
    case ECONNREFUSED:
        return ConnectResult::Refused;
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
        return ConnectResult::NoAnswer;
    default:
        return ConnectResult::Failed;
    }
}

// Each address in turn until one connects, the stop event is set or the time is up.
ConnectResult connectEach(const addrinfo* addresses, Attempt& attempt, SocketHandle& connected) {
    ConnectResult result = ConnectResult::Failed;
    for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
        const int descriptor = connectOne(*address, attempt);
        if (descriptor >= 0) {
            connected = claimSocket(descriptor);
            if (connected == nullptr) {
                close(descriptor);
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
    close(socket->descriptor);
    socket->descriptor = -1;
    socket->inUse.store(false, std::memory_order_release);
}

SocketSend sendAll(SocketHandle socket, const uint8_t* bytes, size_t length,
                   uint32_t stallLimitMs) {
    size_t sent = 0;
    while (sent < length) {
        const ssize_t written = send(socket->descriptor, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (written > 0) {
            sent += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lastError = errno;
            return SocketSend::Broken;
        }
        pollfd room{socket->descriptor, POLLOUT, 0};
        const int ready = poll(&room, 1, static_cast<int>(stallLimitMs));
        if (ready == 0) {
            lastError = ETIMEDOUT;
            return SocketSend::Stalled;
        }
        if (ready > 0 && (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            lastError = EPIPE;
            return SocketSend::Broken;
        }
    }
    return SocketSend::Sent;
}

int32_t receiveSome(SocketHandle socket, uint8_t* bytes, size_t capacity) {
    const size_t limit = capacity > INT32_MAX ? INT32_MAX : capacity;
    const ssize_t got = recv(socket->descriptor, bytes, limit, 0);
    if (got > 0) {
        // Acknowledge at once, every time (the kernel falls back to delaying): a server that
        // sends a reply in pieces without TCP_NODELAY holds each piece until the last is
        // acknowledged, and a delayed acknowledgement costs 40 ms a reply.
        setOption(socket->descriptor, IPPROTO_TCP, TCP_QUICKACK, 1);
        return static_cast<int32_t>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    lastError = got == 0 ? ECONNRESET : errno;
    return -1;
}

SocketWait waitReadable(SocketHandle socket, EventHandle stop, uint32_t timeoutMs) {
    const uint32_t started = tickCount();
    for (;;) {
        // poll ignores a negative descriptor: without a stop event only the socket is watched.
        pollfd watched[2] = {{eventDescriptor(stop), POLLIN, 0}, {socket->descriptor, POLLIN, 0}};
        const int ready = poll(watched, 2, remainingMs(timeoutMs, started));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (watched[1].revents & POLLNVAL) != 0) {
            lastError = ready < 0 ? errno : EBADF;
            return SocketWait::Failed;
        }
        if (ready == 0) {
            return SocketWait::Timeout;
        }
        return watched[0].revents != 0 ? SocketWait::Stop : SocketWait::Readable;
    }
}

int lastSocketError() {
    return lastError;
}

} // namespace Os
