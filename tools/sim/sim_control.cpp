#include "sim_control.h"

#include "sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SimControl {
namespace {

constexpr size_t LineCapacity = 256;

struct ControlState {
    int fd = -1;
    const char* createdPath = nullptr;
    char pending[LineCapacity] = {}; // bytes read, not yet a whole line
    size_t pendingLength = 0;
    bool overlong = false; // dropping the rest of a line too long to be a command
    char line[LineCapacity] = {};
};
ControlState control;

// Moves the first whole line out of pending into control.line; false when there is none. A line
// too long to be a command comes out empty, with overlong set.
bool takeLine(bool& overlong) {
    auto* end = static_cast<char*>(std::memchr(control.pending, '\n', control.pendingLength));
    if (!end) {
        if (control.pendingLength == LineCapacity) { // drop it, up to its end
            control.pendingLength = 0;
            control.overlong = true;
        }
        return false;
    }
    const size_t length = static_cast<size_t>(end - control.pending);
    overlong = control.overlong;
    control.overlong = false;
    std::memcpy(control.line, control.pending, overlong ? 0 : length);
    control.line[overlong ? 0 : length] = '\0';
    control.pendingLength -= length + 1;
    std::memmove(control.pending, end + 1, control.pendingLength);
    return true;
}

// Reads what the writers have written so far; false when nothing more is waiting.
bool readMore() {
    const ssize_t n = ::read(control.fd, control.pending + control.pendingLength,
                             LineCapacity - control.pendingLength);
    if (n <= 0)
        return false;
    control.pendingLength += static_cast<size_t>(n);
    return true;
}

// "place", "place PRODUCT" or "remove", blanks around the words allowed.
bool parse(char* text, Order& order) {
    const char* blanks = " \t\r";
    char* save = nullptr;
    const char* word = strtok_r(text, blanks, &save);
    const char* argument = word ? strtok_r(nullptr, blanks, &save) : nullptr;
    if (!word || strtok_r(nullptr, blanks, &save))
        return false;
    if (std::strcmp(word, "remove") == 0 && !argument) {
        order = {Command::Remove, nullptr};
        return true;
    }
    if (std::strcmp(word, "place") != 0 || (argument && !SimOptionsParser::productIdFits(argument)))
        return false;
    order = {Command::Place, argument};
    return true;
}

} // namespace

bool open(const char* path) {
    if (mkfifo(path, 0600) == 0)
        control.createdPath = path;
    else if (errno != EEXIST) {
        std::fprintf(stderr, "uartflash-sim: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    // Read and write: a writer of our own keeps the FIFO from ending when a test's writer closes
    // it, so that the next writer's lines are read as well.
    control.fd = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (control.fd < 0 || fstat(control.fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        std::fprintf(stderr, "uartflash-sim: %s: %s\n", path,
                     control.fd < 0 ? std::strerror(errno) : "not a FIFO");
        close();
        return false;
    }
    return true;
}

int descriptor() {
    return control.fd;
}

bool next(Order& order) {
    bool overlong = false;
    while (control.fd >= 0) {
        if (!takeLine(overlong)) {
            if (!readMore())
                return false;
            continue;
        }
        char shown[LineCapacity];
        std::memcpy(shown, control.line, sizeof shown);
        if (overlong)
            std::fputs("uartflash-sim: control line too long, ignored\n", stderr);
        else if (std::strspn(shown, " \t\r") == std::strlen(shown))
            continue; // a blank line
        else if (parse(control.line, order))
            return true;
        else
            std::fprintf(stderr, "uartflash-sim: unknown control command: %s\n", shown);
    }
    return false;
}

void close() {
    if (control.fd >= 0)
        ::close(control.fd);
    control.fd = -1;
    if (control.createdPath)
        ::unlink(control.createdPath);
    control.createdPath = nullptr;
}

} // namespace SimControl
