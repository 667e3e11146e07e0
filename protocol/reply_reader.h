// The thread that drains the receive buffer, parses replies and hands each to its handler.
#pragma once

#include "os/os.h"
#include "protocol/reply_dispatch.h"

#include <cstdint>

inline constexpr uint16_t StagingAreaSize = 2048;
inline constexpr uint32_t ReaderStopLimitMs = 5000;

namespace ReplyReader {

// Starts the reader on the port's data-ready event with the layer above's handlers; false when
// it could not start. The dispatch table must outlive the reader.
bool start(Os::EventHandle dataReadyEvent, const ReplyDispatch& dispatch);
bool stop(); // true: it stopped a running reader; false: none was running
// Hands the reply the parser holds to its handler in table (for callers that feed the parser
// themselves).
void dispatch(const ReplyDispatch& table);

} // namespace ReplyReader
