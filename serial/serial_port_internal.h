// What the platform files of the serial module share: the module's single record and the helpers
// both platforms use. Only serial/ includes this; platform handles stay in each platform file.
#pragma once

#include "os/os.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

inline constexpr uint32_t ReceiveThreadStopLimitMs = 5000;

struct PortTransport;

struct SerialPortState {
    // 1 from the end of a successful open until the end of close; read by the reply reader.
    std::atomic<uint32_t> portOpen{0};
    // 1 whenever no receive thread runs; the receive thread stores 1 (release) as it ends.
    std::atomic<uint32_t> receiveThreadEnded{1};
    std::atomic<uint32_t> portLost{0};
    std::atomic<uint64_t> bytesWritten{0}; // since the process started, for line-use figures
    std::atomic<uint64_t> bytesReceived{0};
    std::atomic<Os::EventHandle> lossEvent{nullptr};
    const PortTransport* transport = nullptr; // chosen by open from the port's name
    PortRefusal refusal = PortRefusal::None;  // why a network port was not opened
    Os::ThreadHandle receiveThread = nullptr;
    Os::EventHandle stopEvent = nullptr;           // manual-reset; close sets it
    Os::EventHandle dataReadyEvent = nullptr;      // auto-reset; set after each chunk put
    Os::Lock writeLock{};                          // held by write around the send
    int lastError = 0;                             // OS code of the last failed open or write
    char heldBy[HolderTextSize] = {};              // see SerialPort::heldBy
    char transmitText[TransmitTextSize] = {};      // the text of the write in progress
    uint8_t readChunk[ReceiveBufferCapacity] = {}; // one read, at most ReadChunkLimit bytes
};

extern SerialPortState serialPortState;

namespace SerialPort {

// Zeroes transmitText and formats into it, cut after 2047 characters (vsnprintf semantics).
// Returns the length to send: the characters before the first NUL.
size_t formatTransmitText(const char* format, va_list arguments) UARTFLASH_PRINTF_FORMAT(1, 0);

// Close's bounded stop: clears receiveThreadEnded, sets stopEvent, polls the flag for at most
// ReceiveThreadStopLimitMs by Os::tickCount and ends the thread by force (Os::terminateThread)
// when it has not ended by then. Returns true when the thread ended by itself.
bool stopReceiveThread();

// The device has gone: noted once, and the loss event set.
void markLost();

} // namespace SerialPort

// What became of the receive thread when the device was closed: gone, so the events can be
// closed too, or left running (stopped by force where the platform cannot end a thread), so
// they are left to it.
enum class ReceiverFate : uint8_t { Gone, LeftRunning };

// One way of reaching the product, picked by SerialPort::open from the port's name: the local
// port, or a port served over the network (remote_port.cpp). serial_port.cpp holds the open,
// write and close that run them. Each operation sets serialPortState.lastError when it fails.
struct PortTransport {
    bool (*openDevice)(const char* portName); // exclusive; false: not opened
    bool (*configure)(uint32_t lineRate);     // 8N1, no flow control, DTR and RTS off
    bool (*prepareReceiving)();               // what the receive thread needs besides events
    // Whole or not at all; a device or connection that has gone marks the port lost.
    bool (*send)(const char* text, size_t length);
    void (*quiesce)(); // the thread has stopped: drop what is queued
    // Closes the device. threadEnded false: the receive thread was stopped by force, and where
    // the platform cannot end a thread (POSIX) it may still run: the device is left to it then.
    ReceiverFate (*closeDevice)(bool threadEnded);
    Os::ThreadBody receive; // the receive thread's body
};

extern const PortTransport LocalTransport;   // the hooks below and ReceiveThread::run
extern const PortTransport Rfc2217Transport; // rfc2217://HOST:PORT
extern const PortTransport RawTcpTransport;  // socket://HOST:PORT

// The local port's operations, one implementation per platform file.
namespace PortHooks {

bool openDevice(const char* portName);      // exclusive; false: not opened
bool configure(uint32_t lineRate);          // 8N1, no flow control, DTR and RTS off
bool prepareReceiving();                    // what the receive thread needs besides the events
bool send(const char* text, size_t length); // whole or not at all; a gone device marks it lost
void quiesce();                             // the thread has stopped: drop what the driver holds
ReceiverFate closeDevice(bool threadEnded); // as PortTransport::closeDevice

} // namespace PortHooks

// The receive thread's body and its read; one implementation per platform.
namespace ReceiveThread {

unsigned run();
// Reads what the device has queued into readChunk; returns 0 to ReadChunkLimit bytes.
uint16_t readAvailable();

} // namespace ReceiveThread
