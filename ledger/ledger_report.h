// The ledger read back for a shift's report: per UTC day, the units and their updates, the units
// whose last update of the day succeeded or failed, the first-pass yield, the failed updates by
// reason and the hours' throughput. A line that is not a whole ledger line (torn by a power loss,
// not JSON, without its time or result) is counted and skipped, never the end of the report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace LedgerReport {

// An hour of a day (UTC) that had any update. A unit counts in the hour of its last update of
// the day, so that the hours' units add up to the day's.
struct Hour {
    int hour = 0;         // 0 to 23
    uint32_t updates = 0; // updates that ended in the hour
    uint32_t unitsOk = 0; // units whose last update of the day ended in it and succeeded
    uint32_t unitsFailed = 0;
};

struct ReasonCount {
    std::string reason; // as the ledger wrote it ("record_refused"); empty when the line had none
    uint32_t updates = 0;
};

// A unit whose last update of the day failed.
struct FailedUnit {
    std::string time; // of that update, as the ledger wrote it
    std::string port;
    std::string unit;     // its code or serial number; empty when the line named none
    std::string reason;   // of that update
    uint32_t updates = 0; // its updates that day
};

struct Day {
    std::string date;   // "2026-12-09"
    uint32_t units = 0; // by `unit`, else the bridge's serial number; an unnamed line is a unit
    uint32_t updates = 0;
    uint32_t ok = 0;                     // units whose last update of the day succeeded
    uint32_t failed = 0;                 // units whose last update of the day failed
    uint32_t okFirst = 0;                // units whose first update of the day succeeded
    std::vector<ReasonCount> failures;   // failed updates by reason, the most first
    std::vector<Hour> hours;             // the hours that had any update, in order
    std::vector<FailedUnit> failedUnits; // in the order of their last updates
};

// okFirst over units: the share of units that needed one update.
double firstPassYield(const Day& day);

// At most this many numbers of skipped lines are kept.
inline constexpr size_t KeptSkippedLines = 10;

struct Figures {
    std::vector<Day> days;              // in date order
    uint64_t lines = 0;                 // lines read, empty ones not counted
    uint64_t skipped = 0;               // of them, lines that are not whole ledger lines
    std::vector<uint64_t> skippedLines; // the first numbers of those (1 is the file's first line)
};

// "YYYY-MM-DD" naming a day of the calendar.
bool isDay(std::string_view text);

// The figures of a ledger's text; with onlyDay ("YYYY-MM-DD") of that day alone.
Figures of(std::string_view text, std::string_view onlyDay = {});

// Reads the ledger at path (a file or a pipe) whole and makes its figures. False, with problem
// ("cannot read the ledger units.jsonl: No such file or directory"), when it cannot be read.
bool read(const std::string& path, std::string_view onlyDay, Figures& figures,
          std::string& problem);

} // namespace LedgerReport
