#include "image/text_lines.h"

namespace TextLines {

bool next(const char* bytes, size_t size, size_t& offset, Line& line) {
    if (offset >= size) {
        return false;
    }
    line.start = offset;
    size_t at = offset;
    while (at < size && bytes[at] != '\n' && bytes[at] != '\r') {
        ++at;
    }
    line.length = at - offset;
    line.hasEnd = at < size;
    const bool crLf = line.hasEnd && bytes[at] == '\r' && at + 1 < size && bytes[at + 1] == '\n';
    offset = at + (line.hasEnd ? 1 : 0) + (crLf ? 1 : 0);
    return true;
}

bool isBlank(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] != ' ' && text[i] != '\t') {
            return false;
        }
    }
    return true;
}

size_t trimmedLength(const char* text, size_t length) {
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) {
        --length;
    }
    return length;
}

size_t withoutEndMark(const char* bytes, size_t size) {
    while (size > 0 && bytes[size - 1] == '\x1A') {
        --size;
    }
    return size;
}

} // namespace TextLines
