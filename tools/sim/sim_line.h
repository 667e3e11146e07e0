// The simulated product's end of the serial line: a pseudo-terminal it creates or a device it
// opens, with optional pacing of every byte as a UART at a given line rate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SimLine {

// Creates a pseudo-terminal in raw mode and makes it the controlling terminal of this process,
// which must lead its own session. Writes the path of the end the tool opens into path.
bool openPseudoTerminal(char* path, size_t capacity);
// Opens an existing device (raw, 8N1 at `baud` when it is a terminal).
bool openDevice(const char* path, uint32_t baud);
// baud 0 turns pacing off; split writes replies one byte per write with small gaps.
void configure(uint32_t baud, bool split);
// Stops holding the pseudo-terminal's other end open, so that the tool's final close shows as
// Closed.
void releaseOtherEnd();
void close();

// receive also ends its wait when fd (-1: none) has bytes to read; it returns Idle then, and the
// caller reads them.
void wakeAlsoOn(int fd);

enum class WaitResult : uint8_t { Data, Idle, Closed, Interrupted };

// Waits up to timeoutMs (-1: no limit) for bytes; arrivalNs is the monotonic time they were read.
WaitResult receive(uint8_t* bytes, size_t capacity, size_t& received, int timeoutMs,
                   uint64_t& arrivalNs);
// The time at which the next received byte has fully arrived on an emulated line; bytes cannot come
// faster than the line rate, whatever their arrival in the pseudo-terminal.
uint64_t byteArrived(uint64_t arrivalNs);
// Writes bytes paced as configured; false when the other side is gone. lastByteNs is the time the
// last byte was written.
bool send(const char* bytes, size_t length, uint64_t& lastByteNs);

uint64_t nowNs();
void sleepUntil(uint64_t deadlineNs);

} // namespace SimLine
