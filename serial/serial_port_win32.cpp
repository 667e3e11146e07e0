// SerialPort on Windows: an exclusive, overlapped COM port at 8N1 with no flow control and DTR
// and RTS off, and the receive thread that feeds the receive buffer.
#include "serial/serial_port_win32.h"
#include "serial/serial_port_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

SerialPortWin32State serialPortWin32;

namespace {

constexpr DWORD DriverQueueSize = 1024;
constexpr DWORD PurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
static_assert(PurgeAll == 0x0F);
static_assert(sizeof(DCB) == 28, "DCBlength is 28 on every Windows target");

char portPath[PortPathSize]; // "\\.\COMn": the device namespace also reaches COM10 and above

void closeIfSet(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// Binary 8N1, no flow control of any kind, DTR and RTS held off; the rest as the driver has it.
void setLine(DCB& dcb, uint32_t lineRate) {
    dcb.BaudRate = lineRate;
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
}

bool configurePort(HANDLE port, uint32_t lineRate) {
    if (!SetCommMask(port, EV_RXCHAR) || !SetupComm(port, DriverQueueSize, DriverQueueSize)) {
        return false;
    }
    PurgeComm(port, PurgeAll);
    COMMTIMEOUTS timeouts{}; // all zero: no time-out on reads or writes
    SetCommTimeouts(port, &timeouts);
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port, &dcb)) {
        return false;
    }
    setLine(dcb, lineRate);
    return SetCommState(port, &dcb) != 0;
}

// Waits for a pending send; false on any failure other than "still under way".
bool completeWrite(HANDLE port, DWORD& written) {
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    while (!GetOverlappedResult(port, &serialPortWin32.writeOverlapped, &written, TRUE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            return false;
        }
    }
    return true;
}

} // namespace

bool isDeviceGoneError(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY: // Wine's word for a device whose line has hung up
        return true;
    default:
        return false;
    }
}

namespace PortHooks {

bool openDevice(const char* portName) {
    std::snprintf(portPath, sizeof portPath, "\\\\.\\%s", portName);
    serialPortWin32.portHandle =
        CreateFileA(portPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (serialPortWin32.portHandle == INVALID_HANDLE_VALUE) {
        serialPortState.lastError = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

bool configure(uint32_t lineRate) {
    if (!configurePort(serialPortWin32.portHandle, lineRate)) {
        serialPortState.lastError = static_cast<int>(GetLastError());
        return false;
    }
    return true;
}

// The overlapped operations' events, made like every other event of the tool.
bool prepareReceiving() {
    SerialPortWin32State& win = serialPortWin32;
    win.readOverlapped = OVERLAPPED{};
    win.commWaitOverlapped = OVERLAPPED{};
    win.writeOverlapped = OVERLAPPED{};
    win.readOverlapped.hEvent = win32Handle(Os::createEvent(Os::EventReset::Manual));
    win.commWaitOverlapped.hEvent = win32Handle(Os::createEvent(Os::EventReset::Auto));
    win.writeOverlapped.hEvent = win32Handle(Os::createEvent(Os::EventReset::Manual));
    return win.readOverlapped.hEvent != nullptr && win.commWaitOverlapped.hEvent != nullptr &&
           win.writeOverlapped.hEvent != nullptr;
}

bool send(const char* text, size_t length) {
    HANDLE handle = serialPortWin32.portHandle;
    DWORD written = 0;
    const bool sent = WriteFile(handle, text, static_cast<DWORD>(length), &written,
                                &serialPortWin32.writeOverlapped) != 0 ||
                      completeWrite(handle, written);
    if (!sent) {
        serialPortState.lastError = static_cast<int>(GetLastError());
        if (isDeviceGoneError(static_cast<DWORD>(serialPortState.lastError))) {
            SerialPort::markLost();
        }
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(handle, &errors, &status);
    }
    return sent;
}

void quiesce() {
    HANDLE handle = serialPortWin32.portHandle;
    SetCommMask(handle, 0); // ends the comm-event wait the thread left pending
    PurgeComm(handle, PurgeAll);
}

// A thread that did not stop in time was ended by TerminateThread: nothing uses the handles.
ReceiverFate closeDevice(bool /*threadEnded*/) {
    SerialPortWin32State& win = serialPortWin32;
    if (win.portHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(win.portHandle);
        win.portHandle = INVALID_HANDLE_VALUE;
    }
    closeIfSet(win.readOverlapped.hEvent);
    closeIfSet(win.commWaitOverlapped.hEvent);
    closeIfSet(win.writeOverlapped.hEvent);
    return ReceiverFate::Gone;
}

} // namespace PortHooks
