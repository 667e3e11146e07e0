// The handlers that judge each reply into its command's ReplySlot. They run on the reply
// reader's thread and never send anything.
#pragma once

#include "protocol/reply_dispatch.h"

#include <cstdint>

void onPong(uint16_t tokenCount, char* const* tokens);
void onFwid(uint16_t tokenCount, char* const* tokens);
void onUpdate(uint16_t tokenCount, char* const* tokens);
void onRecord(uint16_t tokenCount, char* const* tokens);
void onReboot(uint16_t tokenCount, char* const* tokens);
