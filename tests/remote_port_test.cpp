// rfc2217:// and socket:// ports against a server the test scripts on the loopback: what the open
// makes of the server's answers (refused options, acknowledgements missing or wrong, commands
// split across reads), and the bytes both ways once the port is open.
#include "os/os.h"
#include "os/socket.h"
#include "serial/network_address.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int GuardMs = 5000; // longer than the open's 3 s negotiation limit

const std::string Iac = "\xFF";

std::string command(char verb, char option) {
    return Iac + verb + option;
}

std::string acknowledgement(uint8_t code, const std::string& value) {
    return Iac + "\xFA," + static_cast<char>(code + 100) + value + Iac + "\xF0";
}

const std::string Greeting = command('\xFB', '\x03') + command('\xFD', '\x03') +
                             command('\xFB', '\x01') + command('\xFD', '\x00') +
                             command('\xFB', '\x00') + command('\xFD', ',');
const std::string Baud = acknowledgement(1, std::string("\x00\x01\xC2\x00", 4));
const std::string FiveAcks = Baud + acknowledgement(2, "\x08") + acknowledgement(3, "\x01") +
                             acknowledgement(4, "\x01") + acknowledgement(5, "\x01");
const std::string LateAcks = acknowledgement(5, "\x09") + acknowledgement(5, "\x0C");
const std::string SettingsEnd = Iac + "\xFA," + "\x0C\x03" + Iac + "\xF0"; // the purge comes last

// One connection on a loopback port of its own, served by a script on a thread.
class ScriptedServer {
  public:
    ScriptedServer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            listen(listener, 1) == 0 &&
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port = ntohs(address.sin_port);
        }
    }
    ~ScriptedServer() {
        if (thread.joinable()) {
            thread.join();
        }
        ::close(listener);
        closePeer();
    }
    std::string url(const char* scheme) const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
    }
    void serve(std::function<void(ScriptedServer&)> script) {
        thread = std::thread([this, script] {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, GuardMs) == 1) {
                peer = accept(listener, nullptr, nullptr);
                script(*this);
            }
        });
    }
    void join() { thread.join(); }
    // Reads until `ending` has arrived (or, when empty, until the client closes), or the guard.
    std::string receiveUntil(const std::string& ending) {
        char chunk[4096];
        pollfd readable{peer, POLLIN, 0};
        while (peer >= 0 && (ending.empty() || heard.find(ending) == std::string::npos) &&
               poll(&readable, 1, GuardMs) > 0) {
            const ssize_t n = ::read(peer, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            heard.append(chunk, static_cast<size_t>(n));
        }
        return heard;
    }
    // Each piece a write of its own, a little apart, so that the client reads them apart. The
    // client may have closed already (it needs only the first five acknowledgements).
    void send(const std::vector<std::string>& pieces) {
        for (const std::string& piece : pieces) {
            ::send(peer, piece.data(), piece.size(), MSG_NOSIGNAL);
            Os::sleepMs(2);
        }
    }
    void closePeer() {
        if (peer >= 0) {
            ::close(peer);
            peer = -1;
        }
    }

    int listener = -1;
    int peer = -1;
    uint16_t port = 0;
    std::string heard; // everything the client sent
    std::thread thread;
};

// Answers the opening requests, then the settings, as a case says.
struct NegotiationCase {
    const char* what;
    std::vector<std::string> options; // after the opening requests
    bool closeAfterOptions;
    std::vector<std::string> settings; // after the settings
    OpenResult result;
    PortRefusal refusal;
    std::string answered; // what the client must have said besides requests and settings
};

void answerOpening(ScriptedServer& server, const NegotiationCase& c) {
    server.receiveUntil(command('\xFB', ','));
    server.send(c.options);
    if (c.closeAfterOptions) {
        server.closePeer();
        return;
    }
    server.receiveUntil(SettingsEnd);
    server.send(c.settings);
}

