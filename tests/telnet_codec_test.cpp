// The Telnet and COM-PORT-OPTION codec alone: what the server's bytes leave as data, what they are
// answered with, and when the line settings count as taken. Bytes are written as text with
// \xFF for IAC; a case's pieces are separate reads.
#include "serial/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string Iac = "\xFF";
const std::string Will = "\xFB", Wont = "\xFC", Do = "\xFD", Dont = "\xFE";
const std::string Binary = std::string(1, '\0'), Sga = "\x03", ComPort = ",", Echo = "\x01";

std::string command(const std::string& verb, const std::string& option) {
    return Iac + verb + option;
}

// An answer of the server to COM-PORT-OPTION command `code` with its value bytes.
std::string acknowledgement(uint8_t code, const std::string& value) {
    return Iac + "\xFA" + ComPort + std::string(1, static_cast<char>(code + 100)) + value + Iac +
           "\xF0";
}

const std::string Baud115200 = std::string("\x00\x01\xC2\x00", 4);
// What ser2net sends when a client connects: it offers and asks for binary and no go-ahead,
// offers ECHO and asks for COM-PORT-OPTION.
const std::string Ser2netGreeting = command(Will, Sga) + command(Do, Sga) + command(Will, Echo) +
                                    command(Dont, Echo) + command(Do, Binary) +
                                    command(Will, Binary) + command(Do, ComPort);

std::string decodePieces(TelnetState& state, const std::vector<std::string>& pieces,
                         std::string& answers) {
    std::string data;
    for (std::string piece : pieces) {
        auto* bytes = reinterpret_cast<uint8_t*>(piece.data());
        const size_t kept = Telnet::decode(state, bytes, piece.size());
        data.append(piece.data(), kept);
        answers.append(reinterpret_cast<const char*>(state.answer), state.answerLength);
        state.answerLength = 0;
    }
    return data;
}

struct DecodeCase {
    const char* what;
    bool requested; // the client's opening requests went out first
    std::vector<std::string> pieces;
    std::string data;
    std::string answers;
    OptionState comPort;
};

TEST(TelnetCodec, DecodesDataAndAnswersRequestsAcrossReads) {
    const DecodeCase cases[] = {
        {"plain data", true, {"!DVO PONG\r"}, "!DVO PONG\r", "", OptionState::Asked},
        {"escaped 0xFF",
         true,
         {std::string("A") + Iac + Iac + "B"},
         "A\xFF"
         "B",
         "",
         OptionState::Asked},
        {"escape split",
         true,
         {std::string("A") + Iac, Iac + "B"},
         "A\xFF"
         "B",
         "",
         OptionState::Asked},
        {"one byte a read",
         true,
         {"A", Iac, Will, Echo, "B"},
         "AB",
         command(Dont, Echo),
         OptionState::Asked},
        {"NOP and GA carry nothing",
         true,
         {std::string("A") + Iac + "\xF1" + Iac + "\xF9" + "B"},
         "AB",
         "",
         OptionState::Asked},
        {"ser2net's greeting",
         true,
         {Ser2netGreeting + "x"},
         "x",
         command(Dont, Echo),
         OptionState::Yes},
        {"COM-PORT-OPTION refused", true, {command(Dont, ComPort)}, "", "", OptionState::No},
        {"binary refused, no answer",
         true,
         {command(Wont, Binary) + command(Dont, Binary)},
         "",
         "",
         OptionState::Asked},
        {"unknown options refused",
         true,
         {command(Do, "\x18") + command(Will, "\x1F")},
         "",
         command(Wont, "\x18") + command(Dont, "\x1F"),
         OptionState::Asked},
        {"agreed twice, answered never",
         true,
         {command(Do, Binary) + command(Do, Binary) + command(Will, Sga) + command(Will, Sga)},
         "",
         "",
         OptionState::Asked},
        {"unasked request agreed once",
         false,
         {command(Do, Binary) + command(Do, Binary)},
         "",
         command(Will, Binary),
         OptionState::No},
        {"switched off after agreement",
         true,
         {command(Do, ComPort), command(Dont, ComPort), command(Dont, ComPort)},
         "",
         command(Wont, ComPort),
         OptionState::No},
        {"server offers COM-PORT-OPTION",
         true,
         {command(Will, ComPort)},
         "",
         command(Dont, ComPort),
         OptionState::Asked},
        {"notification between data",
         true,
         {std::string("ab") + acknowledgement(7, std::string(1, '\0')) + "cd"},
         "abcd",
         "",
         OptionState::Asked},
        {"subnegotiation split everywhere",
         true,
         {std::string("a") + Iac, "\xFA", ComPort, "\x6B", Iac + Iac, Iac,
          std::string("\xF0"
                      "b")},
         "ab",
         "",
         OptionState::Asked},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.what);
        TelnetState state;
        uint8_t requests[OpeningRequestsSize];
        if (c.requested) {
            Telnet::openingRequests(state, requests);
        }
        std::string answers;
        EXPECT_EQ(decodePieces(state, c.pieces, answers), c.data);
        EXPECT_EQ(answers, c.answers);
        EXPECT_EQ(Telnet::comPortOption(state), c.comPort);
        EXPECT_EQ(state.reading, TelnetState::Reading::Data); // nothing left half-read
    }
}

