// Standard output for machines: the tool's human texts move to standard error, and a stream on
// the original standard output is handed back, so that only machine-readable lines reach it.
#pragma once

#include <cstdio>

namespace Os {

// nullptr when the descriptors could not be rearranged (nothing was changed then).
std::FILE* takeStandardOutput();

} // namespace Os
