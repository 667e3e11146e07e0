#include "session/reply_handler_table.h"

#include "session/reply_handlers.h"
#include "session/session_state.h"

#include <cstdio>

namespace {

void markUnknownReply() {
    std::printf(".");
    std::fflush(stdout); // the dot has no line end to push it out
}

} // namespace

const ReplyHandlerRow ReplyHandlerTable[ReplyHandlerRows] = {
    {"PONG", onPong},     {"FWID", onFwid},     {"UPDATE", onUpdate},
    {"RECORD", onRecord}, {"REBOOT", onReboot}, {nullptr, nullptr},
};

const ReplyDispatch SessionDispatch{ReplyHandlerTable, markUnknownReply, SessionSlots::announce,
                                    nullptr};
