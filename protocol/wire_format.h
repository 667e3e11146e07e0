// The bytes of command and reply lines, and the protocol's vocabulary.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char LeadChar = '!';
inline constexpr const char* AddressToken = "DVO";
inline constexpr uint16_t MaxReplyTokens = 25;
inline constexpr uint16_t TokenStorageSize = 2048;

// Index of a command in CommandNames, of its ReplySlot and of its ReplyHandlerTable row.
enum class CommandIndex : uint8_t { Ping = 0, Fwid = 1, Update = 2, Record = 3, Reboot = 4 };
inline constexpr int CommandCount = 5;

extern const char* const CommandNames[CommandCount];

// The status codes a report names, indexing StatusText.
enum class ReplyStatus : uint8_t {
    Ok = 0,
    InsufficientParameters = 1,
    TooManyParameters = 2,
    InvalidFormat = 3,
    OutOfRange = 4,
    ValueUnrecognised = 5,
    Busy = 6,
    NotAllowed = 7,
    InternalFailure = 8,
};
inline constexpr int StatusCount = 9;
extern const char* const StatusText[StatusCount];
inline const char* statusText(ReplyStatus status) {
    return StatusText[static_cast<int>(status)];
}

namespace WireFormat {

inline constexpr const char* HeadFormat = "%c%s %s ";
inline constexpr size_t HeadCapacity = 16; // "!DVO " + longest name + blank + NUL

// Composes the two pieces of a command line: the head ("!DVO NAME ") and the tail ("\n", or the
// argument followed by "\n"). Each piece is NUL-terminated; false when either does not fit.
bool composeCommand(CommandIndex command, const char* argument, char* head, size_t headCapacity,
                    char* tail, size_t tailCapacity);

// A product's text as a terminal may show it: C0 control bytes, DEL and the single-byte CSI
// (0x9B) become "\xNN", so what the product or a noisy line sends cannot move the cursor,
// clear the screen or retitle the window; every other byte stands as it is. Writes at most
// capacity - 1 characters and a NUL, never a cut escape; returns the length written.
size_t shownText(const char* text, char* out, size_t capacity);
// Room for any token shown whole.
inline constexpr size_t ShownTextCapacity = TokenStorageSize * 4 + 1;

} // namespace WireFormat
