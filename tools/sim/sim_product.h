// The simulated product: a boot loader and an application answering command lines as the real
// product does, with faults on demand.
#pragma once

#include "sim_options.h"

#include <cstddef>
#include <cstdint>

namespace SimProduct {

// Opens the image and trace files and puts the first unit on the fixture unless it starts
// empty; false (after saying why) when a file cannot be written.
bool start(const SimOptions& options);

// A fresh unit is put on the fixture (taking the place of one still there) and answers from now
// on, naming itself productId (nullptr: --product) in its FWID answers.
void place(const char* productId);
// The unit is taken away: nothing is answered and what comes in is lost until the next place.
void takeAway();

enum class FeedResult : uint8_t { Continue, Vanish, LineGone };

// Takes received bytes, read at arrivalNs, and answers every command line they complete.
FeedResult feed(const uint8_t* bytes, size_t length, uint64_t arrivalNs);
// Ends a reboot or an erase that is due (answering what was read during the erase; result tells
// how that went) and sends the flood lines that are due. Returns the milliseconds until the next
// of these, or -1.
int advance(FeedResult& result);
// True once a command has been received.
bool talked();
// Flushes and closes the image and trace files; writes the count of received bytes.
void finish();

} // namespace SimProduct
