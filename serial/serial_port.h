// The tool's one connection to the product. serial_port.cpp holds open, write and close, which
// run the transport that the port's name picks: serial_port_win32.cpp or serial_port_posix.cpp
// for a local port, remote_port.cpp for one served over the network.
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

// Why a port served over the network was not opened; None for a local port.
enum class PortRefusal : uint8_t {
    None,
    NotHostAndPort,   // the name's rest is not HOST:PORT
    UnknownHost,      // the host name does not resolve
    NameServerSilent, // no name server answered for the host, within the connect limit or at all
    ConnectionRefused,
    NoAnswer,         // no connection within the connect limit, or no route
    NotRfc2217,       // COM-PORT-OPTION refused, or no setting acknowledged
    SettingsNotTaken, // a setting acknowledged with another value, or left unacknowledged
    ConnectionClosed, // the server closed the connection while the port was being opened
    Stopped,          // a stop request (Os::interruptEvent) ended the opening, not the server
    Failed,           // any other failure of the connection
};

inline constexpr size_t TransmitTextSize = 2048;
inline constexpr size_t PortPathSize = 256;
inline constexpr size_t HolderTextSize = 256;

namespace SerialPort {

// portName: "COM5" on Windows (opened as \\.\COM5), a device path such as /dev/ttyUSB0 on POSIX;
// on both, rfc2217://HOST:PORT or socket://HOST:PORT for a port served over the network.
OpenResult open(const char* portName, uint32_t baudRate);
// Why the last open of a network port failed; None after a success or for a local port.
PortRefusal refusal();
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