TEST(RemotePort, OpenTakesTheServersAnswersOrSaysWhyNot) {
    const std::string comPortRefused = command('\xFE', ',');
    const NegotiationCase cases[] = {
        {"like ser2net on a pty: no DTR or RTS",
         {Greeting},
         false,
         {FiveAcks},
         OpenResult::Ok,
         PortRefusal::None,
         command('\xFE', '\x01')},
        {"everything a byte a read",
         {Greeting.substr(0, 1), Greeting.substr(1)},
         false,
         [] {
             std::vector<std::string> bytes;
             for (char c : FiveAcks + LateAcks) {
                 bytes.emplace_back(1, c);
             }
             return bytes;
         }(),
         OpenResult::Ok,
         PortRefusal::None,
         ""},
        {"asks for options nobody speaks",
         {command('\xFD', '\x18') + Greeting},
         false,
         {FiveAcks},
         OpenResult::Ok,
         PortRefusal::None,
         command('\xFC', '\x18')},
        {"plain Telnet: COM-PORT-OPTION refused",
         {comPortRefused},
         false,
         {},
         OpenResult::NotConfigured,
         PortRefusal::NotRfc2217,
         ""},
        {"silent", {}, false, {}, OpenResult::NotConfigured, PortRefusal::NotRfc2217, ""},
        {"agrees, acknowledges nothing",
         {Greeting},
         false,
         {},
         OpenResult::NotConfigured,
         PortRefusal::NotRfc2217,
         ""},
        {"parity unacknowledged",
         {Greeting},
         false,
         {Baud + acknowledgement(2, "\x08") + acknowledgement(4, "\x01") +
          acknowledgement(5, "\x01")},
         OpenResult::NotConfigured,
         PortRefusal::SettingsNotTaken,
         ""},
        {"another baud rate",
         {Greeting},
         false,
         {acknowledgement(1, std::string("\x00\x00\x25\x80", 4))},
         OpenResult::NotConfigured,
         PortRefusal::SettingsNotTaken,
         ""},
        {"hardware flow control",
         {Greeting},
         false,
         {FiveAcks + acknowledgement(5, "\x03")},
         OpenResult::NotConfigured,
         PortRefusal::SettingsNotTaken,
         ""},
        {"hangs up at once",
         {},
         true,
         {},
         OpenResult::NotConfigured,
         PortRefusal::ConnectionClosed,
         ""},
    };
    for (const NegotiationCase& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server;
        ASSERT_NE(server.port, 0);
        server.serve([&c](ScriptedServer& s) {
            answerOpening(s, c);
            s.receiveUntil(""); // until the client closes
        });
        EXPECT_EQ(SerialPort::open(server.url("rfc2217").c_str(), 115200), c.result);
        EXPECT_EQ(SerialPort::refusal(), c.refusal);
        EXPECT_EQ(SerialPort::isOpen(), c.result == OpenResult::Ok);
        SerialPort::close();
        server.join();
        EXPECT_NE(server.heard.find(c.answered), std::string::npos);
    }
}

TEST(RemotePort, RefusedBeforeAnyNegotiation) {
    uint16_t unused = 0;
    {
        ScriptedServer nobody; // its port is closed again before anyone connects
        unused = nobody.port;
    }
    ASSERT_NE(unused, 0);
    const std::string port = std::to_string(unused);
    const struct {
        std::string name;
        PortRefusal refusal;
    } cases[] = {
        {"rfc2217://127.0.0.1:" + port, PortRefusal::ConnectionRefused},
        {"socket://localhost:" + port, PortRefusal::ConnectionRefused},
        {"rfc2217://no-such-host.invalid:3001", PortRefusal::UnknownHost},
        {"rfc2217://127.0.0.1", PortRefusal::NotHostAndPort},
        {"socket://127.0.0.1:70000", PortRefusal::NotHostAndPort},
        {"rfc2217://[::1:3001", PortRefusal::NotHostAndPort},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SerialPort::open(c.name.c_str(), 115200), OpenResult::NotOpened);
        EXPECT_EQ(SerialPort::refusal(), c.refusal);
        EXPECT_FALSE(SerialPort::isOpen());
    }
}

