// The serial port on POSIX: a terminal device opened exclusively, raw 8N1 without flow control,
// read by the receive thread through poll.
#include "serial/serial_port_posix.h"
#include "serial/serial_port_internal.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int portDescriptor = -1;
bool exclusiveSet = false; // TIOCEXCL is ours to clear only when this process set it
char portPath[PortPathSize] = {};
// A write that cannot get a byte out for this long fails instead of hanging the session.
constexpr int WriteStallLimitMs = 2000;

struct RateConstant {
    uint32_t rate;
    speed_t constant;
};

// 14400 has no constant and goes through setCustomLineRate.
constexpr RateConstant RateConstants[] = {{2400, B2400},    {4800, B4800},   {9600, B9600},
                                          {19200, B19200},  {38400, B38400}, {57600, B57600},
                                          {115200, B115200}};

bool rateConstant(uint32_t rate, speed_t& constant) {
    for (const RateConstant& entry : RateConstants) {
        if (entry.rate == rate) {
            constant = entry.constant;
            return true;
        }
    }
    return false;
}

bool failWith(int error) {
    serialPortState.lastError = error;
    return false;
}

bool refuseHeld(int descriptor) {
    SerialPortPosix::describeHolder(descriptor, serialPortState.heldBy, HolderTextSize);
    return failWith(EBUSY);
}

// An ordinary user's open of a port in exclusive mode fails with EBUSY: the device is looked up
// without opening it.
bool refuseHeldPath(const char* path) {
    const int probe = ::open(path, O_PATH | O_CLOEXEC);
    SerialPortPosix::describeHolder(probe, serialPortState.heldBy, HolderTextSize);
    if (probe >= 0) {
        ::close(probe);
    }
    return failWith(EBUSY);
}

// Another process holding the port (by flock, or TIOCEXCL for other programs) makes this fail.
// Root opens a port in exclusive mode anyway, so the mode itself is asked for: a session of
// another program is never taken over.
bool openExclusive(const char* path) {
    portDescriptor = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (portDescriptor < 0) {
        return errno == EBUSY ? refuseHeldPath(path) : failWith(errno);
    }
    int held = 0;
    if (ioctl(portDescriptor, TIOCGEXCL, &held) == 0 && held != 0) {
        return refuseHeld(portDescriptor);
    }
    if (flock(portDescriptor, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? refuseHeld(portDescriptor) : failWith(errno);
    }
    // Keeps out programs that do not use flock; a non-terminal fails later, in configuration.
    exclusiveSet = ioctl(portDescriptor, TIOCEXCL) == 0;
    return true;
}

bool setLine(uint32_t rate) {
    termios settings{};
    if (tcgetattr(portDescriptor, &settings) != 0) {
        return failWith(errno);
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    speed_t constant = B38400; // placeholder until the custom rate is set
    const bool standard = rateConstant(rate, constant);
    if (cfsetispeed(&settings, constant) != 0 || cfsetospeed(&settings, constant) != 0 ||
        tcsetattr(portDescriptor, TCSANOW, &settings) != 0) {
        return failWith(errno);
    }
    if (!standard && !SerialPortPosix::setCustomLineRate(portDescriptor, rate)) {
        return failWith(errno);
    }
    return true;
}

// A pseudo-terminal has no modem lines; that is not a failure.
bool dropModemLines() {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(portDescriptor, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        return failWith(errno);
    }
    return true;
}

bool deviceGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

bool writeFailed(int error) {
    if (deviceGone(error)) {
        SerialPort::markLost();
    }
    return failWith(error);
}

// Waits for room when the driver's queue is full; a write completes whole or fails, and fails
// when the device has gone or takes no byte for WriteStallLimitMs.
bool sendAll(const char* text, size_t length) {
    size_t sent = 0;
    while (sent < length) {
        const ssize_t written = ::write(portDescriptor, text + sent, length - sent);
        if (written > 0) {
            sent += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            return writeFailed(errno);
        }
        pollfd room{portDescriptor, POLLOUT, 0};
        const int ready = poll(&room, 1, WriteStallLimitMs);
        if (ready == 0) {
            return failWith(ETIMEDOUT);
        }
        if ((ready < 0 && errno != EINTR) || (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return writeFailed(EIO);
        }
    }
    return true;
}

} // namespace

namespace SerialPortPosix {

int portDescriptor() {
    return ::portDescriptor;
}

} // namespace SerialPortPosix

namespace PortHooks {

bool openDevice(const char* portName) {
    const int pathLength = std::snprintf(portPath, sizeof portPath, "%s", portName);
    if (pathLength < 0 || static_cast<size_t>(pathLength) >= sizeof portPath) {
        return failWith(ENAMETOOLONG);
    }
    return openExclusive(portPath);
}

bool configure(uint32_t lineRate) {
    if (!setLine(lineRate) || !dropModemLines()) {
        return false;
    }
    tcflush(portDescriptor, TCIOFLUSH);
    return true;
}

bool prepareReceiving() {
    ReceiveThreadPosix::handOver(portDescriptor, serialPortState.dataReadyEvent,
                                 serialPortState.stopEvent);
    return true;
}

bool send(const char* text, size_t length) {
    return sendAll(text, length);
}

void quiesce() {
    tcflush(portDescriptor, TCIOFLUSH);
}

ReceiverFate closeDevice(bool threadEnded) {
    if (!threadEnded) {
        // An abandoned thread may still poll and read the descriptor: leave it open rather than
        // let its number be reused under it.
        portDescriptor = -1;
        exclusiveSet = false;
        return ReceiverFate::LeftRunning;
    }
    if (portDescriptor >= 0) {
        if (exclusiveSet) {
            ioctl(portDescriptor, TIOCNXCL); // it would outlive us on a pty whose master stays
        }
        ::close(portDescriptor); // also drops the flock
        portDescriptor = -1;
    }
    exclusiveSet = false;
    return ReceiverFate::Gone;
}

} // namespace PortHooks
