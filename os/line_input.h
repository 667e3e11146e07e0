// Lines typed or scanned at standard input (a barcode scanner types a code and Enter, as a
// keyboard does), read on a thread of their own so that a watch goes on while nobody types.
#pragma once

#include "os/os.h"

#include <string>
#include <vector>

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
