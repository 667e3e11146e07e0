#include "ledger/ledger_report.h"

#include "os/error_text.h"
#include "os/file_read.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>

namespace LedgerReport {

namespace {

using Json = nlohmann::json;

// A ledger is read whole; a year of a busy station stays far below this.
constexpr size_t MaxLedgerBytes = size_t{1} << 30;

// What the report needs of one ledger line.
struct Update {
    std::string time; // "2026-12-09T20:15:27Z"
    std::string unit; // empty: the line names no unit
    std::string port;
    std::string reason;
    bool ok = false;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The number written by the digits at text[at] and text[at + 1]; -1 when they are not digits.
int twoDigits(std::string_view text, size_t at) {
    return isDigit(text[at]) && isDigit(text[at + 1]) ? (text[at] - '0') * 10 + (text[at + 1] - '0')
                                                      : -1;
}

// "2026-12-09T20:15:27Z", as Ledger::utcTimestamp writes it.
bool isTime(std::string_view text) {
    if (text.size() != 20 || !isDay(text.substr(0, 10)) || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z') {
        return false;
    }
    const int hour = twoDigits(text, 11);
    const int minute = twoDigits(text, 14);
    const int second = twoDigits(text, 17);
    return hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second <= 60;
}

std::string textAt(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The unit's `unit`, else its bridge's serial number: lines of older versions have no `unit`.
// A null `unit` is a unit left unnamed on purpose (a fixture's bridge stays for every unit).
std::string unitOf(const Json& line) {
    const auto usb = line.find("usb");
    if (line.contains("unit") || usb == line.end() || !usb->is_object()) {
        return textAt(line, "unit");
    }
    return textAt(*usb, "serial");
}

// False for a line that is not a whole ledger line: not JSON (torn, say), or without its time
// or its result.
bool parse(std::string_view text, Update& update) {
    const Json line = Json::parse(text, nullptr, false);
    if (!line.is_object()) {
        return false;
    }
    const auto ok = line.find("ok");
    update.time = textAt(line, "time");
    if (ok == line.end() || !ok->is_boolean() || !isTime(update.time)) {
        return false;
    }
    update.ok = ok->get<bool>();
    update.unit = unitOf(line);
    update.port = textAt(line, "port");
    update.reason = textAt(line, "reason");
    return true;
}

// A unit's day: its updates, whether the first succeeded, and which was its last.
struct UnitDay {
    uint32_t updates = 0;
    bool okFirst = false;
    size_t last = 0;
};

// Each unit of the day by its last update, in time order: a named unit once, an unnamed line as a
// unit of its own.
std::vector<UnitDay> unitsOf(const std::vector<Update>& updates) {
    std::map<std::string, UnitDay> named;
    std::vector<UnitDay> units;
    for (size_t i = 0; i < updates.size(); ++i) {
        if (updates[i].unit.empty()) {
            units.push_back({1, updates[i].ok, i});
            continue;
        }
        auto [entry, first] = named.try_emplace(updates[i].unit);
        if (first) {
            entry->second.okFirst = updates[i].ok;
        }
        ++entry->second.updates;
        entry->second.last = i;
    }
    for (const auto& [name, unit] : named) {
        units.push_back(unit);
    }
    std::sort(units.begin(), units.end(),
              [](const UnitDay& a, const UnitDay& b) { return a.last < b.last; });
    return units;
}

int hourOf(const Update& update) {
    return twoDigits(update.time, 11);
}

std::vector<ReasonCount> failuresOf(const std::vector<Update>& updates) {
    std::map<std::string, uint32_t> counts;
    for (const Update& update : updates) {
        if (!update.ok) {
            ++counts[update.reason];
        }
    }
    std::vector<ReasonCount> failures;
    for (const auto& [reason, count] : counts) {
        failures.push_back({reason, count});
    }
    std::stable_sort(
        failures.begin(), failures.end(),
        [](const ReasonCount& a, const ReasonCount& b) { return a.updates > b.updates; });
    return failures;
}

// The unit counts, the hours and the failed units, from each unit's last update.
void countUnits(const std::vector<Update>& updates, Day& day) {
    std::array<Hour, 24> hours{};
    for (const Update& update : updates) {
        ++hours[static_cast<size_t>(hourOf(update))].updates;
    }
    for (const UnitDay& unit : unitsOf(updates)) {
        const Update& last = updates[unit.last];
        Hour& hour = hours[static_cast<size_t>(hourOf(last))];
        ++day.units;
        day.okFirst += unit.okFirst ? 1 : 0;
        ++(last.ok ? day.ok : day.failed);
        ++(last.ok ? hour.unitsOk : hour.unitsFailed);
        if (!last.ok) {
            day.failedUnits.push_back({last.time, last.port, last.unit, last.reason, unit.updates});
        }
    }
    for (size_t h = 0; h < hours.size(); ++h) {
        if (hours[h].updates > 0) {
            hours[h].hour = static_cast<int>(h);
            day.hours.push_back(hours[h]);
        }
    }
}

Day dayOf(const std::string& date, std::vector<Update>& updates) {
    // Lines land in the order their updates ended, nearly: several processes share a ledger.
    std::stable_sort(updates.begin(), updates.end(),
                     [](const Update& a, const Update& b) { return a.time < b.time; });
    Day day;
    day.date = date;
    day.updates = static_cast<uint32_t>(updates.size());
    countUnits(updates, day);
    day.failures = failuresOf(updates);
    return day;
}

} // namespace

double firstPassYield(const Day& day) {
    return day.units == 0 ? 0.0 : static_cast<double>(day.okFirst) / day.units;
}

bool isDay(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        !std::all_of(text.begin(), text.begin() + 4, isDigit)) {
        return false;
    }
    const int year = (twoDigits(text, 0) * 100) + twoDigits(text, 2);
    const int month = twoDigits(text, 5);
    const int day = twoDigits(text, 8);
    return month > 0 && day > 0 &&
           std::chrono::year_month_day(std::chrono::year(year),
                                       std::chrono::month(static_cast<unsigned>(month)),
                                       std::chrono::day(static_cast<unsigned>(day)))
               .ok();
}

Figures of(std::string_view text, std::string_view onlyDay) {
    Figures figures;
    std::map<std::string, std::vector<Update>> days;
    uint64_t number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        ++figures.lines;
        Update update;
        if (!parse(line, update)) {
            ++figures.skipped;
            if (figures.skippedLines.size() < KeptSkippedLines) {
                figures.skippedLines.push_back(number);
            }
        } else if (onlyDay.empty() || update.time.starts_with(onlyDay)) {
            days[update.time.substr(0, 10)].push_back(std::move(update));
        }
    }
    for (auto& [date, updates] : days) {
        figures.days.push_back(dayOf(date, updates));
    }
    return figures;
}

bool read(const std::string& path, std::string_view onlyDay, Figures& figures,
          std::string& problem) {
    std::vector<char> bytes;
    int error = 0;
    const Os::FileReadResult result = Os::readWholeFile(path.c_str(), MaxLedgerBytes, bytes, error);
    const std::string cannot = "cannot read the ledger " + path;
    switch (result) {
    case Os::FileReadResult::Ok:
        figures = of(std::string_view(bytes.data(), bytes.size()), onlyDay);
        return true;
    case Os::FileReadResult::Unreadable:
        problem = cannot + ": " + Os::errorText(error);
        break;
    case Os::FileReadResult::NotAFile:
        problem = cannot + ": not a regular file";
        break;
    case Os::FileReadResult::TooLarge:
        problem = cannot + ": larger than 1 GiB; report on a part of it, cut with grep";
        break;
    case Os::FileReadResult::NoData:
        problem = cannot + ": the pipe gave nothing for 10 s";
        break;
    }
    return false;
}

} // namespace LedgerReport