// Takes the connection the tool made, if any: true when there was one.
bool acceptWaiting(const ScriptedServer& server) {
    pollfd waiting{server.listener, POLLIN, 0};
    if (poll(&waiting, 1, 0) != 1) {
        return false;
    }
    ::close(accept(server.listener, nullptr, nullptr));
    return true;
}

// A stop event set before the connect starts ends it before any lookup or connection; the same
// names connect without it.
TEST(RemotePort, ConnectGivesUpAtAStopBeforeAnyConnection) {
    ScriptedServer server;
    ASSERT_NE(server.port, 0);
    const std::string service = std::to_string(server.port);
    Os::EventHandle stop = Os::createEvent(Os::EventReset::Manual);
    const struct {
        const char* host;
        bool stopped;
        Os::ConnectResult result;
    } cases[] = {
        {"127.0.0.1", true, Os::ConnectResult::Stopped},
        {"localhost", true, Os::ConnectResult::Stopped},
        {"127.0.0.1", false, Os::ConnectResult::Connected},
        {"localhost", false, Os::ConnectResult::Connected},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.host) + (c.stopped ? ", stopped" : ""));
        c.stopped ? Os::setEvent(stop) : Os::resetEvent(stop);
        Os::SocketHandle socket = nullptr;
        EXPECT_EQ(Os::connectTcp(c.host, service.c_str(), GuardMs, stop, socket), c.result);
        EXPECT_EQ(socket != nullptr, c.result == Os::ConnectResult::Connected);
        EXPECT_EQ(acceptWaiting(server), !c.stopped);
        Os::closeSocket(socket);
    }
    Os::closeEvent(stop);
}

// Lookups given up on at once (a limit of 0) leave their threads to finish alone and free what
// they found (the sanitizers watch); their requests come free again, so a later lookup connects.
TEST(RemotePort, LookupsGivenUpOnComeFreeAgain) {
    ScriptedServer server;
    ASSERT_NE(server.port, 0);
    const std::string service = std::to_string(server.port);
    Os::SocketHandle socket = nullptr;
    int givenUp = 0;
    // As many as there are requests; a thread that answers first, or all requests in use by
    // threads still running, does not count.
    for (int tries = 0; givenUp < 4 && tries < 100; ++tries) {
        givenUp += Os::connectTcp("localhost", service.c_str(), 0, nullptr, socket) ==
                   Os::ConnectResult::NameServerSilent;
        Os::closeSocket(socket);
        while (acceptWaiting(server)) { // a connect made in no time must not fill the backlog
        }
    }
    EXPECT_EQ(givenUp, 4);
    Os::ConnectResult result = Os::ConnectResult::Failed;
    for (uint32_t began = Os::tickCount();
         result != Os::ConnectResult::Connected && Os::tickCount() - began < GuardMs;
         Os::sleepMs(10)) {
        result = Os::connectTcp("localhost", service.c_str(), GuardMs, nullptr, socket);
    }
    EXPECT_EQ(result, Os::ConnectResult::Connected);
    Os::closeSocket(socket);
}

// What the receive thread put into the ring, taken as the reply reader would.
std::string takeFromRing(size_t count) {
    std::string got;
    uint8_t chunk[2048];
    while (got.size() < count && Os::waitEvent(SerialPort::dataReadyEvent(), GuardMs)) {
        got.append(reinterpret_cast<char*>(chunk), ReceiveBuffer::get(chunk, sizeof chunk));
    }
    return got;
}

struct TransferCase {
    const char* scheme;
    std::vector<std::string> serverSends; // after the open
    std::string ringGets;
    std::string serverGets; // for the client's write of "!DVO \xFF\n"
};

