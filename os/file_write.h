// Writing a whole file at once: the S-records a release archives are the bytes that go to the
// units, so a write that could not finish (a full disk) is reported, never left looking whole.
#pragma once

#include <cstddef>

namespace Os {

// Creates or replaces path with bytes and flushes it to the disk. False with the OS error code
// (ENOSPC, ERROR_DISK_FULL...) when any step fails.
bool writeWholeFile(const char* path, const char* bytes, size_t size, int& error);

// Writes bytes whole to a new file beside path, then renames it over path, so that path holds
// the old file or the whole new one, never a part. On failure the new file is removed and path
// left as it was: false with the OS error code, or with 0 when path names something other than a
// regular file (a folder, a device, a pipe), which is never replaced.
bool replaceWholeFile(const char* path, const char* bytes, size_t size, int& error);

} // namespace Os
