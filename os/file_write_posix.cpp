// Whole-file writing on POSIX: write until done, fsync, close, each checked; a replacement
// renamed into place.
#include "os/file_write.h"

#include <cerrno>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

bool writeWholeFile(const char* path, const char* bytes, size_t size, int& error) {
    error = 0;
    const int descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        error = errno;
        return false;
    }
    size_t done = 0;
    while (done < size && error == 0) {
        const ssize_t wrote = write(descriptor, bytes + done, size - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
        } else if (wrote < 0 && errno != EINTR) {
            error = errno;
        }
    }
    if (error == 0 && fsync(descriptor) != 0 && errno != EINVAL) {
        error = errno; // EINVAL: a pipe or a terminal, which have nothing to flush
    }
    if (close(descriptor) != 0 && error == 0) {
        error = errno;
    }
    return error == 0;
}

bool replaceWholeFile(const char* path, const char* bytes, size_t size, int& error) {
    error = 0;
    struct stat info {};
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        return false;
    }
    // The process id keeps two writers of one path off each other's new file.
    const std::string fresh = std::string(path) + "." + std::to_string(getpid()) + ".tmp";
    if (!writeWholeFile(fresh.c_str(), bytes, size, error) ||
        std::rename(fresh.c_str(), path) != 0) {
        if (error == 0) {
            error = errno;
        }
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

} // namespace Os
