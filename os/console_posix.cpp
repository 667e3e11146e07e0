#include "os/console.h"

#include <unistd.h>

namespace Os {

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
