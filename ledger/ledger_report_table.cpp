#include "ledger/ledger_report_table.h"

#include "report/shown_text.h"

#include <cstdio>

namespace LedgerReportTable {

namespace {

using LedgerReport::Day;
using LedgerReport::Figures;

std::string number(uint64_t value) {
    return std::to_string(value);
}

// A text from the ledger, made safe for the terminal; "-" for none.
std::string shown(const std::string& text) {
    return text.empty() ? "-" : ShownText::of(text);
}

Table hours(const Day& day) {
    Table table{"by hour (UTC)", {{"HOUR", "UPDATES", "UNITS", "OK", "FAILED"}}};
    for (const LedgerReport::Hour& hour : day.hours) {
        char clock[8];
        std::snprintf(clock, sizeof clock, "%02d:00", hour.hour);
        table.rows.push_back({clock, number(hour.updates), number(hour.unitsOk + hour.unitsFailed),
                              number(hour.unitsOk), number(hour.unitsFailed)});
    }
    return table;
}

Table failures(const Day& day) {
    Table table{"failed updates by reason", {{"REASON", "UPDATES"}}};
    for (const LedgerReport::ReasonCount& failure : day.failures) {
        table.rows.push_back({shown(failure.reason), number(failure.updates)});
    }
    return table;
}

Table failedUnits(const Day& day) {
    Table table{"units whose last update failed", {{"TIME", "PORT", "UNIT", "REASON", "UPDATES"}}};
    for (const LedgerReport::FailedUnit& unit : day.failedUnits) {
        table.rows.push_back({unit.time.substr(11, 8), shown(unit.port), shown(unit.unit),
                              shown(unit.reason), number(unit.updates)});
    }
    return table;
}

} // namespace

std::string percent(double share) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f %%", share * 100);
    return text;
}

Table days(const Figures& figures) {
    Table table{"", {{"DAY", "UNITS", "UPDATES", "OK", "FAILED", "FIRST-PASS YIELD"}}};
    for (const Day& day : figures.days) {
        table.rows.push_back({day.date, number(day.units), number(day.updates), number(day.ok),
                              number(day.failed), percent(LedgerReport::firstPassYield(day))});
    }
    return table;
}

std::vector<Table> ofDay(const Day& day) {
    std::vector<Table> tables{hours(day)};
    if (!day.failures.empty()) {
        tables.push_back(failures(day));
    }
    if (!day.failedUnits.empty()) {
        tables.push_back(failedUnits(day));
    }
    return tables;
}

std::string nothingToShow(const Figures& figures, const std::string& onlyDay) {
    if (!figures.days.empty()) {
        return {};
    }
    return onlyDay.empty() ? "The ledger holds no update."
                           : "The ledger holds no update on " + onlyDay + ".";
}

std::string skippedNote(const Figures& figures) {
    if (figures.skipped == 0) {
        return {};
    }
    std::string note = "Skipped " + number(figures.skipped) + " of " + number(figures.lines) +
                       (figures.lines == 1 ? " line" : " lines") +
                       ", not whole ledger lines (torn by a power loss, or not JSON): line";
    note += figures.skipped == 1 ? " " : "s ";
    for (size_t i = 0; i < figures.skippedLines.size(); ++i) {
        note += (i == 0 ? "" : ", ") + number(figures.skippedLines[i]);
    }
    if (figures.skipped > figures.skippedLines.size()) {
        note += " and " + number(figures.skipped - figures.skippedLines.size()) + " more";
    }
    return note + ".";
}

std::string text(const Figures& figures, const std::string& onlyDay) {
    std::string out = nothingToShow(figures, onlyDay);
    if (out.empty()) {
        out = AlignedTable::render(days(figures).rows);
        for (const Day& day : figures.days) {
            for (const Table& table : ofDay(day)) {
                out += "\n" + day.date + ", " + table.title + ":\n";
                std::vector<AlignedTable::Row> rows = table.rows;
                for (AlignedTable::Row& row : rows) {
                    row.front().insert(0, "  "); // under the day's line
                }
                out += AlignedTable::render(rows);
            }
        }
    } else {
        out += "\n";
    }
    const std::string skipped = skippedNote(figures);
    return skipped.empty() ? out : out + "\n" + skipped + "\n";
}

} // namespace LedgerReportTable
