#include "protocol/wire_format.h"

#include <cstdio>

const char* const CommandNames[CommandCount] = {"PING", "FWID", "UPDATE", "RECORD", "REBOOT"};

const char* const StatusText[StatusCount] = {
    "OK\r\n",
    "ERROR: Insufficient parameters\r\n",
    "ERROR: Too many parameters\r\n",
    "ERROR: Invalid parameter format\r\n",
    "ERROR: Parameter value out of range\r\n",
    "ERROR: Parameter value unrecognised\r\n",
    "ERROR: System Busy, cannot process command\r\n",
    "ERROR: Command not allowed in current system configuration\r\n",
    "ERROR: Internal module failed\r\n",
};

namespace WireFormat {

namespace {

bool fits(int written, size_t capacity) {
    return written >= 0 && static_cast<size_t>(written) < capacity;
}

bool obeyedByTerminals(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F || byte == 0x9B;
}

} // namespace

bool composeCommand(CommandIndex command, const char* argument, char* head, size_t headCapacity,
                    char* tail, size_t tailCapacity) {
    const char* name = CommandNames[static_cast<int>(command)];
    int headLength = std::snprintf(head, headCapacity, HeadFormat, LeadChar, AddressToken, name);
    int tailLength = argument != nullptr ? std::snprintf(tail, tailCapacity, "%s\n", argument)
                                         : std::snprintf(tail, tailCapacity, "\n");
    return fits(headLength, headCapacity) && fits(tailLength, tailCapacity);
}

size_t shownText(const char* text, char* out, size_t capacity) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    size_t length = 0;
    for (; capacity > 0 && *text != '\0'; ++text) {
        const auto byte = static_cast<unsigned char>(*text);
        const size_t room = capacity - 1 - length;
        if (!obeyedByTerminals(byte)) {
            if (room < 1) {
                break;
            }
            out[length++] = static_cast<char>(byte);
        } else {
            if (room < 4) {
                break;
            }
            out[length++] = '\\';
            out[length++] = 'x';
            out[length++] = Hex[byte >> 4];
            out[length++] = Hex[byte & 0x0F];
        }
    }
    if (capacity > 0) {
        out[length] = '\0';
    }
    return length;
}

} // namespace WireFormat
