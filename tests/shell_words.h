// The words the platform's shell makes of a command line that the tool printed for a person to
// paste: sh's on POSIX, the C runtime's (CommandLineToArgvW) on Windows. For round trips of the
// retry commands through the real quoting rules.
#pragma once

#include <string>
#include <vector>

namespace ShellWords {

std::vector<std::string> of(const std::string& command);

} // namespace ShellWords
