// Reply names and their handlers, row k answering command k; ends with an empty row.
#pragma once

#include "session/reply_handlers.h"

struct ReplyHandlerRow {
    const char* name;
    ReplyHandler handler;
};

inline constexpr int ReplyHandlerRows = 6;
extern const ReplyHandlerRow ReplyHandlerTable[ReplyHandlerRows];
