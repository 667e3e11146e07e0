// The session's answer to each reply name, in the form the reply reader dispatches by.
#pragma once

#include "protocol/reply_dispatch.h"

// Row k answers command k of CommandNames (PONG answers PING); ends with an empty row.
inline constexpr int ReplyHandlerRows = 6;
extern const ReplyHandlerRow ReplyHandlerTable[ReplyHandlerRows];

// The table, a "." on the console for a reply nobody handles, and the wake-up of a waiting
// session after each pass.
extern const ReplyDispatch SessionDispatch;
