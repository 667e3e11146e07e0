#include "os/console.h"

#include <io.h>

namespace Os {

std::FILE* takeStandardOutput() {
    std::fflush(stdout);
    const int original = _dup(1);
    if (original < 0) {
        return nullptr;
    }
    if (_dup2(2, 1) < 0) {
        _close(original);
        return nullptr;
    }
    // Binary: JSON Lines end in "\n" alone on every platform.
    return _fdopen(original, "wb");
}

} // namespace Os
