// Standard streams: all three open before anything else opens a descriptor, and standard output
// for machines: the tool's human texts move to standard error, and a stream on the original
// standard output is handed back, so that only machine-readable lines reach it. And lines typed
// or scanned at standard input (a barcode scanner types a code and Enter, as a keyboard does),
// read on a thread of their own so that a watch goes on while nobody types (console.cpp).
#pragma once

#include "os/os.h"

#include <cstdio>
#include <string>
#include <vector>

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

namespace Os::LineInput {

// Longer lines are cut here: no code comes near it, and a cut line is still refused as too long.
inline constexpr size_t MaxLineBytes = 256;

// Starts reading standard input; each line read, and its end, set wake. Once per process.
void start(EventHandle wake);
// From now on no line sets the event given to start, which may then be closed.
void detach();
// The lines read since the last call, without their line ends (LF, CR LF).
std::vector<std::string> take();
// Standard input has ended (end of file or a read error); the lines before it are still taken.
bool ended();

} // namespace Os::LineInput
