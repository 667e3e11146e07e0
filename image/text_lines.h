// The lines of a text image: LF, CR LF and a lone CR each end a line. Shared by the S-record
// check, the S-record split and the Intel HEX reader, so that all three count lines alike.
#pragma once

#include <cstddef>

namespace TextLines {

struct Line {
    size_t start = 0;
    size_t length = 0; // without its line end
    bool hasEnd = false;
};

// The line at offset, which it moves past the line's end; false at the end of the bytes.
bool next(const char* bytes, size_t size, size_t& offset, Line& line);

// Blanks and tabs only (or nothing).
bool isBlank(const char* text, size_t length);

// The length without the blanks and tabs at its end.
size_t trimmedLength(const char* text, size_t length);

// A DOS editor's Ctrl-Z marks the end of a text; what follows it is not part of the text.
size_t withoutEndMark(const char* bytes, size_t size);

} // namespace TextLines
