// Test harness only, never part of the tool: an LD_PRELOAD library for Wine. A Linux
// pseudo-terminal has no modem lines, so TIOCMGET fails on it and Wine then ends every
// WaitCommEvent at once. On pty descriptors this answers the modem-line ioctls as a serial port
// with its lines up would, so that comm-event waits behave as they do on Windows.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*IoctlFunction)(int, unsigned long, ...);

enum { PtySlaveMajorFirst = 136, PtySlaveMajorLast = 143 };

// The output lines as last set; DTR and RTS start up, as on a freshly opened port.
static int outputLines = TIOCM_DTR | TIOCM_RTS;

static int isPtySlave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return 0;
    }
    unsigned int deviceMajor = major(st.st_rdev);
    return deviceMajor >= PtySlaveMajorFirst && deviceMajor <= PtySlaveMajorLast;
}

static int modemLines(unsigned long request, int* lines) {
    const int outputs = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
        *lines = (outputLines & outputs) | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
        return 0;
    case TIOCMSET:
        outputLines = *lines & outputs;
        return 0;
    case TIOCMBIS:
        outputLines |= *lines & outputs;
        return 0;
    default: // TIOCMBIC
        outputLines &= ~(*lines & outputs);
        return 0;
    }
}

static IoctlFunction realIoctl;

// Looked up before any thread of the process can call ioctl.
__attribute__((constructor)) static void findRealIoctl(void) {
    *(void**)&realIoctl = dlsym(RTLD_NEXT, "ioctl");
}

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    const int modemRequest =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (modemRequest && argument != 0 && isPtySlave(fd)) {
        return modemLines(request, (int*)argument);
    }
    return realIoctl(fd, request, argument);
}
