#include "os/console.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace Os {

unsigned ensureStandardStreams() {
    unsigned closed = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        closed |= 1u << fd;
        // The lowest free descriptor is this one, as the lower ones are open by now.
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return closed;
}

std::FILE* takeStandardOutput() {
    std::fflush(stdout);
    const int original = dup(STDOUT_FILENO);
    if (original < 0) {
        return nullptr;
    }
    if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(original);
        return nullptr;
    }
    return fdopen(original, "w");
}

} // namespace Os
