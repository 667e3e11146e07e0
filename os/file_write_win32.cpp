// Whole-file writing on Windows: WriteFile until done, FlushFileBuffers, CloseHandle, each checked.
#include "os/file_write.h"

#include <windows.h>

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

} // namespace Os
