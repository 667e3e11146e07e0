// The POSIX serial port against a pseudo-terminal pair: the test plays the product on the master.
#include "serial/receive_buffer.h"
#include "serial/serial_port_internal.h"
#include "serial/serial_port_posix.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

uint32_t probeLineRate(int descriptor);

namespace {

constexpr int HangGuardMs = 3000;

class PtySerialPort : public testing::Test {
  protected:
    void SetUp() override {
        char name[PortPathSize] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        termios raw{};
        tcgetattr(master, &raw);
        cfmakeraw(&raw);
        tcsetattr(master, TCSANOW, &raw);
    }
    void TearDown() override {
        SerialPort::close();
        closeMaster();
        ::close(slave);
    }
    void closeMaster() {
        if (master >= 0) {
            ::close(master);
            master = -1;
        }
    }
    // What arrives at the master until `count` bytes or the guard runs out.
    std::string readMaster(size_t count, int guardMs = HangGuardMs) {
        std::string got;
        char chunk[4096];
        pollfd readable{master, POLLIN, 0};
        while (got.size() < count && poll(&readable, 1, guardMs) > 0) {
            const ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }
    // What the receive thread put into the ring, taken as the reply reader would.
    std::string takeFromRing(size_t count) {
        std::string got;
        uint8_t chunk[2048];
        while (got.size() < count && Os::waitEvent(SerialPort::dataReadyEvent(), HangGuardMs)) {
            const uint16_t n = ReceiveBuffer::get(chunk, sizeof chunk);
            got.append(reinterpret_cast<char*>(chunk), n);
        }
        return got;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};

TEST_F(PtySerialPort, LineRateTable) {
    const uint32_t cases[][2] = {{2400, 2400},   {4800, 4800},   {9600, 9600},    {14400, 14400},
                                 {19200, 19200}, {38400, 38400}, {57600, 57600},  {115200, 115200},
                                 {1200, 115200}, {0, 115200},    {230400, 115200}};
    for (const auto& c : cases) {
        EXPECT_EQ(SerialPort::lineRate(c[0]), c[1]) << c[0];
    }
}

TEST_F(PtySerialPort, OpenSetsRawEightNOneAtTheLineRate) {
    const uint32_t cases[][2] = {{9600, 9600}, {14400, 14400}, {1200, 115200}, {57600, 57600}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        EXPECT_EQ(SerialPort::open(path.c_str(), c[0]), OpenResult::Ok);
        const int port = SerialPortPosix::portDescriptor();
        termios line{};
        if (tcgetattr(port, &line) != 0) {
            ADD_FAILURE() << "the port is not open as a terminal";
            continue;
        }
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        EXPECT_EQ(probeLineRate(port), c[1]);
        EXPECT_TRUE(SerialPort::isOpen());
    }
}

TEST_F(PtySerialPort, CommandLineArrivesByteForByte) {
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    EXPECT_TRUE(SerialPort::write("%c%s %s ", 33, "DVO", "RECORD"));
    EXPECT_TRUE(SerialPort::write("%s\n", "S1130000\r"));
    EXPECT_TRUE(SerialPort::write("A%cB", 0)); // sent up to the NUL
    EXPECT_TRUE(SerialPort::write("%s", ""));  // nothing to send succeeds
    const std::string expected = "!DVO RECORD S1130000\r\nA";
    EXPECT_EQ(readMaster(expected.size()), expected);
}

TEST_F(PtySerialPort, LongTextIsCutAfter2047Characters) {
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    const std::string text(3000, 'x');
    EXPECT_TRUE(SerialPort::write("%s", text.c_str()));
    EXPECT_EQ(readMaster(3000, 300), std::string(2047, 'x'));
}

TEST_F(PtySerialPort, BytesFromTheProductReachTheRing) {
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    const std::string reply = "!DVO PONG\r!DVO FWID \xff\x01\n";
    ASSERT_EQ(::write(master, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    EXPECT_EQ(takeFromRing(reply.size()), reply);
}

TEST_F(PtySerialPort, PortHeldByAnotherProcessIsNotOpened) {
    int held[2];
    int release[2];
    ASSERT_EQ(pipe(held), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(release[1]);
        const int port = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        char locked =
            (port >= 0 && flock(port, LOCK_EX | LOCK_NB) == 0 && ioctl(port, TIOCEXCL) == 0) ? 'y'
                                                                                             : 'n';
        [[maybe_unused]] ssize_t io = ::write(held[1], &locked, 1);
        io = ::read(release[0], &locked, 1); // until the parent has tried
        int exclusive = 0;
        locked = ioctl(port, TIOCGEXCL, &exclusive) == 0 && exclusive != 0 ? 'x' : '-';
        ioctl(port, TIOCNXCL); // as a program that ends well leaves the port
        io = ::write(held[1], &locked, 1);
        _exit(0);
    }
    char locked = 0;
    ASSERT_EQ(::read(held[0], &locked, 1), 1);
    EXPECT_EQ(locked, 'y');
    EXPECT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::NotOpened);
    EXPECT_FALSE(SerialPort::isOpen());
    const std::string holder = "process " + std::to_string(child);
    EXPECT_NE(std::string(SerialPort::heldBy()).find(holder), std::string::npos)
        << SerialPort::heldBy();
    ::close(release[1]);
    ASSERT_EQ(::read(held[0], &locked, 1), 1);
    EXPECT_EQ(locked, 'x') << "the holder's exclusive flag was cleared";
    waitpid(child, nullptr, 0);
    EXPECT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    EXPECT_STREQ(SerialPort::heldBy(), "");
    for (int fd : {held[0], held[1], release[0]}) {
        ::close(fd);
    }
}

TEST_F(PtySerialPort, MissingOrUnconfigurablePaths) {
    EXPECT_EQ(SerialPort::open("/dev/no-such-port", 115200), OpenResult::NotOpened);
    EXPECT_EQ(SerialPort::lastError(), ENOENT);
    EXPECT_EQ(SerialPort::open("/dev/null", 115200), OpenResult::NotConfigured);
    EXPECT_FALSE(SerialPort::isOpen());
    EXPECT_EQ(SerialPort::dataReadyEvent(), nullptr);
}

TEST_F(PtySerialPort, CloseStopsTheReceiveThread) {
    EXPECT_FALSE(SerialPort::close()); // never opened
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    const uint32_t started = Os::tickCount();
    EXPECT_TRUE(SerialPort::close());
    EXPECT_LT(Os::tickCount() - started, ReceiveThreadStopLimitMs); // hang guard
    EXPECT_EQ(serialPortState.receiveThreadEnded.load(), 1u);
    EXPECT_FALSE(SerialPort::isOpen());
    EXPECT_EQ(SerialPort::dataReadyEvent(), nullptr);
    EXPECT_FALSE(SerialPort::close());
    EXPECT_FALSE(SerialPort::write("%s", "PING"));
    EXPECT_EQ(readMaster(1, 100), "");
}

TEST_F(PtySerialPort, OpeningAgainReleasesTheOldPort) {
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    int otherMaster = -1;
    int otherSlave = -1;
    char otherPath[PortPathSize] = {};
    ASSERT_EQ(openpty(&otherMaster, &otherSlave, otherPath, nullptr, nullptr), 0);
    EXPECT_EQ(SerialPort::open(otherPath, 115200), OpenResult::Ok);
    const int old = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    EXPECT_EQ(flock(old, LOCK_EX | LOCK_NB), 0); // the first port's lock is gone
    ::close(old);
    SerialPort::close();
    ::close(otherMaster);
    ::close(otherSlave);
}

// The receive path up to the reply reader: port, receive thread, ring, data-ready event.
TEST_F(PtySerialPort, BytesFromTheProductReachTheRingAndRaiseDataReady) {
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    ASSERT_EQ(::write(master, "noise!DVO PO", 12), 12);
    EXPECT_TRUE(Os::waitEvent(SerialPort::dataReadyEvent(), 3000));
    Os::sleepMs(5);
    ASSERT_EQ(::write(master, "NG\r", 3), 3);
    std::string arrived;
    const uint32_t started = Os::tickCount();
    while (arrived.size() < 15 && Os::tickCount() - started < 3000) {
        Os::waitEvent(SerialPort::dataReadyEvent(), 100);
        uint8_t bytes[64];
        const uint16_t taken = ReceiveBuffer::get(bytes, sizeof bytes);
        arrived.append(reinterpret_cast<const char*>(bytes), taken);
    }
    EXPECT_EQ(arrived, "noise!DVO PONG\r");
}

double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// A product that goes away must not leave the receive thread spinning on the hang-up.
TEST_F(PtySerialPort, VanishedProductCostsNoCpuAndFailsWrites) {
    Os::EventHandle lost = Os::createEvent(Os::EventReset::Auto);
    SerialPort::setLossEvent(lost);
    ASSERT_EQ(SerialPort::open(path.c_str(), 115200), OpenResult::Ok);
    EXPECT_FALSE(SerialPort::isLost());
    ::close(slave);
    slave = -1;
    ASSERT_EQ(::write(master, "!DVO", 4), 4);
    EXPECT_EQ(takeFromRing(4), "!DVO");
    closeMaster();
    EXPECT_TRUE(Os::waitEvent(lost, 2000)) << "the loss woke nobody";
    EXPECT_TRUE(SerialPort::isLost());
    SerialPort::setLossEvent(nullptr);
    Os::closeEvent(lost);
    const double before = processCpuMs();
    Os::sleepMs(300);
    EXPECT_LT(processCpuMs() - before, 100.0);
    EXPECT_FALSE(SerialPort::write("%s", "PING"));
    EXPECT_TRUE(SerialPort::close());
}

} // namespace
