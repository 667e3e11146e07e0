// The state machine that carries one firmware update from first contact to the end.
#pragma once

#include <cstdint>

enum class StepResult : int { Finished = 0, Continue = 2 };

// What the session needs from the world. The program uses the serial port, the reply reader and
// real time; tests put in a fake port and fake time so the state machine runs in milliseconds.
struct SessionEnvironment {
    bool (*writeText)(const char* text); // one piece of a command line
    void (*stopReader)();
    // Waits at most ms for a handler to raise any reply slot (may return early or late).
    void (*waitForReply)(uint32_t ms);
    void (*sleepMs)(uint32_t ms);
    uint32_t (*tickCount)();
};

namespace UploadSession {

void setEnvironment(const SessionEnvironment& environment);
const SessionEnvironment& realEnvironment();
StepResult step();
bool succeeded(); // the last session ended with "Update Done!"

} // namespace UploadSession
