// The tool's one connection to the product. serial_port_win32.cpp and serial_port_posix.cpp
// implement it; serial_port.cpp holds what both share.
#pragma once

#include "os/os.h"

#include <cstddef>
#include <cstdint>

// Lets GCC and Clang check the format against its arguments; other compilers skip the check.
#if defined(__GNUC__)
#define UARTFLASH_PRINTF_FORMAT(formatIndex, firstArg)                                             \
    __attribute__((format(printf, formatIndex, firstArg)))
#else
#define UARTFLASH_PRINTF_FORMAT(formatIndex, firstArg)
#endif

enum class OpenResult : int { Ok = 0, NotOpened = 1, NotConfigured = 2 };

inline constexpr size_t TransmitTextSize = 2048;
inline constexpr size_t PortPathSize = 256;
inline constexpr size_t HolderTextSize = 256;

namespace SerialPort {

// portName: "COM5" on Windows (opened as \\.\COM5), a device path such as /dev/ttyUSB0 on POSIX.
OpenResult open(const char* portName, uint32_t baudRate);
// printf-style; the formatted text (at most 2047 characters, up to its first NUL) is sent whole.
bool write(const char* format, ...) UARTFLASH_PRINTF_FORMAT(1, 2);
bool close();
bool isOpen();
// The device went away (a bridge unplugged, the other end of a pseudo-terminal closed): noted by
// the receive thread or a failed write, cleared by open.
bool isLost();
// Set when the port is lost (nullptr: none), so that whoever waits for the product wakes at once.
void setLossEvent(Os::EventHandle event);
// Bytes sent and received since the process started.
uint64_t bytesWritten();
uint64_t bytesReceived();
Os::EventHandle dataReadyEvent();
int lastError(); // OS error code of the last failed open or write, for messages

// Another program holds the port that the last open refused, in exclusive mode: "" when that is
// not the reason, otherwise the processes that have it open ("minicom, process 4242"; several
// are separated by "; "), or "-" when none can be told.
const char* heldBy();

// The line rate used for a requested baud rate: one of the supported rates, otherwise 115200.
uint32_t lineRate(uint32_t requested);

} // namespace SerialPort
