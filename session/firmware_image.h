// The firmware image: read once into memory and checked before any port is touched, then handed
// out line by line from that snapshot, with the upload heading and the start and end times.
#pragma once

#include "session/image_check.h"

#include <cstddef>
#include <cstdint>

// Record: a line to send; Skipped: a blank or short line, counted but not sent.
enum class LineOutcome : uint8_t { Record, Skipped, EndOfFile };

namespace FirmwareImage {

// No firmware image comes near this; a larger file is refused rather than read.
inline constexpr size_t MaxImageBytes = size_t{64} * 1024 * 1024;

// Reads the file and checks it. On false the reasons have been printed and no image is held.
bool load(const char* path);
// The same for bytes already in memory (as if read from path).
bool loadBytes(const char* path, const char* bytes, size_t size);
const ImageCheck::Report& report(); // of the last load
void unload();

int open();             // 1 at the first line of a loaded image, 0 not (the reason printed)
LineOutcome nextLine(); // a record into sessionState.recordText
bool atEnd();           // every line has been handed out
void finish();          // ends the transfer: clears fileOpen, prints the end time
void close();           // the same, silently (the session failed)

} // namespace FirmwareImage
