// Writing a whole file at once: the S-records a release archives are the bytes that go to the
// units, so a write that could not finish (a full disk) is reported, never left looking whole.
#pragma once

#include <cstddef>

namespace Os {

// Creates or replaces path with bytes and flushes it to the disk. False with the OS error code
// (ENOSPC, ERROR_DISK_FULL...) when any step fails.
bool writeWholeFile(const char* path, const char* bytes, size_t size, int& error);

} // namespace Os
