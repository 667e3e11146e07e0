#include "serial/serial_port_internal.h"

#include <cstdio>
#include <cstring>

SerialPortState serialPortState;

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

size_t formatTransmitText(const char* format, va_list arguments) {
    char* text = serialPortState.transmitText;
    std::memset(text, 0, TransmitTextSize);
    std::vsnprintf(text, TransmitTextSize, format, arguments);
    return std::strlen(text);
}

bool stopReceiveThread() {
    SerialPortState& port = serialPortState;
    return Os::stopThread(port.receiveThread, port.stopEvent, port.receiveThreadEnded,
                          ReceiveThreadStopLimitMs);
}

} // namespace SerialPort