struct SettingsCase {
    const char* what;
    std::vector<std::string> acknowledgements; // one read each
    SettingsAnswer expected;
};

TEST(TelnetCodec, LineSettingsAreTakenOnlyWhenTheFiveRequiredAreAcknowledgedAsSent) {
    const std::string baud = acknowledgement(1, Baud115200);
    const std::string size = acknowledgement(2, "\x08"), parity = acknowledgement(3, "\x01");
    const std::string stop = acknowledgement(4, "\x01"), flow = acknowledgement(5, "\x01");
    const std::string dtr = acknowledgement(5, "\x09"), rts = acknowledgement(5, "\x0C");
    const std::string purge = acknowledgement(12, "\x03");
    const SettingsCase cases[] = {
        {"ser2net on a pty: no DTR or RTS",
         {purge + baud + size + parity + stop + flow},
         SettingsAnswer::Taken},
        {"every one", {baud, size, parity, stop, flow, dtr, rts, purge}, SettingsAnswer::Taken},
        {"nothing yet", {}, SettingsAnswer::Waiting},
        {"parity missing", {baud + size + stop + flow}, SettingsAnswer::Waiting},
        {"DTR and RTS are no flow control",
         {baud + size + parity + stop + dtr + rts},
         SettingsAnswer::Waiting},
        {"another baud rate",
         {acknowledgement(1, std::string("\x00\x00\x25\x80", 4)) + size},
         SettingsAnswer::Wrong},
        {"seven data bits", {baud + acknowledgement(2, "\x07")}, SettingsAnswer::Wrong},
        {"hardware flow control", {acknowledgement(5, "\x03")}, SettingsAnswer::Wrong},
        {"baud rate cut short",
         {acknowledgement(1, std::string("\x00\x01", 2)) + size + parity + stop + flow},
         SettingsAnswer::Waiting},
        {"acknowledgement split byte by byte",
         {baud.substr(0, 1), baud.substr(1, 3), baud.substr(4), size + parity + stop,
          flow.substr(0, 5), flow.substr(5)},
         SettingsAnswer::Taken},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.what);
        TelnetState state;
        std::string answers;
        EXPECT_EQ(decodePieces(state, c.acknowledgements, answers), "");
        EXPECT_EQ(Telnet::settingsAnswer(state, 115200), c.expected);
        EXPECT_EQ(Telnet::anyAcknowledged(state), !c.acknowledgements.empty());
    }
}

// A server that acknowledges each setting with the value sent: every line rate is then taken,
// one with 0xFF among its bytes too (escaped going out, unescaped coming back).
TEST(TelnetCodec, SettingsRequestEscapesItsValuesAndIsTakenWhenEchoed) {
    for (const uint32_t rate : {2400u, 14400u, 57600u, 115200u, 0x00FF00FFu}) {
        SCOPED_TRACE(rate);
        uint8_t request[SettingsRequestSize];
        const size_t length = Telnet::settingsRequest(rate, request);
        ASSERT_LE(length, SettingsRequestSize);
        std::string reply(reinterpret_cast<const char*>(request), length);
        for (size_t at = reply.find(Iac + "\xFA" + ComPort); at != std::string::npos;
             at = reply.find(Iac + "\xFA" + ComPort, at + 1)) {
            reply[at + 3] = static_cast<char>(reply[at + 3] + 100);
        }
        TelnetState state;
        std::string answers;
        EXPECT_EQ(decodePieces(state, {reply}, answers), "");
        EXPECT_EQ(Telnet::settingsAnswer(state, rate), SettingsAnswer::Taken);
        EXPECT_EQ(state.acknowledgedValue[static_cast<size_t>(ComPortSetting::Dtr)], 9u);
        EXPECT_EQ(state.acknowledgedValue[static_cast<size_t>(ComPortSetting::Rts)], 12u);
        EXPECT_EQ(state.acknowledgedValue[static_cast<size_t>(ComPortSetting::Purge)], 3u);
    }
    uint8_t request[SettingsRequestSize];
    const size_t length = Telnet::settingsRequest(115200, request);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(request), 10),
              Iac + "\xFA" + ComPort + "\x01" + Baud115200 + Iac + "\xF0");
    EXPECT_EQ(length, 10u + 7 * 7); // the baud rate's four value bytes, then one byte each
}

TEST(TelnetCodec, EscapeDoublesEveryIacAndNothingElse) {
    const struct {
        std::string data, sent;
    } cases[] = {{"", ""},
                 {"!DVO PING \n", "!DVO PING \n"},
                 {"\xFF", "\xFF\xFF"},
                 {"a\xFF\xFF"
                  "b\xFE",
                  "a\xFF\xFF\xFF\xFF"
                  "b\xFE"}};
    for (const auto& c : cases) {
        std::vector<uint8_t> out(2 * c.data.size() + 1);
        const size_t length = Telnet::escape(reinterpret_cast<const uint8_t*>(c.data.data()),
                                             c.data.size(), out.data());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), length), c.sent);
    }
}

} // namespace
