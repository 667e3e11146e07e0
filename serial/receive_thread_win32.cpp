// The receive thread on Windows: waits for the driver's "character arrived", reads exactly what is
// queued and moves each chunk into the receive buffer, waking the reply reader.
#include "serial/serial_port_internal.h"
#include "serial/serial_port_win32.h"

namespace {

// Module-lifetime, not on the thread's stack: the last comm-event wait is still pending when the
// thread ends, and its completion (close clears the mask) writes the event mask afterwards.
DWORD eventMask;
DWORD readCount;

constexpr DWORD FailedWaitPauseMs = 10;

// Set by the receive thread alone when a call fails in the way of a device that has gone.
bool deviceGone = false;

void noteFailure() {
    deviceGone = deviceGone || isDeviceGoneError(GetLastError());
}

void clearCommError() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(serialPortWin32.portHandle, &errors, &status)) {
        noteFailure();
    }
}

DWORD queuedBytes() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(serialPortWin32.portHandle, &errors, &status)) {
        noteFailure();
        return 0;
    }
    return status.cbInQue;
}

// A wait that completed with an error status: the error says whether the device has gone.
void noteFailedCompletion() {
    DWORD ignored = 0;
    if (!GetOverlappedResult(serialPortWin32.portHandle, &serialPortWin32.commWaitOverlapped,
                             &ignored, FALSE)) {
        noteFailure();
    }
}

enum class WaitOutcome { Stop, Notified, Failed };

// Wine never ends a pending comm-event wait when the device goes away, and a driver need not
// either: while the wait is pending the port's state is asked for now and then, which fails once
// the device has gone.
constexpr DWORD HealthCheckMs = 500;

// Waits for a pending comm-event wait or for the stop event.
WaitOutcome awaitPending(const HANDLE (&waitPair)[2]) {
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(2, waitPair, FALSE, HealthCheckMs);
        if (woke == WAIT_OBJECT_0) {
            return WaitOutcome::Stop;
        }
        if (woke != WAIT_TIMEOUT) {
            break;
        }
        clearCommError();
        if (deviceGone) {
            return WaitOutcome::Failed;
        }
    }
    // A wait that completed with an error status counts as failed, so it is not re-armed at once.
    const bool failed = serialPortWin32.commWaitOverlapped.Internal != 0;
    if (failed) {
        noteFailedCompletion();
    }
    return failed ? WaitOutcome::Failed : WaitOutcome::Notified;
}

// Arms a comm-event wait and, when it is pending, waits for it or for the stop event.
WaitOutcome waitForCharacters(const HANDLE (&waitPair)[2]) {
    if (WaitCommEvent(serialPortWin32.portHandle, &eventMask,
                      &serialPortWin32.commWaitOverlapped)) {
        return WaitOutcome::Notified;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        noteFailure();
        return WaitOutcome::Failed; // carries on with the mask of the previous wait
    }
    return awaitPending(waitPair);
}

void drain() {
    SerialPortState& port = serialPortState;
    for (uint16_t count = ReceiveThread::readAvailable(); count != 0;
         count = ReceiveThread::readAvailable()) {
        ReceiveBuffer::put(port.readChunk, count); // a chunk that does not fit is dropped whole
        port.bytesReceived.fetch_add(count, std::memory_order_relaxed);
        SetEvent(win32Handle(port.dataReadyEvent));
    }
}

} // namespace

namespace ReceiveThread {

unsigned run() {
    SerialPortState& port = serialPortState;
    eventMask = 0;
    const HANDLE waitPair[2] = {win32Handle(port.stopEvent),
                                serialPortWin32.commWaitOverlapped.hEvent};
    // The stop event is looked at before each wait is armed, not only while one is pending: Wine
    // ends a pending wait with an error when close clears the mask, and a wait armed after that
    // never ends. After a wait that failed (a device gone away) the look becomes a short
    // pause, so that a time-critical thread never spins.
    DWORD pauseMs = 0;
    deviceGone = false;
    while (WaitForSingleObject(waitPair[0], pauseMs) != WAIT_OBJECT_0) {
        const WaitOutcome outcome = waitForCharacters(waitPair);
        if (outcome == WaitOutcome::Stop) {
            break;
        }
        pauseMs = outcome == WaitOutcome::Failed ? FailedWaitPauseMs : 0;
        if ((eventMask & EV_RXCHAR) != 0) {
            drain();
        }
        if (deviceGone) {
            // Say so once, then wait for the stop event alone: the device will not come back.
            SerialPort::markLost();
            WaitForSingleObject(waitPair[0], INFINITE);
            break;
        }
    }
    port.receiveThreadEnded.store(1, std::memory_order_release);
    return 0;
}

uint16_t readAvailable() {
    SerialPortState& port = serialPortState;
    DWORD count = queuedBytes();
    if (count > ReadChunkLimit) {
        count = ReadChunkLimit;
    }
    if (count == 0) {
        return 0;
    }
    OVERLAPPED* overlapped = &serialPortWin32.readOverlapped;
    HANDLE handle = serialPortWin32.portHandle;
    if (ReadFile(handle, port.readChunk, count, &readCount, overlapped)) {
        return static_cast<uint16_t>(readCount);
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        noteFailure();
        readCount = 0;
        clearCommError();
        return 0;
    }
    while (!GetOverlappedResult(handle, overlapped, &readCount, TRUE)) {
        if (GetLastError() != ERROR_IO_INCOMPLETE) {
            noteFailure();
            clearCommError(); // the bytes the failed completion counts are kept
            break;
        }
    }
    return static_cast<uint16_t>(readCount);
}

} // namespace ReceiveThread
