// How a port argument's SN= entry writes a serial number, so that any serial number can be named:
// the comma that separates a list's entries, the % that starts an escape, the double quote that
// cmd.exe reads even inside quotes, and every byte that is not printable ASCII are written as %
// and two hexadecimal digits ("LOT7,U12" as SN=LOT7%2CU12); every other byte stands as it is. An
// entry so written survives the shell's quoting and reaches a terminal unchanged. Platform-free.
#pragma once

#include <string>
#include <string_view>

namespace SerialNumberEntry {

inline constexpr std::string_view Prefix = "SN=";

// "SN=" and the serial number with its escapes; one that needs none is written as it is.
std::string of(std::string_view serial);

// The serial number the text after "SN=" names: %XX (hexadecimal digits in either case) is the
// byte XX, every other byte itself. False when a % is not followed by two hexadecimal digits.
bool read(std::string_view text, std::string& serial);

// Why read() refused the text of entry ("SN=50%OFF"), as the refusals of a port list and of a
// watch name it.
std::string problem(std::string_view entry);

} // namespace SerialNumberEntry
