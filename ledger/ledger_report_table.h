// The ledger report as tables of words: one row a day, and for each day its hours, its failed
// updates by reason and the units whose last update failed. The terminal shows them aligned; the
// HTML page sets the same rows. Texts from the ledger come through ShownText, never raw.
#pragma once

#include "ledger/ledger_report.h"
#include "report/aligned_table.h"

#include <string>
#include <vector>

namespace LedgerReportTable {

struct Table {
    std::string title;                   // "by hour (UTC)"; empty for the table of days
    std::vector<AlignedTable::Row> rows; // the first is the heading
};

// One row a day: units, updates, ok, failed, first-pass yield.
Table days(const LedgerReport::Figures& figures);

// The day's hours, and when any failed, its failed updates by reason and its failed units.
std::vector<Table> ofDay(const LedgerReport::Day& day);

// "58.3 %"
std::string percent(double share);

// What the report says when it has no day to show; empty when it has one.
std::string nothingToShow(const LedgerReport::Figures& figures, const std::string& onlyDay);
// The lines skipped, with the first numbers; empty when none was.
std::string skippedNote(const LedgerReport::Figures& figures);

// The whole report for the terminal, every line ended.
std::string text(const LedgerReport::Figures& figures, const std::string& onlyDay);

} // namespace LedgerReportTable
