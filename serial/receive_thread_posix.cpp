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

// Set when the device reports end of file or an error: it has gone (a USB bridge unplugged, the
// other end of a pseudo-terminal closed). Only the receive thread touches it.
bool portGone = false;

bool readFailed(ssize_t result) {
    return result == 0 || (result < 0 && errno != EAGAIN && errno != EINTR);
}

void putChunk(uint16_t count) {
    // A chunk that does not fit is dropped whole; the reader is woken all the same.
    ReceiveBuffer::put(serialPortState.readChunk, count);
    Os::setEvent(serialPortState.dataReadyEvent);
}

// poll said readable but FIONREAD found nothing: either end of file (a hang-up) or a wake-up
// with nothing behind it. One direct read tells them apart, so the loop cannot spin.
void probe(int port) {
    const ssize_t got = read(port, serialPortState.readChunk, ReadChunkLimit);
    if (got > 0) {
        putChunk(static_cast<uint16_t>(got));
    } else if (readFailed(got)) {
        portGone = true;
    }
}

// Returns false once the device has gone.
bool drain(int port, short events) {
    bool anyRead = false;
    for (uint16_t count = ReceiveThread::readAvailable(); count > 0;
         count = ReceiveThread::readAvailable()) {
        putChunk(count);
        anyRead = true;
    }
    if (!anyRead && !portGone) {
        probe(port);
    }
    const bool hungUp = !anyRead && (events & POLLHUP) != 0; // nothing more will come
    return !portGone && !hungUp && (events & (POLLERR | POLLNVAL)) == 0;
}

} // namespace

namespace ReceiveThread {

uint16_t readAvailable() {
    const int port = SerialPortPosix::portDescriptor();
    int queued = 0;
    if (ioctl(port, FIONREAD, &queued) != 0 || queued <= 0) {
        return 0;
    }
    const size_t count = queued > ReadChunkLimit ? ReadChunkLimit : static_cast<size_t>(queued);
    const ssize_t got = read(port, serialPortState.readChunk, count);
    if (got > 0) {
        return static_cast<uint16_t>(got);
    }
    if (readFailed(got)) {
        portGone = true;
    }
    return 0;
}

unsigned run() {
    portGone = false;
    const int port = SerialPortPosix::portDescriptor();
    pollfd watched[2] = {{Os::eventDescriptor(serialPortState.stopEvent), POLLIN, 0},
                         {port, POLLIN, 0}};
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
        if (watchedCount == 2 && watched[1].revents != 0 && !drain(port, watched[1].revents)) {
            watchedCount = 1; // the device has gone: wait for the stop event alone
        }
    }
    serialPortState.receiveThreadEnded.store(1, std::memory_order_release);
    return 0;
}

} // namespace ReceiveThread
