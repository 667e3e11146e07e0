// A serial port served over the network, by ser2net or the like: a TCP connection through os/,
// with Telnet and COM-PORT-OPTION on it (rfc2217://) or without (socket://, the server's own line
// settings hold). Its receive thread waits on the socket and moves what arrives into the ring as
// the local port's does; a connection that closes or breaks is a lost port.
#include "os/interrupt.h"
#include "os/socket.h"
#include "serial/network_address.h"
#include "serial/serial_port_internal.h"
#include "serial/telnet_codec.h"

namespace {

constexpr uint32_t ConnectLimitMs = 5000;
// Options, settings and their acknowledgements, all told.
constexpr uint32_t NegotiationLimitMs = 3000;
// A write that cannot get a byte out for this long fails, as on the local port.
constexpr uint32_t SendStallLimitMs = 2000;

struct RemotePortState {
    bool telnet = false; // rfc2217://
    Os::SocketHandle socket = nullptr;
    TelnetState codec; // open's until the receive thread starts, then the thread's
    uint8_t escaped[2 * TransmitTextSize] = {};
    uint8_t requests[SettingsRequestSize] = {};
};

RemotePortState remote;

struct Handles {
    Os::SocketHandle socket = nullptr;
    Os::EventHandle dataReady = nullptr;
    Os::EventHandle stop = nullptr;
    bool telnet = false;
};

Handles handed; // written before the thread starts, copied by it as it starts
thread_local Handles own;

bool refuse(PortRefusal why) {
    serialPortState.refusal = why;
    serialPortState.lastError = Os::lastSocketError();
    return false;
}

PortRefusal refusalOf(Os::ConnectResult result) {
    switch (result) {
    case Os::ConnectResult::UnknownHost:
        return PortRefusal::UnknownHost;
    case Os::ConnectResult::NameServerSilent:
        return PortRefusal::NameServerSilent;
    case Os::ConnectResult::Refused:
        return PortRefusal::ConnectionRefused;
    case Os::ConnectResult::NoAnswer:
        return PortRefusal::NoAnswer;
    case Os::ConnectResult::Stopped:
        return PortRefusal::Stopped;
    case Os::ConnectResult::Connected:
    case Os::ConnectResult::Failed:
        break;
    }
    return PortRefusal::Failed;
}

// Answers to the server's option requests, as the codec collected them; a failure shows in the
// next read. While the port is open they are writes like any other, under the port's write lock
// (open's negotiation runs before any other writer exists).
void sendAnswers(Os::SocketHandle socket, TelnetState& codec, bool portOpen) {
    if (codec.answerLength == 0) {
        return;
    }
    if (portOpen) {
        Os::enterLock(serialPortState.writeLock);
    }
    Os::sendAll(socket, codec.answer, codec.answerLength, SendStallLimitMs);
    if (portOpen) {
        Os::leaveLock(serialPortState.writeLock);
    }
    codec.answerLength = 0;
}

bool connect(const char* portName, bool telnet) {
    NetworkAddress address;
    if (!NetworkPort::parse(portName, address)) {
        return refuse(PortRefusal::NotHostAndPort);
    }
    // A stop request ends the lookup and the connect at once: the user is not kept waiting for a
    // server that does not answer.
    const Os::ConnectResult result = Os::connectTcp(address.host, address.service, ConnectLimitMs,
                                                    Os::interruptEvent(), remote.socket);
    if (result != Os::ConnectResult::Connected) {
        return refuse(refusalOf(result));
    }
    remote.telnet = telnet;
    return true;
}

enum class Heard : uint8_t { Something, Nothing, Closed, Stopped };

Heard heardOf(Os::SocketWait woke) {
    switch (woke) {
    case Os::SocketWait::Readable:
        return Heard::Something;
    case Os::SocketWait::Timeout:
        return Heard::Nothing;
    case Os::SocketWait::Stop:
        return Heard::Stopped;
    case Os::SocketWait::Failed:
        break;
    }
    return Heard::Closed;
}

// The refusal for a wait that heard nothing new: silence is the caller's to name.
PortRefusal refusalOf(Heard heard, PortRefusal silence) {
    switch (heard) {
    case Heard::Closed:
        return PortRefusal::ConnectionClosed;
    case Heard::Stopped:
        return PortRefusal::Stopped;
    case Heard::Something:
    case Heard::Nothing:
        break;
    }
    return silence;
}

// One wait of the open's negotiation, which a stop request ends at once: what arrives is read and
// acted on; data before the port is open is dropped, as the local port purges what its driver
// holds.
Heard listen(uint32_t started) {
    const uint32_t elapsed = Os::tickCount() - started;
    if (elapsed >= NegotiationLimitMs) {
        return Heard::Nothing;
    }
    const Heard heard = heardOf(
        Os::waitReadable(remote.socket, Os::interruptEvent(), NegotiationLimitMs - elapsed));
    if (heard != Heard::Something) {
        return heard;
    }
    for (;;) {
        const int32_t got =
            Os::receiveSome(remote.socket, serialPortState.readChunk, ReadChunkLimit);
        if (got < 0) {
            return Heard::Closed;
        }
        if (got == 0) {
            return Heard::Something;
        }
        Telnet::decode(remote.codec, serialPortState.readChunk, static_cast<size_t>(got));
        sendAnswers(remote.socket, remote.codec, false);
    }
}

// Nothing more goes to the server once a stop is asked for: the settings would reach the product's
// line (DTR and RTS).
bool sendRequests(size_t length) {
    if (Os::interruptRequested()) {
        return refuse(PortRefusal::Stopped);
    }
    if (Os::sendAll(remote.socket, remote.requests, length, SendStallLimitMs) !=
        Os::SocketSend::Sent) {
        return refuse(PortRefusal::ConnectionClosed);
    }
    return true;
}

// The server must take COM-PORT-OPTION before the settings go out.
bool agreeOnOptions(uint32_t started) {
    if (!sendRequests(Telnet::openingRequests(remote.codec, remote.requests))) {
        return false;
    }
    while (Telnet::comPortOption(remote.codec) == OptionState::Asked) {
        const Heard heard = listen(started);
        if (heard != Heard::Something) {
            return refuse(refusalOf(heard, PortRefusal::NotRfc2217));
        }
    }
    return Telnet::comPortOption(remote.codec) == OptionState::Yes ||
           refuse(PortRefusal::NotRfc2217);
}

// Every setting goes out at once and their acknowledgements are awaited together. DTR and RTS
// are not awaited: a port without modem lines never acknowledges them, and their answers, when
// they come, are read by the receive thread.
bool settle(uint32_t lineRate, uint32_t started) {
    if (!sendRequests(Telnet::settingsRequest(lineRate, remote.requests))) {
        return false;
    }
    for (;;) {
        switch (Telnet::settingsAnswer(remote.codec, lineRate)) {
        case SettingsAnswer::Taken:
            return true;
        case SettingsAnswer::Wrong:
            return refuse(PortRefusal::SettingsNotTaken);
        case SettingsAnswer::Waiting:
            break;
        }
        const Heard heard = listen(started);
        if (heard != Heard::Something) {
            return refuse(refusalOf(heard, Telnet::anyAcknowledged(remote.codec)
                                               ? PortRefusal::SettingsNotTaken
                                               : PortRefusal::NotRfc2217));
        }
    }
}

bool negotiate(uint32_t lineRate) {
    const uint32_t started = Os::tickCount();
    Telnet::reset(remote.codec);
    return agreeOnOptions(started) && settle(lineRate, started);
}

// Reads until nothing waits; false once the connection has closed or broken.
bool drain() {
    SerialPortState& port = serialPortState;
    for (;;) {
        const int32_t got = Os::receiveSome(own.socket, port.readChunk, ReadChunkLimit);
        if (got <= 0) {
            return got == 0;
        }
        size_t count = static_cast<size_t>(got);
        if (own.telnet) {
            count = Telnet::decode(remote.codec, port.readChunk, count);
            sendAnswers(own.socket, remote.codec, true);
        }
        if (count > 0) {
            // A chunk that does not fit is dropped whole; the reader is woken all the same.
            ReceiveBuffer::put(port.readChunk, static_cast<uint16_t>(count));
            port.bytesReceived.fetch_add(count, std::memory_order_relaxed);
            Os::setEvent(own.dataReady);
        }
    }
}

unsigned receive() {
    own = handed;
    for (;;) {
        const Os::SocketWait woke = Os::waitReadable(own.socket, own.stop, Os::Infinite);
        if (woke == Os::SocketWait::Stop) {
            break;
        }
        if (woke != Os::SocketWait::Readable || !drain()) {
            // Say so once, then wait for the stop event alone: the connection will not return.
            SerialPort::markLost();
            Os::waitEvent(own.stop, Os::Infinite);
            break;
        }
    }
    serialPortState.receiveThreadEnded.store(1, std::memory_order_release);
    return 0;
}

bool openRfc2217(const char* portName) {
    return connect(portName, true);
}

bool openRawTcp(const char* portName) {
    return connect(portName, false);
}

bool configure(uint32_t lineRate) {
    return !remote.telnet || negotiate(lineRate);
}

bool prepareReceiving() {
    handed = Handles{remote.socket, serialPortState.dataReadyEvent, serialPortState.stopEvent,
                     remote.telnet};
    return true;
}

bool send(const char* text, size_t length) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    if (remote.telnet) {
        length = Telnet::escape(bytes, length, remote.escaped);
        bytes = remote.escaped;
    }
    // Called under the port's write lock, which the receive thread's answers take too.
    const Os::SocketSend result = Os::sendAll(remote.socket, bytes, length, SendStallLimitMs);
    if (result == Os::SocketSend::Broken) {
        SerialPort::markLost();
    }
    if (result != Os::SocketSend::Sent) {
        serialPortState.lastError = Os::lastSocketError();
    }
    return result == Os::SocketSend::Sent;
}

void quiesce() {} // nothing is queued on this side that the close would not drop

ReceiverFate closeDevice(bool threadEnded) {
    if (!threadEnded) {
        // An abandoned thread may still use the socket: leave it to it.
        remote.socket = nullptr;
        return ReceiverFate::LeftRunning;
    }
    Os::closeSocket(remote.socket);
    remote.socket = nullptr;
    return ReceiverFate::Gone;
}

} // namespace

const PortTransport Rfc2217Transport{
    .openDevice = openRfc2217,
    .configure = configure,
    .prepareReceiving = prepareReceiving,
    .send = send,
    .quiesce = quiesce,
    .closeDevice = closeDevice,
    .receive = receive,
};

const PortTransport RawTcpTransport{
    .openDevice = openRawTcp,
    .configure = configure,
    .prepareReceiving = prepareReceiving,
    .send = send,
    .quiesce = quiesce,
    .closeDevice = closeDevice,
    .receive = receive,
};
