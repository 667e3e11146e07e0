// Reading a whole file into memory, so that what is checked is exactly what is sent: a file
// rewritten or truncated after it was read changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Os {

enum class FileReadResult : uint8_t {
    Ok,
    Unreadable, // cannot be opened or read; the OS error code says why
    NotAFile,   // a directory, a terminal or another device
    TooLarge,   // more than the limit
    NoData,     // a pipe that gave nothing within the wait (no writer)
};

// A pipe that delivers nothing for this long is given up rather than waited on forever.
inline constexpr uint32_t PipeSilenceLimitMs = 10000;

// Reads a regular file or a pipe whole into bytes (which it replaces). A device is never opened:
// opening a serial port or a terminal could disturb whatever is attached to it.
FileReadResult readWholeFile(const char* path, size_t limit, std::vector<char>& bytes, int& error);

// The same for standard input. A file there is read by position, so that processes sharing one
// open file each read it whole.
FileReadResult readStandardInput(size_t limit, std::vector<char>& bytes, int& error);

// The path names a pipe (a FIFO, or /dev/fd/N of one): what it gave cannot be read again.
bool isPipe(const char* path);

} // namespace Os
