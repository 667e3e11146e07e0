// The Windows os services and serial port, run under Wine. tests/wine/with-pty-pair.sh joins COM7
// and COM8 by a null-modem pair of pseudo-terminals: the port under test is COM7 and the test
// plays the product on COM8.
#include "os/os.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"
#include "serial/serial_port_internal.h"
#include "serial/serial_port_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>

namespace {

constexpr uint32_t HangGuardMs = 5000;

// --- os services ---

TEST(OsWin32, EventsKeepOrConsumeTheirSignal) {
    struct Case {
        Os::EventReset reset;
        bool set;
        bool firstWait;
        bool secondWait;
    };
    const Case cases[] = {{Os::EventReset::Manual, true, true, true},
                          {Os::EventReset::Auto, true, true, false},
                          {Os::EventReset::Manual, false, false, false}};
    for (const Case& c : cases) {
        Os::EventHandle event = Os::createEvent(c.reset);
        ASSERT_NE(event, nullptr);
        if (c.set) {
            Os::setEvent(event);
        }
        EXPECT_EQ(Os::waitEvent(event, 0), c.firstWait);
        EXPECT_EQ(Os::waitEvent(event, 0), c.secondWait);
        Os::setEvent(event);
        Os::resetEvent(event);
        EXPECT_FALSE(Os::waitEvent(event, 0));
        Os::closeEvent(event);
    }
}

TEST(OsWin32, WaitFirstOfPrefersTheFirstEvent) {
    Os::EventHandle stop = Os::createEvent(Os::EventReset::Manual);
    Os::EventHandle data = Os::createEvent(Os::EventReset::Auto);
    EXPECT_EQ(Os::waitFirstOf(stop, data, 0), Os::WaitResult::Timeout);
    Os::setEvent(data);
    EXPECT_EQ(Os::waitFirstOf(stop, data, 0), Os::WaitResult::Second);
    Os::setEvent(data);
    Os::setEvent(stop);
    EXPECT_EQ(Os::waitFirstOf(stop, data, 0), Os::WaitResult::First);
    EXPECT_TRUE(Os::waitEvent(data, 0)); // the stop event won; data stayed set
    Os::closeEvent(stop);
    Os::closeEvent(data);
}

Os::Lock counterLock;
long counter;
constexpr long Increments = 100000;

unsigned countUnderLock() {
    for (long i = 0; i < Increments; ++i) {
        Os::enterLock(counterLock);
        counter = counter + 1;
        Os::leaveLock(counterLock);
    }
    return 0;
}

Os::EventHandle neverSet;
unsigned waitForever() {
    Os::waitEvent(neverSet, Os::Infinite);
    return 1;
}

bool threadEnds(Os::ThreadHandle thread) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(thread), HangGuardMs) == WAIT_OBJECT_0;
}

TEST(OsWin32, ThreadsRunAndLockExcludes) {
    Os::initLock(counterLock);
    uint32_t firstId = 0;
    uint32_t secondId = 0;
    Os::ThreadHandle first = Os::startThread(countUnderLock, &firstId);
    Os::ThreadHandle second = Os::startThread(countUnderLock, &secondId);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(firstId, secondId);
    Os::setTimeCriticalPriority(first);
    ASSERT_TRUE(threadEnds(first));
    ASSERT_TRUE(threadEnds(second));
    EXPECT_EQ(counter, 2 * Increments);
    Os::closeThread(first);
    Os::closeThread(second);
    Os::deleteLock(counterLock);
}

TEST(OsWin32, TerminateEndsABlockedThreadWithCodeZero) {
    neverSet = Os::createEvent(Os::EventReset::Manual);
    Os::ThreadHandle thread = Os::startThread(waitForever, nullptr);
    ASSERT_NE(thread, nullptr);
    Os::terminateThread(thread);
    ASSERT_TRUE(threadEnds(thread));
    DWORD code = 1;
    GetExitCodeThread(reinterpret_cast<HANDLE>(thread), &code);
    EXPECT_EQ(code, 0u);
    Os::closeThread(thread);
    Os::closeEvent(neverSet);
}

// --- serial port ---

TEST(SerialPortWin32, ClosedPortRefusesEverything) {
    EXPECT_FALSE(SerialPort::close());
    EXPECT_FALSE(SerialPort::write("%s", "PING"));
    EXPECT_EQ(SerialPort::open("COM97", 115200), OpenResult::NotOpened);
    EXPECT_EQ(SerialPort::lastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SerialPort::isOpen());
    EXPECT_EQ(SerialPort::dataReadyEvent(), nullptr);
    EXPECT_FALSE(SerialPort::close());
}

