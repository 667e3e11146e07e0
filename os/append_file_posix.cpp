// Appending on POSIX: O_APPEND puts every write at the end, flock keeps the other writers out, and
// a line that only partly reached the file (a disk that filled mid-line) is cut off again while the
// lock is still held, so the next writer's line does not run on from it. The file is open for
// reading too, to see whether its last byte ends a line.
#include "os/append_file.h"
#include "os/os.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Os {

struct AppendFileObject {
    int fd = -1;
    std::string path;
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

// True when the file's last byte is not a line end: a writer stopped in the middle of its line.
bool endsTorn(int fd, off_t size) {
    char last = '\n';
    return size > 0 && pread(fd, &last, 1, size - 1) == 1 && last != '\n';
}

AppendResult appendLocked(int fd, std::string_view line) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return {AppendStatus::WriteFailed, errno};
    }
    std::string whole;
    if (endsTorn(fd, info.st_size)) {
        whole.append("\n").append(line); // the torn text keeps a line of its own
        line = whole;
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

// The descriptor of path opened for appending, or -1 with error set (0 for NotAFile).
int openRegular(const char* path, AppendOpenResult& result, int& error) {
    error = 0;
    struct stat info {};
    result = AppendOpenResult::NotAFile;
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        return -1;
    }
    // Non-blocking: a FIFO put there since the look above must not hang the open.
    const int fd =
        open(path, O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = errno;
        result = AppendOpenResult::Failed;
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return -1;
    }
    result = AppendOpenResult::Ok;
    return fd;
}

// The file open is still the one at its path: not deleted, not replaced by another.
bool stillAtPath(const AppendFileObject& file) {
    struct stat open {};
    struct stat named {};
    return fstat(file.fd, &open) == 0 && open.st_nlink > 0 &&
           stat(file.path.c_str(), &named) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

// Opens the path again in place of the file that left it. 0 or the error.
int reopen(AppendFileObject& file) {
    AppendOpenResult result = AppendOpenResult::Failed;
    int error = 0;
    const int fd = openRegular(file.path.c_str(), result, error);
    if (fd < 0) {
        return error != 0 ? error : EISDIR;
    }
    close(file.fd);
    file.fd = fd;
    return 0;
}

} // namespace

AppendOpenResult openAppendFile(const char* path, AppendFileHandle& file, int& error) {
    file = nullptr;
    AppendOpenResult result = AppendOpenResult::Failed;
    const int fd = openRegular(path, result, error);
    if (fd >= 0) {
        file = new AppendFileObject{fd, path};
    }
    return result;
}

AppendResult appendLine(AppendFileHandle file, std::string_view line) {
    if (file == nullptr) {
        return {AppendStatus::WriteFailed, EBADF};
    }
    const bool replaced = !stillAtPath(*file);
    if (replaced) {
        if (const int error = reopen(*file); error != 0) {
            return {AppendStatus::WriteFailed, error, true};
        }
    }
    const int error = lockExclusive(file->fd);
    if (error != 0) {
        return {AppendStatus::LockFailed, error, replaced};
    }
    AppendResult result = appendLocked(file->fd, line);
    flock(file->fd, LOCK_UN);
    result.reopened = replaced;
    return result;
}

void closeAppendFile(AppendFileHandle file) {
    if (file != nullptr) {
        close(file->fd);
        delete file;
    }
}

} // namespace Os
