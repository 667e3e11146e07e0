#include "serial/network_address.h"
#include "serial/serial_port_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

SerialPortState serialPortState;

const PortTransport LocalTransport{
    .openDevice = PortHooks::openDevice,
    .configure = PortHooks::configure,
    .prepareReceiving = PortHooks::prepareReceiving,
    .send = PortHooks::send,
    .quiesce = PortHooks::quiesce,
    .closeDevice = PortHooks::closeDevice,
    .receive = ReceiveThread::run,
};

namespace SerialPort {

uint32_t lineRate(uint32_t requested) {
    static constexpr uint32_t Supported[] = {2400, 4800, 9600, 14400, 19200, 38400, 57600};
    for (uint32_t rate : Supported) {
        if (rate == requested) {
            return rate;
        }
    }
    return 115200;
}

bool isOpen() {
    return serialPortState.portOpen.load(std::memory_order_acquire) != 0;
}

uint64_t bytesWritten() {
    return serialPortState.bytesWritten.load(std::memory_order_relaxed);
}

uint64_t bytesReceived() {
    return serialPortState.bytesReceived.load(std::memory_order_relaxed);
}

bool isLost() {
    return serialPortState.portLost.load(std::memory_order_acquire) != 0;
}

void setLossEvent(Os::EventHandle event) {
    serialPortState.lossEvent.store(event, std::memory_order_release);
}

void markLost() {
    serialPortState.portLost.store(1, std::memory_order_release);
    Os::EventHandle event = serialPortState.lossEvent.load(std::memory_order_acquire);
    if (event != nullptr) {
        Os::setEvent(event);
    }
}

Os::EventHandle dataReadyEvent() {
    return serialPortState.dataReadyEvent;
}

int lastError() {
    return serialPortState.lastError;
}

PortRefusal refusal() {
    return serialPortState.refusal;
}

const char* heldBy() {
    return serialPortState.heldBy;
}

size_t formatTransmitText(const char* format, va_list arguments) {
    char* text = serialPortState.transmitText;
    std::memset(text, 0, TransmitTextSize);
    std::vsnprintf(text, TransmitTextSize, format, arguments);
    return std::strlen(text);
}

namespace {

// The events go with the thread: one left running by force may still wait on them, so they are
// left to it rather than let their handles be reused under it.
void releaseEvents(ReceiverFate receiver) {
    SerialPortState& port = serialPortState;
    if (receiver == ReceiverFate::Gone) {
        Os::closeEvent(port.dataReadyEvent);
        Os::closeEvent(port.stopEvent);
    }
    port.dataReadyEvent = nullptr;
    port.stopEvent = nullptr;
}

bool startReceiving() {
    SerialPortState& port = serialPortState;
    port.dataReadyEvent = Os::createEvent(Os::EventReset::Auto);
    port.stopEvent = Os::createEvent(Os::EventReset::Manual);
    if (port.dataReadyEvent == nullptr || port.stopEvent == nullptr ||
        !port.transport->prepareReceiving()) {
        return false;
    }
    port.receiveThreadEnded.store(0, std::memory_order_release);
    port.receiveThread = Os::startThread(port.transport->receive, nullptr);
    if (port.receiveThread == nullptr) {
        port.receiveThreadEnded.store(1, std::memory_order_release);
        return false;
    }
    Os::setTimeCriticalPriority(port.receiveThread);
    return true;
}

OpenResult failOpen(OpenResult result) {
    releaseEvents(serialPortState.transport->closeDevice(true));
    return result;
}

const PortTransport& transportFor(const char* portName) {
    switch (NetworkPort::schemeOf(portName)) {
    case PortScheme::Rfc2217:
        return Rfc2217Transport;
    case PortScheme::RawTcp:
        return RawTcpTransport;
    case PortScheme::Local:
        break;
    }
    return LocalTransport;
}

} // namespace

OpenResult open(const char* portName, uint32_t baudRate) {
    if (isOpen()) {
        close();
    }
    ReceiveBuffer::reset();
    SerialPortState& port = serialPortState;
    port.transport = &transportFor(portName);
    port.refusal = PortRefusal::None;
    port.heldBy[0] = '\0';
    if (!port.transport->openDevice(portName)) {
        return failOpen(OpenResult::NotOpened);
    }
    if (!port.transport->configure(lineRate(baudRate))) {
        return failOpen(OpenResult::NotConfigured);
    }
    serialPortState.portLost.store(0, std::memory_order_release);
    // Before the receive thread starts: a network port's thread writes its answers to the
    // server under it.
    Os::initLock(serialPortState.writeLock);
    if (!startReceiving()) {
        Os::deleteLock(serialPortState.writeLock);
        return failOpen(OpenResult::NotConfigured);
    }
    serialPortState.portOpen.store(1, std::memory_order_release);
    return OpenResult::Ok;
}

bool write(const char* format, ...) {
    SerialPortState& port = serialPortState;
    if (!isOpen()) {
        return false;
    }
    va_list arguments;
    va_start(arguments, format);
    const size_t length = formatTransmitText(format, arguments);
    va_end(arguments);
    Os::enterLock(port.writeLock);
    const bool sent = port.transport->send(port.transmitText, length);
    Os::leaveLock(port.writeLock);
    port.bytesWritten.fetch_add(sent ? length : 0, std::memory_order_relaxed);
    return sent;
}

bool close() {
    SerialPortState& port = serialPortState;
    if (!isOpen()) {
        return false;
    }
    const bool ended = stopReceiveThread();
    Os::closeThread(port.receiveThread);
    port.receiveThread = nullptr;
    port.transport->quiesce();
    if (ended) {
        Os::deleteLock(port.writeLock); // a thread left running may still take it
    }
    releaseEvents(port.transport->closeDevice(ended));
    port.portOpen.store(0, std::memory_order_release);
    return true;
}

bool stopReceiveThread() {
    SerialPortState& port = serialPortState;
    return Os::stopThread(port.receiveThread, port.stopEvent, port.receiveThreadEnded,
                          ReceiveThreadStopLimitMs);
}

} // namespace SerialPort
