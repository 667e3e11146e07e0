#include "serial/telnet_codec.h"

#include <initializer_list>

namespace {

using Reading = TelnetState::Reading;

// COM-PORT-OPTION commands as the client sends them; the server answers with 100 added.
constexpr uint8_t SetBaudRate = 1;
constexpr uint8_t SetDataSize = 2;
constexpr uint8_t SetParity = 3;
constexpr uint8_t SetStopSize = 4;
constexpr uint8_t SetControl = 5;
constexpr uint8_t PurgeData = 12;
constexpr uint8_t ServerAnswer = 100;

constexpr uint8_t DataBits = 8;
constexpr uint8_t NoParity = 1;
constexpr uint8_t OneStopBit = 1;
constexpr uint8_t NoFlowControl = 1;
constexpr uint8_t DtrOff = 9;
constexpr uint8_t RtsOff = 12;
constexpr uint8_t PurgeBoth = 3;

struct SettingRequest {
    uint8_t command;
    uint8_t value; // one byte; the baud rate's four come from the line rate
};

// In the order of ComPortSetting.
constexpr SettingRequest SettingRequests[] = {
    {SetBaudRate, 0},          {SetDataSize, DataBits},     {SetParity, NoParity},
    {SetStopSize, OneStopBit}, {SetControl, NoFlowControl}, {SetControl, DtrOff},
    {SetControl, RtsOff},      {PurgeData, PurgeBoth},
};
static_assert(sizeof SettingRequests / sizeof SettingRequests[0] == ComPortSettingCount);

constexpr uint8_t SpokenOptions[SpokenOptionCount] = {
    Telnet::OptionBinary, Telnet::OptionSuppressGoAhead, Telnet::OptionComPort};
// The server may send binary and without go-ahead; COM-PORT-OPTION goes from client to server.
constexpr bool WantedFromServer[SpokenOptionCount] = {true, true, false};

int spokenIndex(uint8_t option) {
    for (size_t i = 0; i < SpokenOptionCount; ++i) {
        if (SpokenOptions[i] == option) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void addAnswer(TelnetState& state, uint8_t verb, uint8_t option) {
    if (state.answerLength + 3 <= AnswerAreaSize) {
        state.answer[state.answerLength++] = Telnet::Iac;
        state.answer[state.answerLength++] = verb;
        state.answer[state.answerLength++] = option;
    }
}

// RFC 1143 without the queue bits: an option that is asked for and wanted is agreed, one that is
// not wanted is refused, and a change of state is answered once; an agreement to what we asked
// needs no answer, so requests and answers cannot loop.
void onEnable(OptionState* side, bool wanted, uint8_t option, TelnetState& state, uint8_t agree,
              uint8_t refuse) {
    if (side == nullptr || !wanted) {
        addAnswer(state, refuse, option);
        return;
    }
    if (*side == OptionState::No) {
        addAnswer(state, agree, option);
    }
    *side = OptionState::Yes;
}

void onDisable(OptionState* side, uint8_t option, TelnetState& state, uint8_t confirm) {
    if (side == nullptr) {
        return; // never on: nothing to confirm
    }
    if (*side == OptionState::Yes) {
        addAnswer(state, confirm, option);
    }
    *side = OptionState::No;
}

void onOption(TelnetState& state, uint8_t verb, uint8_t option) {
    const int index = spokenIndex(option);
    OptionState* ours = index >= 0 ? &state.ours[index] : nullptr;
    OptionState* theirs = index >= 0 ? &state.theirs[index] : nullptr;
    const bool wantedFromServer = index >= 0 && WantedFromServer[index];
    switch (verb) {
    case Telnet::Do:
        onEnable(ours, true, option, state, Telnet::Will, Telnet::Wont);
        break;
    case Telnet::Dont:
        onDisable(ours, option, state, Telnet::Wont);
        break;
    case Telnet::Will:
        onEnable(theirs, wantedFromServer, option, state, Telnet::Do, Telnet::Dont);
        break;
    default: // WONT
        onDisable(theirs, option, state, Telnet::Dont);
        break;
    }
}

// A SET-CONTROL answer tells by its value which setting it answers.
int controlSetting(uint32_t value) {
    switch (value) {
    case 1:
    case 2:
    case 3:
    case 17:
    case 19:
        return static_cast<int>(ComPortSetting::FlowControl);
    case 7:
    case 8:
    case 9:
        return static_cast<int>(ComPortSetting::Dtr);
    case 10:
    case 11:
    case 12:
        return static_cast<int>(ComPortSetting::Rts);
    default:
        return -1; // break state, inbound flow control
    }
}

int answeredSetting(uint8_t command, uint32_t value) {
    switch (command) {
    case ServerAnswer + SetBaudRate:
        return static_cast<int>(ComPortSetting::BaudRate);
    case ServerAnswer + SetDataSize:
        return static_cast<int>(ComPortSetting::DataSize);
    case ServerAnswer + SetParity:
        return static_cast<int>(ComPortSetting::Parity);
    case ServerAnswer + SetStopSize:
        return static_cast<int>(ComPortSetting::StopSize);
    case ServerAnswer + SetControl:
        return controlSetting(value);
    case ServerAnswer + PurgeData:
        return static_cast<int>(ComPortSetting::Purge);
    default:
        return -1; // notifications and the rest: nothing to act on
    }
}

void onSubnegotiation(TelnetState& state) {
    if (state.subLength < 3 || state.sub[0] != Telnet::OptionComPort) {
        return;
    }
    const uint8_t command = state.sub[1];
    const bool fourBytes = command == ServerAnswer + SetBaudRate;
    if (fourBytes && state.subLength < 6) {
        return;
    }
    uint32_t value = state.sub[2];
    if (fourBytes) {
        value = (static_cast<uint32_t>(state.sub[2]) << 24) |
                (static_cast<uint32_t>(state.sub[3]) << 16) |
                (static_cast<uint32_t>(state.sub[4]) << 8) | state.sub[5];
    }
    const int setting = answeredSetting(command, value);
    if (setting >= 0) {
        state.acknowledged[setting] = true;
        state.acknowledgedValue[setting] = value;
    }
}

void keepSubByte(TelnetState& state, uint8_t byte) {
    if (state.subLength < SubnegotiationSize) {
        state.sub[state.subLength++] = byte;
    }
}

// The byte after IAC outside a subnegotiation.
Reading afterIac(TelnetState& state, uint8_t byte) {
    switch (byte) {
    case Telnet::Will:
    case Telnet::Wont:
    case Telnet::Do:
    case Telnet::Dont:
        state.verb = byte;
        return Reading::Option;
    case Telnet::Sb:
        state.subLength = 0;
        return Reading::Sub;
    default:
        return Reading::Data; // NOP, GA, DM and the like carry nothing for us
    }
}

uint32_t expectedValue(size_t setting, uint32_t lineRate) {
    return setting == static_cast<size_t>(ComPortSetting::BaudRate)
               ? lineRate
               : SettingRequests[setting].value;
}

} // namespace

namespace Telnet {

void reset(TelnetState& state) {
    state = TelnetState{};
}

size_t openingRequests(TelnetState& state, uint8_t* out) {
    const uint8_t requests[OpeningRequestsSize] = {
        Iac, Will, OptionBinary,          Iac, Do,   OptionBinary, Iac, Will, OptionSuppressGoAhead,
        Iac, Do,   OptionSuppressGoAhead, Iac, Will, OptionComPort};
    for (size_t i = 0; i < OpeningRequestsSize; ++i) {
        out[i] = requests[i];
    }
    for (size_t i = 0; i < SpokenOptionCount; ++i) {
        state.ours[i] = OptionState::Asked;
        state.theirs[i] = WantedFromServer[i] ? OptionState::Asked : OptionState::No;
    }
    return OpeningRequestsSize;
}

size_t settingsRequest(uint32_t lineRate, uint8_t* out) {
    size_t length = 0;
    for (const SettingRequest& request : SettingRequests) {
        for (uint8_t byte : {Iac, Sb, OptionComPort, request.command}) {
            out[length++] = byte;
        }
        uint8_t value[4] = {request.value};
        size_t valueLength = 1;
        if (request.command == SetBaudRate) {
            value[0] = static_cast<uint8_t>(lineRate >> 24);
            value[1] = static_cast<uint8_t>(lineRate >> 16);
            value[2] = static_cast<uint8_t>(lineRate >> 8);
            value[3] = static_cast<uint8_t>(lineRate);
            valueLength = 4;
        }
        length += escape(value, valueLength, out + length);
        out[length++] = Iac;
        out[length++] = Se;
    }
    return length;
}

size_t decode(TelnetState& state, uint8_t* bytes, size_t count) {
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        switch (state.reading) {
        case Reading::Data:
            if (byte == Iac) {
                state.reading = Reading::Command;
            } else {
                bytes[kept++] = byte;
            }
            break;
        case Reading::Command:
            if (byte == Iac) {
                bytes[kept++] = byte; // an escaped 0xFF
                state.reading = Reading::Data;
            } else {
                state.reading = afterIac(state, byte);
            }
            break;
        case Reading::Option:
            onOption(state, state.verb, byte);
            state.reading = Reading::Data;
            break;
        case Reading::Sub:
            if (byte == Iac) {
                state.reading = Reading::SubCommand;
            } else {
                keepSubByte(state, byte);
            }
            break;
        case Reading::SubCommand:
            if (byte == Iac) {
                keepSubByte(state, byte);
                state.reading = Reading::Sub;
                break;
            }
            // IAC SE ends it; any other command ends it too and is then read as a command.
            onSubnegotiation(state);
            state.reading = byte == Se ? Reading::Data : afterIac(state, byte);
            break;
        }
    }
    return kept;
}

size_t escape(const uint8_t* data, size_t length, uint8_t* out) {
    size_t written = 0;
    for (size_t i = 0; i < length; ++i) {
        out[written++] = data[i];
        if (data[i] == Iac) {
            out[written++] = Iac;
        }
    }
    return written;
}

OptionState comPortOption(const TelnetState& state) {
    return state.ours[static_cast<size_t>(spokenIndex(OptionComPort))];
}

SettingsAnswer settingsAnswer(const TelnetState& state, uint32_t lineRate) {
    SettingsAnswer answer = SettingsAnswer::Taken;
    for (size_t setting = 0; setting < RequiredSettingCount; ++setting) {
        if (!state.acknowledged[setting]) {
            answer = SettingsAnswer::Waiting;
        } else if (state.acknowledgedValue[setting] != expectedValue(setting, lineRate)) {
            return SettingsAnswer::Wrong;
        }
    }
    return answer;
}

bool anyAcknowledged(const TelnetState& state) {
    for (bool acknowledged : state.acknowledged) {
        if (acknowledged) {
            return true;
        }
    }
    return false;
}

} // namespace Telnet
