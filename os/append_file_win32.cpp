// Appending on Windows: a handle with FILE_APPEND_DATA but not FILE_WRITE_DATA writes every line
// at the end; LockFileEx keeps the other writers out and FlushFileBuffers puts the line on the
// disk. Windows locks are mandatory, so locking the lines themselves would make a reader's ReadFile
// (a jq run, a tail) fail meanwhile: the writers agree on one byte far past any end instead.
#include "os/append_file.h"
#include "os/os.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace Os {

struct AppendFileObject {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string path;
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

// True when the file's last byte is not a line end: a writer stopped in the middle of its line.
bool endsTorn(HANDLE handle) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size) || size.QuadPart == 0) {
        return false;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD read = 0;
    return ReadFile(handle, &last, 1, &read, &at) && read == 1 && last != '\n';
}

// Without write-data access a partly written line cannot be cut off again; NTFS reserves a
// cached write's space before it writes, so a full disk fails the write whole.
AppendResult appendLocked(HANDLE handle, std::string_view line) {
    std::string whole;
    if (endsTorn(handle)) {
        whole.append("\n").append(line); // the torn text keeps a line of its own
        line = whole;
    }
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

// A directory is refused before it is opened; a device (NUL, CON, a COM port) once its type is
// seen, as the image reader does. INVALID_HANDLE_VALUE with result and error set otherwise.
HANDLE openRegular(const char* path, AppendOpenResult& result, int& error) {
    error = 0;
    result = AppendOpenResult::NotAFile;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    // Read-data access because LockFileEx wants read or write-data access, and to see whether
    // the last line is whole.
    HANDLE handle = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        result = AppendOpenResult::Failed;
        return INVALID_HANDLE_VALUE;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    result = AppendOpenResult::Ok;
    return handle;
}

// The file open is still the one at its path: not deleted (or waiting to be), not replaced.
bool stillAtPath(const AppendFileObject& file) {
    FILE_STANDARD_INFO standard{};
    BY_HANDLE_FILE_INFORMATION open{};
    if (file.handle == INVALID_HANDLE_VALUE ||
        !GetFileInformationByHandleEx(file.handle, FileStandardInfo, &standard, sizeof standard) ||
        standard.DeletePending || standard.NumberOfLinks == 0 ||
        !GetFileInformationByHandle(file.handle, &open)) {
        return false;
    }
    HANDLE named =
        CreateFileA(file.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION other{};
    const bool same = GetFileInformationByHandle(named, &other) &&
                      other.dwVolumeSerialNumber == open.dwVolumeSerialNumber &&
                      other.nFileIndexHigh == open.nFileIndexHigh &&
                      other.nFileIndexLow == open.nFileIndexLow;
    CloseHandle(named);
    return same;
}

// Opens the path again in place of the file that left it. A file waiting to be deleted keeps
// its name until its last handle closes, so this handle goes first. 0 or the error.
int reopen(AppendFileObject& file) {
    if (file.handle != INVALID_HANDLE_VALUE) {
        CloseHandle(file.handle);
        file.handle = INVALID_HANDLE_VALUE;
    }
    AppendOpenResult result = AppendOpenResult::Failed;
    int error = 0;
    file.handle = openRegular(file.path.c_str(), result, error);
    if (file.handle == INVALID_HANDLE_VALUE) {
        return error != 0 ? error : ERROR_DIRECTORY;
    }
    return 0;
}

} // namespace

AppendOpenResult openAppendFile(const char* path, AppendFileHandle& file, int& error) {
    file = nullptr;
    AppendOpenResult result = AppendOpenResult::Failed;
    HANDLE handle = openRegular(path, result, error);
    if (handle != INVALID_HANDLE_VALUE) {
        file = new AppendFileObject{handle, path};
    }
    return result;
}

AppendResult appendLine(AppendFileHandle file, std::string_view line) {
    if (file == nullptr) {
        return {AppendStatus::WriteFailed, ERROR_INVALID_HANDLE};
    }
    const bool replaced = !stillAtPath(*file);
    if (replaced) {
        if (const int error = reopen(*file); error != 0) {
            return {AppendStatus::WriteFailed, error, true};
        }
    }
    const int error = lockExclusive(file->handle);
    if (error != 0) {
        return {AppendStatus::LockFailed, error, replaced};
    }
    AppendResult result = appendLocked(file->handle, line);
    unlock(file->handle);
    result.reopened = replaced;
    return result;
}

void closeAppendFile(AppendFileHandle file) {
    if (file != nullptr) {
        if (file->handle != INVALID_HANDLE_VALUE) {
            CloseHandle(file->handle);
        }
        delete file;
    }
}

} // namespace Os
