// The thread that drains the receive buffer, parses replies and hands each to its handler.
#pragma once

#include "os/os.h"

#include <cstdint>

inline constexpr uint16_t StagingAreaSize = 2048;

namespace ReplyReader {

int start(Os::EventHandle dataReadyEvent); // 1 running, 0 not (the reply slots are cleared either way)
int stop();                                // 1 stopped a running reader, 0 none was running
unsigned run();
void dispatch();

} // namespace ReplyReader
