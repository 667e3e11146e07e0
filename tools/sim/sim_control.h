// The fixture's control file: a FIFO a test writes commands into, one a line, to put units on
// the fixture and take them away while the simulated product's port stays open.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SimControl {

enum class Command : uint8_t { Place, Remove };

struct Order {
    Command command;
    const char* productId; // Place: the name the unit gives itself; nullptr: --product
};

// Opens path for reading, creating it as a FIFO when it does not exist; false (after saying why)
// when that fails or path is something else than a FIFO.
bool open(const char* path);
// The descriptor to wait on for commands; -1 when no control file is open.
int descriptor();
// The next whole command written so far, without waiting; false when none is waiting. A line
// that is no command is reported on stderr and skipped. order.productId lasts until the next call.
bool next(Order& order);
// Closes the file, and removes the FIFO if open created it.
void close();

} // namespace SimControl
