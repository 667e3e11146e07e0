// The receive thread on POSIX: poll the port and the stop event, move what is queued into the
// ring chunk by chunk, and wake the reply reader after each chunk.
#include "os/os_posix.h"
#include "serial/serial_port_internal.h"
#include "serial/serial_port_posix.h"

#include <cerrno>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Handles {
    int descriptor = -1;
    Os::EventHandle dataReady = nullptr;
    Os::EventHandle stop = nullptr;
};

Handles handed; // written before the thread starts, copied by it as it starts

// Only the receive thread touches these.
thread_local Handles own;
// Set when the device reports end of file or an error: it has gone (a USB bridge unplugged, the
// other end of a pseudo-terminal closed).
thread_local bool portGone = false;

bool readFailed(ssize_t result) {
    return result == 0 || (result < 0 && errno != EAGAIN && errno != EINTR);
}

void putChunk(uint16_t count) {
    // A chunk that does not fit is dropped whole; the reader is woken all the same.
    ReceiveBuffer::put(serialPortState.readChunk, count);
    serialPortState.bytesReceived.fetch_add(count, std::memory_order_relaxed);
    Os::setEvent(own.dataReady);
}

// poll said readable but FIONREAD found nothing: either end of file (a hang-up) or a wake-up
// with nothing behind it. One direct read tells them apart, so the loop cannot spin.
void probe() {
    const ssize_t got = read(own.descriptor, serialPortState.readChunk, ReadChunkLimit);
    if (got > 0) {
        putChunk(static_cast<uint16_t>(got));
    } else if (readFailed(got)) {
        portGone = true;
    }
}

// Returns false once the device has gone.
bool drain(short events) {
    bool anyRead = false;
    for (uint16_t count = ReceiveThread::readAvailable(); count > 0;
         count = ReceiveThread::readAvailable()) {
        putChunk(count);
        anyRead = true;
    }
    if (!anyRead && !portGone) {
        probe();
    }
    const bool hungUp = !anyRead && (events & POLLHUP) != 0; // nothing more will come
    return !portGone && !hungUp && (events & (POLLERR | POLLNVAL)) == 0;
}

} // namespace

namespace ReceiveThreadPosix {

void handOver(int descriptor, Os::EventHandle dataReady, Os::EventHandle stop) {
    handed = Handles{descriptor, dataReady, stop};
}

} // namespace ReceiveThreadPosix

namespace ReceiveThread {

uint16_t readAvailable() {
    int queued = 0;
    if (ioctl(own.descriptor, FIONREAD, &queued) != 0 || queued <= 0) {
        return 0;
    }
    const size_t count = queued > ReadChunkLimit ? ReadChunkLimit : static_cast<size_t>(queued);
    const ssize_t got = read(own.descriptor, serialPortState.readChunk, count);
    if (got > 0) {
        return static_cast<uint16_t>(got);
    }
    if (readFailed(got)) {
        portGone = true;
    }
    return 0;
}

unsigned run() {
    own = handed;
    portGone = false;
    pollfd watched[2] = {{Os::eventDescriptor(own.stop), POLLIN, 0}, {own.descriptor, POLLIN, 0}};
    nfds_t watchedCount = 2;
    for (;;) {
        if (poll(watched, watchedCount, -1) < 0) {
            if (errno != EINTR) {
                Os::sleepMs(10); // not expected; never spin on it
            }
            continue;
        }
        if (watched[0].revents != 0) {
            break; // the stop event, which stays set
        }
        if (watchedCount == 2 && watched[1].revents != 0 && !drain(watched[1].revents)) {
            watchedCount = 1; // the device has gone: say so, then wait for the stop event alone
            SerialPort::markLost();
        }
    }
    serialPortState.receiveThreadEnded.store(1, std::memory_order_release);
    return 0;
}

} // namespace ReceiveThread
