// The serial module's Windows objects, shared by serial_port_win32.cpp (open, write, close) and
// receive_thread_win32.cpp (the receive loop). Only these two files include it.
#pragma once

#include "os/os.h"

#include <windows.h>

struct SerialPortWin32State {
    HANDLE portHandle = INVALID_HANDLE_VALUE; // invalid whenever no port is open
    OVERLAPPED readOverlapped{};              // its event manual-reset
    OVERLAPPED commWaitOverlapped{};          // its event auto-reset
    OVERLAPPED writeOverlapped{};             // its event manual-reset
};

extern SerialPortWin32State serialPortWin32;

// os_win32.cpp's event handles are the kernel32 handles themselves.
inline HANDLE win32Handle(Os::EventHandle event) {
    return reinterpret_cast<HANDLE>(event);
}
inline Os::EventHandle osEvent(HANDLE event) {
    return reinterpret_cast<Os::EventHandle>(event);
}

// Errors with which Windows reports a COM port whose device has gone (a USB bridge unplugged).
bool isDeviceGoneError(DWORD error);
