// uartflash-line-probe: checks the end-to-end tests and the fault campaign make from a shell.
//   now        prints the monotonic clock in ns, the clock of the simulator's trace and close time
//   free PATH  exits 0 when another program could take the port at PATH now: it opens, nobody
//              holds its flock and its exclusive mode is off; otherwise says why and exits 1
//   hold PATH  holds the port as a terminal program does: opens it, sets its exclusive mode,
//              prints "held" and keeps it until killed; exits 1 when it cannot
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int printNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::printf("%llu\n", static_cast<unsigned long long>(ts.tv_sec) * 1'000'000'000ull +
                              static_cast<unsigned long long>(ts.tv_nsec));
    return 0;
}

int checkFree(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::printf("%s: cannot open: %s\n", path, std::strerror(errno));
        return 1;
    }
    // Root opens a port in exclusive mode anyway, so ask for the flag itself.
    int exclusive = 0;
    const bool knownExclusive = ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (!knownExclusive)
        std::printf("%s: not a terminal\n", path);
    else if (exclusive != 0)
        std::printf("%s: left in exclusive mode (TIOCEXCL)\n", path);
    if (locked)
        std::printf("%s: still locked (flock)\n", path);
    return knownExclusive && exclusive == 0 && !locked ? 0 : 1;
}

int hold(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
        std::printf("%s: cannot hold: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        pause();
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "now") == 0)
        return printNow();
    if (argc == 3 && std::strcmp(argv[1], "free") == 0)
        return checkFree(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0)
        return hold(argv[2]);
    std::fputs("usage: uartflash-line-probe now | free PATH | hold PATH\n", stderr);
    return 2;
}
