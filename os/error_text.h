// The platform's own words for an OS error code, for messages that name a file and the reason.
#pragma once

#include <string>

namespace Os {

// strerror on POSIX ("Permission denied"), FormatMessage on Windows ("Access is denied."), without
// a trailing line end.
std::string errorText(int error);

} // namespace Os
