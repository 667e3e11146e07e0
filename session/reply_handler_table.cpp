#include "session/reply_handler_table.h"

#include "session/reply_handlers.h"
#include "session/session_state.h"

#include "session/report.h"

namespace {

void markUnknownReply() {
    Report::current().unknownReply();
}

} // namespace

const ReplyHandlerRow ReplyHandlerTable[ReplyHandlerRows] = {
    {"PONG", onPong},     {"FWID", onFwid},     {"UPDATE", onUpdate},
    {"RECORD", onRecord}, {"REBOOT", onReboot}, {nullptr, nullptr},
};

const ReplyDispatch SessionDispatch{ReplyHandlerTable, markUnknownReply, SessionSlots::announce,
                                    nullptr};
