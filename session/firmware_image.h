// The firmware image: read once into memory, its format told from its content, converted to
// S-records in memory when it is not S-records that can be sent as they stand, and checked before
// any port is touched; then handed out line by line from that snapshot, with the upload heading
// and the start and end times.
#pragma once

#include "os/file_read.h"
#include "session/image_check.h"
#include "session/image_conversion.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// Record: a line to send; Skipped: a blank or short line, counted but not sent.
enum class LineOutcome : uint8_t { Record, Skipped, EndOfFile };

namespace FirmwareImage {

// No firmware image comes near this; a larger file is refused rather than read.
inline constexpr size_t MaxImageBytes = size_t{64} * 1024 * 1024;

// Where read takes the bytes: the named file, or standard input (a port list hands each of its
// updates the image it checked that way; the path then only names it).
enum class ImageSource : uint8_t { NamedFile, StandardInput };
void setSource(ImageSource source);

// How the images that follow are converted: a raw binary's base address (without one a file of
// no known format is refused; with one, a format that carries addresses is), and the data bytes
// a converted or split record carries. Kept until set again.
void setConversion(const ImageConversion::Options& options);

// Reads the file whole, as it is now, and reports nothing: the command line's own checks come
// first. Unreadable (it cannot be opened or read) is the one refusal told before them.
Os::FileReadResult read(const char* path);
// Checks what read took: on false a refused read or the image's problems have been printed and
// no image is held.
bool check(const char* path);
// Reads the file and checks it.
bool load(const char* path);
// The same for bytes already in memory (as if read from path).
bool loadBytes(const char* path, const char* bytes, size_t size);
// Of the last load: the summary of the records sent, the problems of a refused image, and the
// source (the format, whether the records were converted or split, the data bytes a record).
const ImageCheck::Report& report();
// The accepted image's file exactly as it was read, whatever the check skips (a DOS editor's
// Ctrl-Z at its end): what sha256sum hashes and what a port list hands its updates, which skip
// the same bytes again. Empty when none is held.
std::span<const char> fileBytes();
// The text that is checked and handed out line by line: S-records sent as they stand are the file
// without its end mark; otherwise the records the conversion made, each ended by a line feed
// (a split keeps each line's own end). Empty when none is held.
std::span<const char> sentText();
// What the held image's file is: its format, its SHA-256 as sha256sum prints it, and its size.
// A port list's or a watch's child reads the records its parent made from the file, so it is
// told the file's facts (setOrigin) instead of taking them from the bytes it read.
struct Origin {
    ImageFormat::Format format = ImageFormat::Format::SRecords;
    std::string sha256;
    uint64_t bytes = 0;
};
Origin origin();
// The SHA-256 of sentText(), in lower-case hex: the records that reach the product.
std::string sentSha256();
// For the images that follow; an empty sha256 takes the facts from the bytes read again.
void setOrigin(const Origin& told);
// "FORMAT:SHA256:BYTES" ("ihex:3f2a...:8634"), as a parent hands its children an origin; false
// when the text is no such triple.
std::string originText(const Origin& origin);
bool originFromText(const char* text, Origin& origin);

// Writes sentText() to path, so that a release can archive exactly what goes to the units. False
// with the OS error code when it could not be written whole, or with 0 when no image is held.
bool saveSentText(const char* path, int& error);
// The last read came through a pipe, which cannot be read a second time.
bool cameThroughPipe();
void unload();

// Handing the held image out, line by line, from its first line; false when none is held.
bool rewind();
uint32_t lineCount();   // the lines of the held image, each line end counted
LineOutcome nextLine(); // a record into sessionState.recordText
bool atEnd();           // every line has been handed out

} // namespace FirmwareImage