// The product's end of the line: COM8, plain blocking I/O, reads bounded by the hang guard.
class Loopback : public testing::Test {
  protected:
    void SetUp() override {
        product = CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(product, INVALID_HANDLE_VALUE) << "run through tests/wine/with-pty-pair.sh";
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = HangGuardMs;
        SetCommTimeouts(product, &timeouts);
        ASSERT_EQ(SerialPort::open("COM7", 115200), OpenResult::Ok);
    }
    void TearDown() override {
        SerialPort::close();
        CloseHandle(product);
    }
    std::string readUntilLineFeed() {
        std::string text;
        char byte = 0;
        DWORD count = 0;
        while (ReadFile(product, &byte, 1, &count, nullptr) && count == 1 && byte != '\n') {
            text += byte;
        }
        return text;
    }
    HANDLE product = INVALID_HANDLE_VALUE;
};

TEST_F(Loopback, WrittenTextArrivesUpToItsFirstNulAndCutAt2047) {
    const std::string long3000(3000, 'A');
    EXPECT_TRUE(SerialPort::write("%c%s %s ", '!', "DVO", "PING"));
    EXPECT_TRUE(SerialPort::write("\n"));
    EXPECT_EQ(readUntilLineFeed(), "!DVO PING ");
    EXPECT_TRUE(SerialPort::write("AB%cCD", 0));
    EXPECT_TRUE(SerialPort::write("%s", "")); // a send of 0 bytes succeeds
    EXPECT_TRUE(SerialPort::write("%s", long3000.c_str()));
    EXPECT_TRUE(SerialPort::write("\n"));
    EXPECT_EQ(readUntilLineFeed(), "AB" + std::string(2047, 'A'));
}

TEST_F(Loopback, ReceivedBytesReachTheRingInOrder) {
    std::string sent(6000, '\0'); // more than one driver read, less than the ring holds
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>('0' + i % 43);
    }
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(product, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
    bool woken = false; // the receive thread sets the data-ready event after each chunk
    const uint32_t start = Os::tickCount();
    while (ReceiveBuffer::level() < sent.size() && Os::tickCount() - start < HangGuardMs) {
        woken = Os::waitEvent(SerialPort::dataReadyEvent(), 100) || woken;
    }
    EXPECT_TRUE(woken);
    static uint8_t received[ReceiveBufferCapacity];
    Os::enterLock(receiveBuffer.lock);
    const uint16_t taken = ReceiveBuffer::get(received, sizeof received);
    Os::leaveLock(receiveBuffer.lock);
    ASSERT_EQ(taken, sent.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(received), taken), sent);
}

TEST_F(Loopback, LineRateFollowsTheTable) {
    struct Case {
        uint32_t requested;
        DWORD expected;
    };
    // 14400 has no termios rate, so Wine cannot read it back; it is left out here.
    const Case cases[] = {
        {2400, 2400}, {57600, 57600}, {115200, 115200}, {1200, 115200}, {0, 115200}};
    for (const Case& c : cases) {
        EXPECT_EQ(SerialPort::open("COM7", c.requested), OpenResult::Ok); // closes the last one
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(serialPortWin32.portHandle, &dcb)) {
            ADD_FAILURE() << c.requested << ": the port's state cannot be read";
            continue;
        }
        EXPECT_EQ(dcb.BaudRate, c.expected) << c.requested;
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    }
}

TEST_F(Loopback, ReopenAndCloseStopTheReceiveThreadPromptly) {
    ASSERT_EQ(SerialPort::open("COM7", 57600), OpenResult::Ok);
    EXPECT_TRUE(SerialPort::isOpen());
    EXPECT_TRUE(SerialPort::write("PING\n"));
    EXPECT_EQ(readUntilLineFeed(), "PING");
    const uint32_t start = Os::tickCount();
    EXPECT_TRUE(SerialPort::close());
    EXPECT_LT(Os::tickCount() - start, 4000u); // ended by its stop event, not by force
    EXPECT_EQ(serialPortState.receiveThreadEnded.load(), 1u);
    EXPECT_FALSE(SerialPort::isOpen());
    EXPECT_EQ(SerialPort::dataReadyEvent(), nullptr);
    EXPECT_FALSE(SerialPort::close());
}

} // namespace