// Open, a write each way, then the server hangs up: the port is lost.
TEST(RemotePort, BytesCrossEscapedAndAHangUpLosesThePort) {
    const TransferCase cases[] = {
        {"rfc2217",
         {std::string("!DVO PO") + Iac, Iac + "NG\r" + LateAcks.substr(0, 3),
          LateAcks.substr(3) + "!x" + Iac,
          "\xF1"
          "y\r"},
         "!DVO PO\xFFNG\r!xy\r",
         "!DVO \xFF\xFF\n"},
        {"socket",
         {std::string("!DVO PO") + Iac, Iac + "NG\r"},
         "!DVO PO\xFF\xFFNG\r",
         "!DVO \xFF\n"},
    };
    for (const TransferCase& c : cases) {
        SCOPED_TRACE(c.scheme);
        const bool telnet = std::string(c.scheme) == "rfc2217";
        ScriptedServer server;
        Os::EventHandle lost = Os::createEvent(Os::EventReset::Manual);
        SerialPort::setLossEvent(lost);
        server.serve([&](ScriptedServer& s) {
            if (telnet) {
                answerOpening(s, {"", {Greeting}, false, {FiveAcks}, {}, {}, ""});
            }
            s.heard.clear();
            s.receiveUntil("\n");
            s.send(c.serverSends);
            s.closePeer();
        });
        ASSERT_EQ(SerialPort::open(server.url(c.scheme).c_str(), 115200), OpenResult::Ok);
        EXPECT_TRUE(SerialPort::write("!DVO %c\n", 0xFF));
        EXPECT_EQ(takeFromRing(c.ringGets.size()), c.ringGets);
        EXPECT_TRUE(Os::waitEvent(lost, GuardMs));
        EXPECT_TRUE(SerialPort::isLost());
        SerialPort::setLossEvent(nullptr);
        SerialPort::close();
        server.join();
        EXPECT_EQ(server.heard, c.serverGets);
        Os::closeEvent(lost);
    }
}

TEST(RemotePort, NamesParseIntoHostAndPort) {
    const struct {
        const char* name;
        PortScheme scheme;
        const char* host; // nullptr: refused
        const char* service;
        const char* canonical;
    } cases[] = {
        {"rfc2217://lab1:3001", PortScheme::Rfc2217, "lab1", "3001", "rfc2217://lab1:3001"},
        {"RFC2217://Lab1.example:03001", PortScheme::Rfc2217, "Lab1.example", "3001",
         "rfc2217://lab1.example:3001"},
        {"socket://192.168.1.20:4000", PortScheme::RawTcp, "192.168.1.20", "4000",
         "socket://192.168.1.20:4000"},
        {"rfc2217://[FE80::1%eth0]:3001", PortScheme::Rfc2217, "FE80::1%eth0", "3001",
         "rfc2217://[fe80::1%eth0]:3001"},
        {"rfc2217://lab1", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://lab1:", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://:3001", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://lab1:0", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://lab1:65536", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://lab1:3001/x", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://::1:3001", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"rfc2217://[]:3001", PortScheme::Rfc2217, nullptr, nullptr, ""},
        {"telnet://lab1:3001", PortScheme::Local, nullptr, nullptr, ""},
        {"/dev/ttyUSB0", PortScheme::Local, nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NetworkPort::schemeOf(c.name), c.scheme);
        NetworkAddress address;
        ASSERT_EQ(NetworkPort::parse(c.name, address), c.host != nullptr);
        char canonical[64];
        EXPECT_EQ(NetworkPort::canonicalName(c.name, canonical, sizeof canonical),
                  c.host != nullptr);
        EXPECT_STREQ(canonical, c.canonical);
        if (c.host != nullptr) {
            EXPECT_STREQ(address.host, c.host);
            EXPECT_STREQ(address.service, c.service);
        }
    }
}

} // namespace
