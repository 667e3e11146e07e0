// Appending on POSIX: O_APPEND puts every write at the end, flock keeps the other writers out, and
// a line that only partly reached the file (a disk that filled mid-line) is cut off again while the
// lock is still held, so the next writer's line does not run on from it.
#include "os/append_file.h"
#include "os/os.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

struct AppendFileObject {
    int fd = -1;
};

namespace {

// Polled rather than blocking, so that the wait is bounded by the clock. 0 or the error.
int lockExclusive(int fd) {
    const uint32_t started = tickCount();
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return 0;
        }
        if (errno != EINTR && errno != EWOULDBLOCK) {
            return errno;
        }
        if (tickCount() - started >= AppendLockLimitMs) {
            return EWOULDBLOCK;
        }
        sleepMs(1);
    }
}

// One write; a short one is continued so that the real error (ENOSPC) comes back. 0 or the error.
int writeAll(int fd, std::string_view line) {
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0) {
            return EIO;
        } else if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

AppendResult appendLocked(int fd, std::string_view line) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return {AppendStatus::WriteFailed, errno};
    }
    const int error = writeAll(fd, line);
    if (error != 0) {
        while (ftruncate(fd, info.st_size) != 0 && errno == EINTR) {
        }
        return {AppendStatus::WriteFailed, error};
    }
    if (fsync(fd) != 0) {
        return {AppendStatus::SyncFailed, errno};
    }
    return {AppendStatus::Ok, 0};
}

} // namespace

AppendOpenResult openAppendFile(const char* path, AppendFileHandle& file, int& error) {
    file = nullptr;
    error = 0;
    struct stat info {};
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        return AppendOpenResult::NotAFile;
    }
    // Non-blocking: a FIFO put there since the look above must not hang the open.
    const int fd =
        open(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        return AppendOpenResult::Failed;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return AppendOpenResult::NotAFile;
    }
    file = new AppendFileObject{fd};
    return AppendOpenResult::Ok;
}

AppendResult appendLine(AppendFileHandle file, std::string_view line) {
    if (file == nullptr) {
        return {AppendStatus::WriteFailed, EBADF};
    }
    const int error = lockExclusive(file->fd);
    if (error != 0) {
        return {AppendStatus::LockFailed, error};
    }
    const AppendResult result = appendLocked(file->fd, line);
    flock(file->fd, LOCK_UN);
    return result;
}

void closeAppendFile(AppendFileHandle file) {
    if (file != nullptr) {
        close(file->fd);
        delete file;
    }
}

} // namespace Os
