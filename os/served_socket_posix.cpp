// Accepted connections on POSIX: poll for the waits, MSG_NOSIGNAL so that a peer that has gone
// raises no SIGPIPE, MSG_DONTWAIT so that no call waits.
#include "os/served_socket.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Os::ServedSocket {

namespace {

int descriptorOf(Native socket) {
    return static_cast<int>(socket);
}

Wait waitFor(Native socket, short events, uint32_t timeoutMs) {
    pollfd entry{descriptorOf(socket), events, 0};
    const int limit = timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
    const int ready = poll(&entry, 1, limit);
    if (ready < 0) {
        return errno == EINTR ? Wait::Timeout : Wait::Failed;
    }
    return ready == 0 ? Wait::Timeout : Wait::Ready;
}

using AddressOf = int (*)(int, sockaddr*, socklen_t*);

bool numericAddress(Native socket, AddressOf addressOf, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (addressOf(descriptorOf(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
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
    return waitFor(socket, POLLIN, timeoutMs);
}

Wait waitWritable(Native socket, uint32_t timeoutMs) {
    return waitFor(socket, POLLOUT, timeoutMs);
}

int64_t receive(Native socket, char* bytes, size_t capacity) {
    const ssize_t got = recv(descriptorOf(socket), bytes, capacity, 0);
    return got < 0 ? -1 : got;
}

void makeNonBlocking(Native socket) {
    const int flags = fcntl(descriptorOf(socket), F_GETFL);
    if (flags >= 0) {
        fcntl(descriptorOf(socket), F_SETFL, flags | O_NONBLOCK);
    }
}

int64_t send(Native socket, const char* bytes, size_t length) {
    const ssize_t sent = ::send(descriptorOf(socket), bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
    return sent;
}

Pending discardPending(Native socket) {
    char sink[4096];
    for (;;) {
        const ssize_t got = recv(descriptorOf(socket), sink, sizeof sink, MSG_DONTWAIT);
        if (got == 0) {
            return Pending::PeerClosed;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? Pending::Drained : Pending::Failed;
        }
    }
}

void shutdownSending(Native socket) {
    shutdown(descriptorOf(socket), SHUT_WR);
}

void shutdownBoth(Native socket) {
    shutdown(descriptorOf(socket), SHUT_RDWR);
}

void close(Native socket) {
    ::close(descriptorOf(socket));
}

bool peerAddress(Native socket, std::string& ip, int& port) {
    return numericAddress(socket, getpeername, ip, port);
}

bool localAddress(Native socket, std::string& ip, int& port) {
    return numericAddress(socket, getsockname, ip, port);
}

void claimListeningPort(Native socket) {
    const int yes = 1;
    setsockopt(descriptorOf(socket), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

int lastError() {
    return errno;
}

void clearLastError() {
    errno = 0;
}

} // namespace Os::ServedSocket
