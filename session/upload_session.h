// The state machine that carries one firmware update from first contact to the end.
#pragma once

#include "session/session_state.h"

#include <cstdint>

enum class StepResult : int { Finished = 0, Continue = 2 };

// What can end a session from outside: the port went away, or the user asked to stop.
enum class Interruption : uint8_t { None, PortLost, Aborted };

enum class SessionOutcome : uint8_t { Running, Succeeded, Failed, Aborted };

// What the session needs from the world. The program uses the serial port, the reply reader and
// real time; tests put in a fake port and fake time so the state machine runs in milliseconds.
struct SessionEnvironment {
    bool (*writeText)(const char* text); // one piece of a command line
    void (*stopReader)();
    // Waits at most ms for a wake-up: a handler's raise, a lost port, a stop request. It may
    // return early or late; the session keeps its own deadline.
    void (*waitForReply)(uint32_t ms);
    // A pause of at most ms that a lost port or a stop request ends early.
    void (*sleepMs)(uint32_t ms);
    uint32_t (*tickCount)();
    Interruption (*interruption)();
};

namespace UploadSession {

void setEnvironment(const SessionEnvironment& environment);
// Fills the session's fixed fields from the request and sets it at its first phase.
void begin(const UpdateRequest& request);
StepResult step();
SessionOutcome outcome(); // from the phase the last session ended in

} // namespace UploadSession
