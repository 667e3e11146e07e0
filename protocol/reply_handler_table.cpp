#include "protocol/reply_handler_table.h"

// Row k answers command k of CommandNames; PONG is the answer to PING.
const ReplyHandlerRow ReplyHandlerTable[ReplyHandlerRows] = {
    {"PONG", onPong},     {"FWID", onFwid},     {"UPDATE", onUpdate},
    {"RECORD", onRecord}, {"REBOOT", onReboot}, {nullptr, nullptr},
};
