// Standard streams: all three open before anything else opens a descriptor, and standard output
// for machines: the tool's human texts move to standard error, and a stream on the original
// standard output is handed back, so that only machine-readable lines reach it.
#pragma once

#include <cstdio>

namespace Os {

// Which of the standard streams were found closed at start and now lead to the null device.
enum StandardStream : unsigned {
    StandardInput = 1u << 0,
    StandardOutput = 1u << 1,
    StandardError = 1u << 2
};

// Opens the null device in place of each closed standard stream, so that no port or file opened
// later takes descriptor 0, 1 or 2 and receives the console's texts. Returns the StandardStream
// bits of those that were closed.
unsigned ensureStandardStreams();

// nullptr when the descriptors could not be rearranged (nothing was changed then).
std::FILE* takeStandardOutput();

} // namespace Os
