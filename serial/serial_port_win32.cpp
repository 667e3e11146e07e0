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

HANDLE unnamedEvent(BOOL manualReset) {
    return CreateEventA(nullptr, manualReset, FALSE, nullptr);
}

void closeIfSet(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

void closeIfSet(Os::EventHandle& event) {
    HANDLE handle = win32Handle(event);
    closeIfSet(handle);
    event = nullptr;
}

// The port handle and the five events, each only if it was made.
void releaseHandles() {
    SerialPortWin32State& win = serialPortWin32;
    if (win.portHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(win.portHandle);
        win.portHandle = INVALID_HANDLE_VALUE;
    }
    closeIfSet(win.readOverlapped.hEvent);
    closeIfSet(win.commWaitOverlapped.hEvent);
    closeIfSet(win.writeOverlapped.hEvent);
    closeIfSet(serialPortState.dataReadyEvent);
    closeIfSet(serialPortState.stopEvent);
}

// Binary 8N1, no flow control of any kind, DTR and RTS held off; the rest as the driver has it.
void setLine(DCB& dcb, uint32_t baudRate) {
    dcb.BaudRate = SerialPort::lineRate(baudRate);
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

bool configure(HANDLE port, uint32_t baudRate) {
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
    setLine(dcb, baudRate);
    return SetCommState(port, &dcb) != 0;
}

void createEvents() {
    SerialPortWin32State& win = serialPortWin32;
    win.readOverlapped = OVERLAPPED{};
    win.commWaitOverlapped = OVERLAPPED{};
    win.writeOverlapped = OVERLAPPED{};
    win.readOverlapped.hEvent = unnamedEvent(TRUE);
    win.commWaitOverlapped.hEvent = unnamedEvent(FALSE);
    win.writeOverlapped.hEvent = unnamedEvent(TRUE);
    serialPortState.dataReadyEvent = osEvent(unnamedEvent(FALSE));
    serialPortState.stopEvent = osEvent(unnamedEvent(TRUE));
}

DWORD WINAPI receiveThreadEntry(LPVOID) {
    return ReceiveThread::run();
}

void startReceiveThread() {
    SerialPortState& port = serialPortState;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, receiveThreadEntry, nullptr, 0, &id);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    port.receiveThread = reinterpret_cast<Os::ThreadHandle>(thread);
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

namespace SerialPort {

OpenResult open(const char* portName, uint32_t baudRate) {
    SerialPortState& port = serialPortState;
    if (port.portOpen.load(std::memory_order_acquire) != 0) {
        close();
    }
    std::snprintf(portPath, sizeof portPath, "\\\\.\\%s", portName);
    ReceiveBuffer::reset();
    HANDLE handle = CreateFileA(portPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    serialPortWin32.portHandle = handle;
    if (handle == INVALID_HANDLE_VALUE) {
        port.lastError = static_cast<int>(GetLastError());
        releaseHandles();
        return OpenResult::NotOpened;
    }
    if (!configure(handle, baudRate)) {
        port.lastError = static_cast<int>(GetLastError());
        releaseHandles();
        return OpenResult::NotConfigured;
    }
    createEvents();
    port.portLost.store(0, std::memory_order_release);
    startReceiveThread();
    Os::initLock(port.writeLock);
    port.portOpen.store(1, std::memory_order_release);
    port.receiveThreadEnded.store(0, std::memory_order_release);
    return OpenResult::Ok;
}

bool write(const char* format, ...) {
    SerialPortState& port = serialPortState;
    if (port.portOpen.load(std::memory_order_acquire) == 0) {
        return false;
    }
    va_list arguments;
    va_start(arguments, format);
    formatTransmitText(format, arguments);
    va_end(arguments);

    Os::enterLock(port.writeLock);
    HANDLE handle = serialPortWin32.portHandle;
    const DWORD length = static_cast<DWORD>(std::strlen(port.transmitText));
    DWORD written = 0;
    bool sent = WriteFile(handle, port.transmitText, length, &written,
                          &serialPortWin32.writeOverlapped) != 0 ||
                completeWrite(handle, written);
    if (!sent) {
        port.lastError = static_cast<int>(GetLastError());
        if (isDeviceGoneError(static_cast<DWORD>(port.lastError))) {
            markLost();
        }
        DWORD errors = 0;
        COMSTAT status{};
        ClearCommError(handle, &errors, &status);
    }
    Os::leaveLock(port.writeLock);
    port.bytesWritten.fetch_add(sent ? written : 0, std::memory_order_relaxed);
    return sent;
}

bool close() {
    SerialPortState& port = serialPortState;
    if (port.portOpen.load(std::memory_order_acquire) == 0) {
        return false;
    }
    stopReceiveThread();
    Os::closeThread(port.receiveThread); // it has ended or been ended by now
    port.receiveThread = nullptr;
    HANDLE handle = serialPortWin32.portHandle;
    SetCommMask(handle, 0); // ends the comm-event wait the thread left pending
    PurgeComm(handle, PurgeAll);
    Os::deleteLock(port.writeLock);
    releaseHandles();
    port.portOpen.store(0, std::memory_order_release);
    return true;
}

} // namespace SerialPort
