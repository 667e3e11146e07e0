// Whole-file reading on POSIX: regular files by their size, pipes (a FIFO, /dev/fd/N, process
// substitution) until their writer closes, with a bounded wait for data.
#include "os/file_read.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

namespace {

bool readable(const struct stat& info) {
    return S_ISREG(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

// Waits for the pipe to have data or an end; false after PipeSilenceLimitMs of nothing.
bool awaitPipe(int descriptor) {
    pollfd watched{descriptor, POLLIN, 0};
    for (;;) {
        const int ready = poll(&watched, 1, static_cast<int>(PipeSilenceLimitMs));
        if (ready > 0) {
            return true;
        }
        if (ready == 0 || errno != EINTR) {
            return false;
        }
    }
}

// A pipe is polled before each read: with no writer yet, read would report an end at once.
FileReadResult readAll(int descriptor, bool pipe, size_t limit, std::vector<char>& bytes,
                       int& error) {
    char chunk[65536];
    for (;;) {
        if (pipe && !awaitPipe(descriptor)) {
            return FileReadResult::NoData;
        }
        const ssize_t got = read(descriptor, chunk, sizeof chunk);
        if (got > 0) {
            if (bytes.size() + static_cast<size_t>(got) > limit) {
                return FileReadResult::TooLarge;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        } else if (got == 0) {
            return FileReadResult::Ok;
        } else if (errno != EINTR && errno != EAGAIN) {
            error = errno;
            return FileReadResult::Unreadable;
        }
    }
}

// From offset 0 whatever others sharing the descriptor have read.
FileReadResult readByPosition(int descriptor, size_t limit, std::vector<char>& bytes, int& error) {
    char chunk[65536];
    for (;;) {
        const ssize_t got =
            pread(descriptor, chunk, sizeof chunk, static_cast<off_t>(bytes.size()));
        if (got > 0) {
            if (bytes.size() + static_cast<size_t>(got) > limit) {
                return FileReadResult::TooLarge;
            }
            bytes.insert(bytes.end(), chunk, chunk + got);
        } else if (got == 0) {
            return FileReadResult::Ok;
        } else if (errno != EINTR) {
            error = errno;
            return FileReadResult::Unreadable;
        }
    }
}

} // namespace

FileReadResult readStandardInput(size_t limit, std::vector<char>& bytes, int& error) {
    bytes.clear();
    error = 0;
    struct stat info {};
    if (fstat(STDIN_FILENO, &info) != 0) {
        error = errno;
        return FileReadResult::Unreadable;
    }
    FileReadResult result = FileReadResult::NotAFile;
    if (S_ISREG(info.st_mode)) {
        result = readByPosition(STDIN_FILENO, limit, bytes, error);
    } else if (readable(info)) {
        result = readAll(STDIN_FILENO, true, limit, bytes, error);
    }
    if (result != FileReadResult::Ok) {
        bytes.clear();
    }
    return result;
}

bool isPipe(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

FileReadResult readWholeFile(const char* path, size_t limit, std::vector<char>& bytes, int& error) {
    bytes.clear();
    error = 0;
    struct stat info {};
    if (stat(path, &info) != 0) {
        error = errno;
        return FileReadResult::Unreadable;
    }
    if (!readable(info)) {
        return FileReadResult::NotAFile;
    }
    if (S_ISREG(info.st_mode) && static_cast<uint64_t>(info.st_size) > limit) {
        return FileReadResult::TooLarge;
    }
    // Non-blocking: a FIFO without a writer opens at once instead of hanging in open.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        error = errno;
        return FileReadResult::Unreadable;
    }
    FileReadResult result = FileReadResult::NotAFile;
    if (fstat(descriptor, &info) == 0 && readable(info)) {
        if (S_ISREG(info.st_mode)) {
            bytes.reserve(static_cast<size_t>(info.st_size));
        }
        result = readAll(descriptor, !S_ISREG(info.st_mode), limit, bytes, error);
    }
    close(descriptor);
    if (result != FileReadResult::Ok) {
        bytes.clear();
    }
    return result;
}

} // namespace Os
