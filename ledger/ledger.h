// The ledger of a production station: one JSON line per product update, appended to a file that a
// port list's children and other tool processes on the station share. A line says which unit (by
// its bridge's serial number) got which image (by its SHA-256), when, where, and how it went.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The port's USB bridge; an empty text is unknown and written as null, all four empty as a null
// "usb" (a port that is no USB device).
struct LedgerUsb {
    std::string vid;
    std::string pid;
    std::string serial;
    std::string location;
};

// The image: the file as read at start, and what of it was sent.
struct LedgerImage {
    std::string path;       // as given on the command line
    std::string sha256;     // lower-case hex of the file's bytes as read, as sha256sum prints it
    uint64_t bytes = 0;     // the file's size
    std::string format;     // "srec", "ihex", "elf", "binary"
    std::string sentSha256; // of the records sent: the file's lines, or those made from it
    uint32_t records = 0;   // counted as --json's start event counts them
    uint64_t dataBytes = 0;
    uint32_t firstAddress = 0; // written as "0x00001000", as --check prints addresses
    uint32_t lastAddress = 0;
};

// The product's FWID answer.
struct LedgerAnswer {
    std::string identity; // "application" or "boot_loader", as --json's device event says
    std::string text;     // the firmware the product named, for example "V1.0.0"
};

enum class LedgerWait : uint8_t { Fixed, Poll }; // how the boot loader was waited for

// Milliseconds in each phase of the update; 0 for a phase it did not reach.
struct LedgerPhases {
    uint32_t connect = 0;
    uint32_t identify = 0;
    uint32_t bootwait = 0;
    uint32_t transfer = 0;
    uint32_t appwait = 0;
};

struct LedgerEntry {
    std::chrono::system_clock::time_point time; // the end of the update
    std::string host;                           // Os::hostName()
    std::string version;
    std::string port;
    std::string unit; // the unit's code, else its bridge's serial number; empty: unknown (null)
    LedgerUsb usb;
    std::string product;
    std::string device;
    LedgerImage image;
    std::optional<LedgerAnswer> before; // absent: no FWID answer before the update
    std::optional<LedgerAnswer> after;  // absent: no FWID answer after it
    bool ok = false;
    int exitStatus = 0;
    std::string reason;       // the words of --json's result event ("done", "record_refused"...)
    uint32_t recordsSent = 0; // as --json's result event counts them
    uint32_t resends = 0;
    LedgerWait wait = LedgerWait::Fixed;
    LedgerPhases phasesMs;
};

namespace Ledger {

// "2026-05-14T09:31:07Z": UTC in whole seconds, the form jq's fromdateiso8601 reads.
std::string utcTimestamp(std::chrono::system_clock::time_point time);

// The entry as one JSON line without its line end, the fields in the ledger's order. Invalid UTF-8
// in a product's text is replaced (U+FFFD) rather than refused.
std::string line(const LedgerEntry& entry);

enum class Status : uint8_t {
    Ok,
    CannotOpen, // not opened or created for appending (the error says why)
    NotAFile,   // a directory, a device or a pipe
    NotOpen,    // append without a successful open
    LockFailed,
    WriteFailed, // the line is not in the file
    SyncFailed,  // written, but the disk did not confirm it
};

struct Outcome {
    Status status = Status::Ok;
    int error = 0;         // the OS error code behind it (ENOSPC, EACCES...); 0 when there is none
    bool replaced = false; // the file had left its path (deleted, replaced): the path was opened
                           // again for this line
};

// Opens the ledger at path for appending (created when missing); the one ledger of the process,
// replacing any before it. Meant to run before any port is touched.
Outcome open(const std::string& path);
// Appends the entry's line whole: under the file's lock, in one write, flushed to the disk. Safe
// from several threads; other processes take the same lock.
Outcome append(const LedgerEntry& entry);
void close();

// The outcome in words with the ledger's path, for "Error: " + describe(outcome), for example
// "cannot append to the ledger units.jsonl: Permission denied". Empty for Ok.
std::string describe(Outcome outcome);
// For "Warning: " + replacedNotice(), once a process found its ledger gone from its path.
std::string replacedNotice();

} // namespace Ledger
