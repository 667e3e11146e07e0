// Texts that came from outside (a product's answers, a bridge's serial number, a child's events)
// as they may reach the operator's terminal: shown, never obeyed.
#pragma once

#include <string>

namespace ShownText {

// text with its control bytes written as "\xNN" (WireFormat::shownText), so that no escape
// sequence, BEL or backspace in it reaches the terminal.
std::string of(const std::string& text);

} // namespace ShownText
