// "--wait poll": the waits for the product's reboots as asks every 250 ms, ended by the answer
// instead of by the clock, within the same overall time the fixed pauses' 30 passes give.
#pragma once

#include "session/upload_session.h"

namespace PollWait {

// One ask (or the settling of the asks) per step, in the phase AwaitBootLoader.
StepResult awaitBootLoader();
// One PING, and FWID after a PONG, per step, in the phase AwaitApplication.
StepResult awaitApplication();

} // namespace PollWait
