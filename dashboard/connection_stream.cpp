// The waits go in short slices so that a stop ends them within a slice even where shutting the
// socket down wakes no waiting thread.
#include "dashboard/connection_stream.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t SliceMs = 100;

} // namespace

ConnectionStream::ConnectionStream(Os::ServedSocket::Native socket,
                                   const std::atomic<bool>& closing)
    : socket_(socket), closing_(closing) {}

bool ConnectionStream::ready(bool forWriting) const {
    using Os::ServedSocket::Wait;
    for (uint32_t waited = 0; waited < LimitMs; waited += SliceMs) {
        if (closing_.load(std::memory_order_acquire)) {
            return false;
        }
        const Wait wait = forWriting ? Os::ServedSocket::waitWritable(socket_, SliceMs)
                                     : Os::ServedSocket::waitReadable(socket_, SliceMs);
        if (wait != Wait::Timeout) {
            return wait == Wait::Ready;
        }
    }
    return false;
}

bool ConnectionStream::is_readable() const {
    return begin_ < end_ || ready(false);
}

bool ConnectionStream::is_writable() const {
    return ready(true);
}

ssize_t ConnectionStream::read(char* bytes, size_t size) {
    if (begin_ == end_) {
        if (received_ >= RequestLimit || !ready(false)) {
            return -1;
        }
        const size_t room = std::min(buffer_.size(), RequestLimit - received_);
        const int64_t got = Os::ServedSocket::receive(socket_, buffer_.data(), room);
        if (got <= 0) {
            return static_cast<ssize_t>(got);
        }
        begin_ = 0;
        end_ = static_cast<size_t>(got);
        received_ += end_;
    }
    const size_t count = std::min(size, end_ - begin_);
    std::memcpy(bytes, buffer_.data() + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
}

ssize_t ConnectionStream::write(const char* bytes, size_t size) {
    if (!ready(true)) {
        return -1;
    }
    return static_cast<ssize_t>(Os::ServedSocket::send(socket_, bytes, size));
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    Os::ServedSocket::peerAddress(socket_, ip, port);
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    Os::ServedSocket::localAddress(socket_, ip, port);
}

socket_t ConnectionStream::socket() const {
    return static_cast<socket_t>(socket_);
}
