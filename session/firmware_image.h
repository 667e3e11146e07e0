// Reader of the firmware file: counts its lines, hands them out one at a time, prints the
// upload heading and the start and end times.
#pragma once

#include <cstdint>

// LineUnsendable: a line too long for a record or holding a NUL byte (the file changed since it
// was counted).
enum class LineOutcome : uint8_t { Line, EndOfFile, ReadError, LineUnsendable };

namespace FirmwareImage {

int open();             // 1 open at the first line, 0 not (the reason has been printed)
LineOutcome nextLine(); // into sessionState.recordText, which the caller has cleared
bool atEnd();           // a read has met the end of the file
void finish();          // closes the file, clears fileOpen, prints the end time
void close();           // closes the file and clears fileOpen, silently (the session failed)
int lastError();        // errno of the last failed read, for the read-error message

} // namespace FirmwareImage
