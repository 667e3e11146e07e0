// Appending whole lines to a file that several processes share (the ledger of a production
// station): each line is written under an exclusive lock, in one write, and flushed to the disk
// before the lock is released, so no reader or other writer ever meets half a line. A line left
// torn by a writer that lost power gets its line end first, so that the next line starts a line
// of its own; a file deleted or replaced at its path is opened again, so that no line goes into a
// file nobody can find.
// append_file_posix.cpp uses O_APPEND, flock and fsync; append_file_win32.cpp FILE_APPEND_DATA,
// LockFileEx and FlushFileBuffers.
#pragma once

#include <cstdint>
#include <string_view>

namespace Os {

struct AppendFileObject;
using AppendFileHandle = AppendFileObject*;

enum class AppendOpenResult : uint8_t {
    Ok,
    Failed,   // cannot be opened or created for appending; the OS error code says why
    NotAFile, // a directory, a device or a pipe; POSIX refuses it before opening it, as opening a
              // serial port could disturb what is attached
};

// Opens path for appending, creating it when missing. On Ok file is the handle; otherwise it is
// nullptr and error holds the OS error code (0 for NotAFile).
AppendOpenResult openAppendFile(const char* path, AppendFileHandle& file, int& error);

enum class AppendStatus : uint8_t {
    Ok,
    LockFailed,  // no exclusive lock within AppendLockLimitMs, or the lock call failed
    WriteFailed, // the line is not in the file (a partly written line is cut off again)
    SyncFailed,  // written, but the disk did not confirm it
};

struct AppendResult {
    AppendStatus status;
    int error;             // the OS error code (ENOSPC, EBADF, ERROR_DISK_FULL...); 0 when Ok
    bool reopened = false; // the file at the path was not the one open: the path was opened again
};

// A writer that holds the lock longer than this (a stuck process, a hung network share) makes the
// append fail instead of stalling the station.
inline constexpr uint32_t AppendLockLimitMs = 10000;

// Appends line, which carries its own '\n', as one unit, to the file now at the path the handle
// was opened with. Calls on one handle must not overlap.
AppendResult appendLine(AppendFileHandle file, std::string_view line);
void closeAppendFile(AppendFileHandle file); // nullptr is allowed

} // namespace Os
