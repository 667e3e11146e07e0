// During a poll's wait for a reboot the product is asked every 250 ms, so a product that keeps
// giving the same wrong answer (another product's boot loader, an ERROR status) would fill the
// console with it. An answer the same as one already shown in the wait is counted instead, and
// the wait's end tells how often each came.
#pragma once

#include "protocol/wire_format.h"
#include "session/report.h"

#include <cstdint>

namespace AnswerRepeats {

// Main thread: a poll's wait begins; its answers are counted from now on.
void begin();
// Main thread: the wait ends. Each answer that came more than once goes to
// reporter.answerRepeated, in the order first shown; nothing when no poll's wait ran.
void end(const Reporter& reporter);
// Reply reader's thread, once per reply that would show text: false when a poll's wait runs and
// the same reply (its tokens) was shown in it already; it is then counted, not to be shown.
bool firstTime(AnswerKind kind, CommandIndex command, uint16_t tokenCount, char* const* tokens);

} // namespace AnswerRepeats
