#include "app/prepare_session.h"
#include "app/program_run.h"
#include "os/interrupt.h"

int main(int argc, char** argv) {
    Os::ignoreBrokenPipe();
    DeviceKind deviceKind = DeviceKind::None;
    const char* portName = nullptr;
    uint32_t baudRate = 0;
    if (prepareSession(argc, argv, deviceKind, portName, baudRate) == PrepareResult::Stop) {
        return static_cast<int>(ExitStatus::ExitNotStarted);
    }
    return runProgram(deviceKind, portName, baudRate, argv);
}
