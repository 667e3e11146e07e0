// How the reply reader hands replies up to the layer that judges them: a table of handlers by
// reply name, and what to do with a name no row has and after each pass over what arrived. The
// protocol layer knows the shape of a handler, not the handlers.
#pragma once

#include <cstdint>

// Token 0 is the reply name; the tokens stay valid until the handler returns.
using ReplyHandler = void (*)(uint16_t tokenCount, char* const* tokens);

struct ReplyHandlerRow {
    const char* name;
    ReplyHandler handler;
};

struct ReplyDispatch {
    const ReplyHandlerRow* rows;       // ends with a row whose name is nullptr
    void (*unknownReply)();            // a reply whose name no row has
    void (*passDone)();                // after each drain pass, once its replies are handled
    void (*stepTaken)(uint16_t bytes); // each drain step; nullptr: nobody watches
};
