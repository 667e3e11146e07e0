// Whole-file writing on Windows: WriteFile until done, FlushFileBuffers, CloseHandle, each checked;
// a replacement moved into place.
#include "os/file_write.h"

#include <windows.h>

#include <string>

namespace Os {

bool writeWholeFile(const char* path, const char* bytes, size_t size, int& error) {
    error = 0;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    size_t done = 0;
    while (done < size && error == 0) {
        const size_t left = size - done;
        const DWORD chunk = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        DWORD wrote = 0;
        if (WriteFile(file, bytes + done, chunk, &wrote, nullptr)) {
            done += wrote;
        } else {
            error = static_cast<int>(GetLastError());
        }
    }
    if (error == 0 && GetFileType(file) == FILE_TYPE_DISK && !FlushFileBuffers(file)) {
        error = static_cast<int>(GetLastError());
    }
    if (!CloseHandle(file) && error == 0) {
        error = static_cast<int>(GetLastError());
    }
    return error == 0;
}

bool replaceWholeFile(const char* path, const char* bytes, size_t size, int& error) {
    error = 0;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    // The process id keeps two writers of one path off each other's new file.
    const std::string fresh =
        std::string(path) + "." + std::to_string(GetCurrentProcessId()) + ".tmp";
    if (!writeWholeFile(fresh.c_str(), bytes, size, error)) {
        DeleteFileA(fresh.c_str());
        return false;
    }
    if (!MoveFileExA(fresh.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = static_cast<int>(GetLastError());
        DeleteFileA(fresh.c_str());
        return false;
    }
    return true;
}

} // namespace Os
