#include "sim_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace SimLine {
namespace {

constexpr uint64_t SplitGapNs = 500'000;
constexpr uint64_t SpinNs = 60'000;
// Bytes before a reply's last one are written in bursts at least this far apart: the tool acts
// only on a whole reply, and a USB bridge delivers in packets anyway. Fewer wake-ups and no
// spinning per byte leave the processor to the tool and other simulated products.
constexpr uint64_t BurstNs = 500'000;
constexpr int WriteStallMs = 1000; // a reader that takes nothing for this long is gone

struct LineState {
    int fd = -1;
    int otherEnd = -1; // our own handle on the pseudo-terminal's slave end
    uint64_t byteNs = 0;
    bool split = false;
    uint64_t receiveClock = 0;
    uint64_t sendClock = 0;
    int alsoFd = -1; // another source of work, such as the fixture's control file
};
LineState line;

bool makeRaw(int fd, speed_t speed) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

speed_t speedOf(uint32_t baud) {
    switch (baud) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 921600:
        return B921600;
    default:
        return B115200;
    }
}

bool writeByteRun(const char* bytes, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(line.fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd p{line.fd, POLLOUT, 0};
        if (poll(&p, 1, WriteStallMs) <= 0 || (p.revents & (POLLERR | POLLHUP)))
            return false;
    }
    return true;
}

} // namespace

uint64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Sleeps to the deadline without watching the clock: a late wake-up only delays a byte that is
// not the last of its reply.
void napUntil(uint64_t deadlineNs) {
    const timespec ts{static_cast<time_t>(deadlineNs / 1'000'000'000u),
                      static_cast<long>(deadlineNs % 1'000'000'000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

void sleepUntil(uint64_t deadlineNs) {
    // A sleep wakes some tens of microseconds late, which a paced byte (87 us at 115200) cannot
    // afford: sleep to just short of the deadline, then watch the clock.
    if (nowNs() >= deadlineNs)
        return;
    if (deadlineNs > SpinNs) {
        const uint64_t wakeNs = deadlineNs - SpinNs;
        const timespec ts{static_cast<time_t>(wakeNs / 1'000'000'000u),
                          static_cast<long>(wakeNs % 1'000'000'000u)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    while (nowNs() < deadlineNs) {
    }
}

bool openPseudoTerminal(char* path, size_t capacity) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, path, capacity) != 0) {
        std::perror("uartflash-sim: pseudo-terminal");
        return false;
    }
    const int slave = ::open(path, O_RDWR);
    if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0 || !makeRaw(slave, B115200)) {
        std::perror("uartflash-sim: pseudo-terminal's other end");
        return false;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    line.fd = master;
    line.otherEnd = slave;
    return true;
}

bool openDevice(const char* path, uint32_t baud) {
    line.fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line.fd < 0 || (isatty(line.fd) && !makeRaw(line.fd, speedOf(baud)))) {
        std::fprintf(stderr, "uartflash-sim: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    return true;
}

void configure(uint32_t baud, bool split) {
    line.byteNs = baud ? 10'000'000'000ull / baud : 0;
    line.split = split;
}

void releaseOtherEnd() {
    if (line.otherEnd >= 0)
        ::close(line.otherEnd);
    line.otherEnd = -1;
}

void close() {
    releaseOtherEnd();
    if (line.fd >= 0)
        ::close(line.fd);
    line.fd = -1;
}

void wakeAlsoOn(int fd) {
    line.alsoFd = fd;
}

WaitResult receive(uint8_t* bytes, size_t capacity, size_t& received, int timeoutMs,
                   uint64_t& arrivalNs) {
    received = 0;
    pollfd p[2] = {{line.fd, POLLIN, 0}, {line.alsoFd, POLLIN, 0}}; // poll skips a negative fd
    const int ready = poll(p, 2, timeoutMs);
    if (ready < 0)
        return errno == EINTR ? WaitResult::Interrupted : WaitResult::Closed;
    if (p[0].revents == 0)
        return WaitResult::Idle;
    const ssize_t n = ::read(line.fd, bytes, capacity);
    arrivalNs = nowNs();
    if (n > 0) {
        received = static_cast<size_t>(n);
        return WaitResult::Data;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return WaitResult::Idle;
    return WaitResult::Closed; // end of file, or EIO once the other end is closed
}

uint64_t byteArrived(uint64_t arrivalNs) {
    if (line.byteNs == 0)
        return arrivalNs;
    line.receiveClock =
        (line.receiveClock > arrivalNs ? line.receiveClock : arrivalNs) + line.byteNs;
    return line.receiveClock;
}

bool send(const char* bytes, size_t length, uint64_t& lastByteNs) {
    if (line.byteNs == 0 && !line.split) {
        const bool sent = writeByteRun(bytes, length);
        lastByteNs = nowNs();
        return sent;
    }
    // Each byte is due when a UART would have sent it, back to back: each deadline follows from the
    // first, so a late wake-up delays some bytes, not every byte after them. Bytes before the last
    // go out in bursts once due (one per write when split); the last waits for its exact time.
    if (length == 0)
        return true;
    const auto gap = [](size_t i) { return line.split && i > 0 ? SplitGapNs : 0; };
    const uint64_t now = nowNs();
    uint64_t due = line.sendClock > now ? line.sendClock : now; // the previous byte's deadline
    uint64_t lastDue = due;
    for (size_t i = 0; i < length; ++i)
        lastDue += line.byteNs + gap(i);
    const uint64_t lastWake = lastDue > SpinNs ? lastDue - SpinNs : 0;
    uint64_t woke = now;
    size_t i = 0;
    while (i + 1 < length) {
        const uint64_t next = due + line.byteNs + gap(i);
        const uint64_t spacing = line.split ? 0 : BurstNs; // split keeps its gaps between bytes
        const uint64_t burst = woke + spacing < lastWake ? woke + spacing : lastWake;
        napUntil(next > burst ? next : burst);
        woke = nowNs();
        const size_t first = i;
        for (; i + 1 < length && due + line.byteNs + gap(i) <= woke; ++i) {
            due += line.byteNs + gap(i);
            if (line.split && !writeByteRun(bytes + i, 1))
                return false;
        }
        if (!line.split && !writeByteRun(bytes + first, i - first))
            return false;
    }
    due = lastDue;
    sleepUntil(due);
    if (!writeByteRun(bytes + length - 1, 1))
        return false;
    line.sendClock = due;
    lastByteNs = nowNs();
    return true;
}

} // namespace SimLine
