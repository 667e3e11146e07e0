// The world the program's session runs in: the serial port, the reply reader, stop requests and
// real time. Kept apart from the state machine so its tests link without a port or a reader.
#pragma once

#include "session/upload_session.h"

namespace SessionWiring {

const SessionEnvironment& real();

} // namespace SessionWiring
