// The client's side of Telnet (RFC 854, with RFC 1143's rules for answering options) and its
// COM-PORT-OPTION (RFC 2217), as a serial port server such as ser2net speaks them: the requests
// the client opens with, the line settings it sends once, IAC escaped in both directions, and the
// reading of what the server sends, a command split across reads included. Platform-free; it
// never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Telnet {

inline constexpr uint8_t Iac = 255;
inline constexpr uint8_t Dont = 254;
inline constexpr uint8_t Do = 253;
inline constexpr uint8_t Wont = 252;
inline constexpr uint8_t Will = 251;
inline constexpr uint8_t Sb = 250;
inline constexpr uint8_t Se = 240;
inline constexpr uint8_t OptionBinary = 0;
inline constexpr uint8_t OptionSuppressGoAhead = 3;
inline constexpr uint8_t OptionComPort = 44;

} // namespace Telnet

// The settings sent at open, in the order sent. The first five must be acknowledged; a port
// without modem lines leaves DTR and RTS unacknowledged, and nobody needs the purge's answer.
enum class ComPortSetting : uint8_t {
    BaudRate,
    DataSize,
    Parity,
    StopSize,
    FlowControl,
    Dtr,
    Rts,
    Purge,
    Count
};
inline constexpr size_t ComPortSettingCount = static_cast<size_t>(ComPortSetting::Count);
inline constexpr size_t RequiredSettingCount = static_cast<size_t>(ComPortSetting::Dtr);

// One side of one option: off, requested and unanswered, or on.
enum class OptionState : uint8_t { No, Asked, Yes };

inline constexpr size_t SpokenOptionCount = 3; // binary, suppress go-ahead, COM-PORT-OPTION
inline constexpr size_t SubnegotiationSize = 16;
inline constexpr size_t AnswerAreaSize = 96; // answers to one read's requests; more are dropped
inline constexpr size_t OpeningRequestsSize = 15;
inline constexpr size_t SettingsRequestSize = 80;

struct TelnetState {
    enum class Reading : uint8_t { Data, Command, Option, Sub, SubCommand };
    Reading reading = Reading::Data;
    uint8_t verb = 0; // WILL, WONT, DO or DONT awaiting its option
    uint8_t sub[SubnegotiationSize] = {};
    size_t subLength = 0;                       // what did not fit is dropped
    OptionState ours[SpokenOptionCount] = {};   // we WILL
    OptionState theirs[SpokenOptionCount] = {}; // the server WILL
    bool acknowledged[ComPortSettingCount] = {};
    uint32_t acknowledgedValue[ComPortSettingCount] = {};
    uint8_t answer[AnswerAreaSize] = {}; // to send to the server after a decode
    size_t answerLength = 0;
};

enum class SettingsAnswer : uint8_t { Waiting, Taken, Wrong };

namespace Telnet {

void reset(TelnetState& state);

// WILL and DO BINARY, WILL and DO SUPPRESS-GO-AHEAD, WILL COM-PORT-OPTION; the options are marked
// asked. out holds OpeningRequestsSize bytes; returns the length.
size_t openingRequests(TelnetState& state, uint8_t* out);

// The settings as COM-PORT-OPTION subnegotiations: the line rate, 8 data bits, no parity, one
// stop bit, no flow control, DTR off, RTS off, both directions purged. out holds
// SettingsRequestSize bytes; returns the length.
size_t settingsRequest(uint32_t lineRate, uint8_t* out);

// Takes bytes as the server sent them and leaves the data among them at the front of bytes, in
// order; returns its length. Commands are acted on: option requests get their answers in
// state.answer (the caller sends and clears them), acknowledgements are noted.
size_t decode(TelnetState& state, uint8_t* bytes, size_t count);

// Data to the server with IAC doubled; out holds 2 * length bytes. Returns the length written.
size_t escape(const uint8_t* data, size_t length, uint8_t* out);

// Asked until the server agrees (Yes) or refuses (No).
OptionState comPortOption(const TelnetState& state);

// Taken when the five required settings are acknowledged with the values sent; Wrong as soon as
// one is acknowledged with another value.
SettingsAnswer settingsAnswer(const TelnetState& state, uint32_t lineRate);
bool anyAcknowledged(const TelnetState& state);

} // namespace Telnet
