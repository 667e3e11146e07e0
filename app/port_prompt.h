// The port choice at the console: the list and the prompt through the entry reporter, the answer
// read from standard input (or what a test or a --json run puts in its place).
#pragma once

#include "serial/port_discovery.h"

#include <cstdio>

namespace PortPrompt {

// The chooser that PortDiscovery uses from now on.
void install();
void setInput(std::FILE* input); // nullptr: standard input

} // namespace PortPrompt
