// The name of the machine the tool runs on, for records that say where a product was updated.
#pragma once

#include <string>

namespace Os {

// gethostname on POSIX; the DNS host name on Windows. Empty when the platform does not tell.
std::string hostName();

} // namespace Os
