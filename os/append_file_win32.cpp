// Appending on Windows: a handle with FILE_APPEND_DATA but not FILE_WRITE_DATA writes every line
// at the end; LockFileEx keeps the other writers out and FlushFileBuffers puts the line on the
// disk. Windows locks are mandatory, so locking the lines themselves would make a reader's ReadFile
// (a jq run, a tail) fail meanwhile: the writers agree on one byte far past any end instead.
#include "os/append_file.h"
#include "os/os.h"

#include <windows.h>

#include <algorithm>

namespace Os {

struct AppendFileObject {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

namespace {

constexpr DWORD LockOffsetHigh = 0x7FFFFFFF;

OVERLAPPED lockPlace() {
    OVERLAPPED place{};
    place.OffsetHigh = LockOffsetHigh;
    return place;
}

// Polled, so that the wait is bounded by the clock. 0 or the error.
int lockExclusive(HANDLE handle) {
    const uint32_t started = tickCount();
    for (;;) {
        OVERLAPPED place = lockPlace();
        if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &place)) {
            return 0;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
            return static_cast<int>(error);
        }
        if (tickCount() - started >= AppendLockLimitMs) {
            return ERROR_TIMEOUT;
        }
        sleepMs(1);
    }
}

void unlock(HANDLE handle) {
    OVERLAPPED place = lockPlace();
    UnlockFileEx(handle, 0, 1, 0, &place);
}

// Without write-data access a partly written line cannot be cut off again; NTFS reserves a
// cached write's space before it writes, so a full disk fails the write whole.
AppendResult appendLocked(HANDLE handle, std::string_view line) {
    size_t done = 0;
    while (done < line.size()) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(line.size() - done, 1u << 30));
        if (!WriteFile(handle, line.data() + done, piece, &written, nullptr)) {
            return {AppendStatus::WriteFailed, static_cast<int>(GetLastError())};
        }
        if (written == 0) {
            return {AppendStatus::WriteFailed, ERROR_WRITE_FAULT};
        }
        done += written;
    }
    if (!FlushFileBuffers(handle)) {
        return {AppendStatus::SyncFailed, static_cast<int>(GetLastError())};
    }
    return {AppendStatus::Ok, 0};
}

} // namespace

// A directory is refused before it is opened; a device (NUL, CON, a COM port) once its type is
// seen, as the image reader does.
AppendOpenResult openAppendFile(const char* path, AppendFileHandle& file, int& error) {
    file = nullptr;
    error = 0;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return AppendOpenResult::NotAFile;
    }
    // Read-data access only because LockFileEx wants read or write-data access.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return AppendOpenResult::Failed;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return AppendOpenResult::NotAFile;
    }
    file = new AppendFileObject{handle};
    return AppendOpenResult::Ok;
}

AppendResult appendLine(AppendFileHandle file, std::string_view line) {
    if (file == nullptr) {
        return {AppendStatus::WriteFailed, ERROR_INVALID_HANDLE};
    }
    const int error = lockExclusive(file->handle);
    if (error != 0) {
        return {AppendStatus::LockFailed, error};
    }
    const AppendResult result = appendLocked(file->handle, line);
    unlock(file->handle);
    return result;
}

void closeAppendFile(AppendFileHandle file) {
    if (file != nullptr) {
        CloseHandle(file->handle);
        delete file;
    }
}

} // namespace Os
