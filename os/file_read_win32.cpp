// Whole-file reading on Windows: disk files and pipes; a COM port, the console or another
// character device is refused after its type is seen.
#include "os/file_read.h"

#include <windows.h>

#include <cstring>

namespace Os {

namespace {

FileReadResult readAll(HANDLE file, size_t limit, std::vector<char>& bytes, int& error) {
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
            const DWORD code = GetLastError();
            if (code == ERROR_BROKEN_PIPE) {
                return FileReadResult::Ok; // the writer closed its end
            }
            error = static_cast<int>(code);
            return FileReadResult::Unreadable;
        }
        if (got == 0) {
            return FileReadResult::Ok;
        }
        if (bytes.size() + got > limit) {
            return FileReadResult::TooLarge;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

FileReadResult readOpened(HANDLE file, size_t limit, std::vector<char>& bytes, int& error) {
    const DWORD type = GetFileType(file);
    if (type == FILE_TYPE_DISK) {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(file, &size) && static_cast<uint64_t>(size.QuadPart) > limit) {
            return FileReadResult::TooLarge;
        }
        bytes.reserve(static_cast<size_t>(size.QuadPart));
        return readAll(file, limit, bytes, error);
    }
    if (type == FILE_TYPE_PIPE) {
        return readAll(file, limit, bytes, error);
    }
    return FileReadResult::NotAFile;
}

// From offset 0 whatever others sharing the handle have read.
FileReadResult readByPosition(HANDLE file, size_t limit, std::vector<char>& bytes, int& error) {
    char chunk[65536];
    for (;;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(bytes.size());
        at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(bytes.size()) >> 32);
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, &at)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) {
                return FileReadResult::Ok;
            }
            error = static_cast<int>(code);
            return FileReadResult::Unreadable;
        }
        if (got == 0) {
            return FileReadResult::Ok;
        }
        if (bytes.size() + got > limit) {
            return FileReadResult::TooLarge;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

} // namespace

FileReadResult readStandardInput(size_t limit, std::vector<char>& bytes, int& error) {
    bytes.clear();
    error = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    FileReadResult result = FileReadResult::NotAFile;
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        result = FileReadResult::Unreadable;
    } else if (GetFileType(input) == FILE_TYPE_DISK) {
        result = readByPosition(input, limit, bytes, error);
    } else if (GetFileType(input) == FILE_TYPE_PIPE) {
        result = readAll(input, limit, bytes, error);
    }
    if (result != FileReadResult::Ok) {
        bytes.clear();
    }
    return result;
}

// Pipes are reached only through their own namespace: \\.\pipe\name.
bool isPipe(const char* path) {
    const char* const prefixes[] = {"\\\\.\\pipe\\", "\\\\?\\pipe\\"};
    for (const char* prefix : prefixes) {
        if (_strnicmp(path, prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

FileReadResult readWholeFile(const char* path, size_t limit, std::vector<char>& bytes, int& error) {
    bytes.clear();
    error = 0;
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FileReadResult::NotAFile;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = static_cast<int>(GetLastError());
        return FileReadResult::Unreadable;
    }
    const FileReadResult result = readOpened(file, limit, bytes, error);
    CloseHandle(file);
    if (result != FileReadResult::Ok) {
        bytes.clear();
    }
    return result;
}

} // namespace Os
