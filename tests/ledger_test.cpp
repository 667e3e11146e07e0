// The ledger: its line, field by field and in order, and its file, opened, appended to by several
// processes at once, and refused; and the ledger read back for a shift's report.
#include "ledger/ledger.h"
#include "ledger/ledger_report.h"
#include "ledger/ledger_report_html.h"
#include "ledger/ledger_report_table.h"
#include "os/process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A folder of its own under the temporary folder, removed with everything in it.
struct TempDir {
    fs::path path = fs::temp_directory_path() /
                    ("uartflash_ledger_" +
                     std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    TempDir() { fs::create_directories(path); }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

std::string contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A successful update of a unit that ran its application, on a USB bridge.
LedgerEntry updatedUnit() {
    LedgerEntry entry;
    entry.time = std::chrono::system_clock::time_point(1778751067s) + 999ms;
    entry.host = "station-3";
    entry.version = "1.5";
    entry.port = "/dev/ttyUSB0";
    entry.unit = "LOT7-0042";
    entry.usb = {"10c4", "ea60", "0001A2B3", "1-1.2"};
    entry.product = "KORVA";
    entry.device = "ARM";
    entry.image = {
        "fw.hex", std::string(64, 'e'), 1234, "ihex", std::string(64, '5'), 32, 480, 0x1000,
        0x11DF};
    entry.before = LedgerAnswer{"application", "V1.0.0"};
    entry.after = LedgerAnswer{"application", "V2.0.0"};
    entry.ok = true;
    entry.reason = "done";
    entry.recordsSent = 32;
    entry.resends = 1;
    entry.wait = LedgerWait::Poll;
    entry.phasesMs = {12, 8, 15016, 1008, 5011};
    return entry;
}

const std::string Head = R"({"time":"2026-05-14T09:31:07Z","host":"station-3","version":"1.5",)"
                         R"("port":"/dev/ttyUSB0","unit":)";
const std::string Middle =
    R"("product":"KORVA","device":"ARM","image":{"path":"fw.hex","sha256":")" +
    std::string(64, 'e') + R"(","bytes":1234,"format":"ihex","sent_sha256":")" +
    std::string(64, '5') +
    R"(","records":32,"data_bytes":480,"first_address":"0x00001000",)"
    R"("last_address":"0x000011DF"},)";

struct LineCase {
    const char* name;
    std::function<void(LedgerEntry&)> change;
    const char* usb;  // the unit and the bridge, after the port
    const char* tail; // what follows the image
};

TEST(Ledger, LineHoldsTheFieldsInOrder) {
    const LineCase cases[] = {
        {"updated", [](LedgerEntry&) {},
         R"("LOT7-0042","usb":{"vid":"10c4","pid":"ea60","serial":"0001A2B3","location":"1-1.2"},)",
         R"("before":{"identity":"application","text":"V1.0.0"},)"
         R"("after":{"identity":"application","text":"V2.0.0"},"ok":true,"exit_status":0,)"
         R"("reason":"done","records_sent":32,"resends":1,"wait":"poll","phases_ms":{"connect":12,)"
         R"("identify":8,)"
         R"("bootwait":15016,"transfer":1008,"appwait":5011}})"},
        {"never answered, no USB device",
         [](LedgerEntry& e) {
             e.unit.clear();
             e.usb = {};
             e.before.reset();
             e.after.reset();
             e.ok = false;
             e.exitStatus = 1;
             e.reason = "no_contact";
             e.recordsSent = 0;
             e.resends = 0;
             e.wait = LedgerWait::Fixed;
             e.phasesMs = {10002, 0, 0, 0, 0};
         },
         R"(null,"usb":null,)",
         R"("ok":false,"exit_status":1,"reason":"no_contact","records_sent":0,"resends":0,)"
         R"("wait":"fixed",)"
         R"("phases_ms":{"connect":10002,"identify":0,"bootwait":0,"transfer":0,"appwait":0}})"},
        {"refused a record, location unknown",
         [](LedgerEntry& e) {
             e.usb.location.clear();
             e.before = LedgerAnswer{"boot_loader", "BSL-0.9"};
             e.after.reset();
             e.ok = false;
             e.exitStatus = 1;
             e.reason = "record_refused";
             e.recordsSent = 7;
         },
         R"("LOT7-0042","usb":{"vid":"10c4","pid":"ea60","serial":"0001A2B3","location":null},)",
         R"("before":{"identity":"boot_loader","text":"BSL-0.9"},"ok":false,"exit_status":1,)"
         R"("reason":"record_refused","records_sent":7,"resends":1,"wait":"poll",)"
         R"("phases_ms":{"connect":12,)"
         R"("identify":8,"bootwait":15016,"transfer":1008,"appwait":5011}})"},
        {"invalid UTF-8 and quotes in the product's text",
         [](LedgerEntry& e) {
             e.before.reset();
             e.after = LedgerAnswer{"application", "V2\xff\"x\\"};
         },
         R"("LOT7-0042","usb":{"vid":"10c4","pid":"ea60","serial":"0001A2B3","location":"1-1.2"},)",
         "\"after\":{\"identity\":\"application\",\"text\":\"V2\xEF\xBF\xBD\\\"x\\\\\"},"
         R"("ok":true,"exit_status":0,"reason":"done","records_sent":32,"resends":1,)"
         R"("wait":"poll",)"
         R"("phases_ms":{"connect":12,"identify":8,"bootwait":15016,"transfer":1008,)"
         R"("appwait":5011}})"},
    };
    for (const LineCase& c : cases) {
        LedgerEntry entry = updatedUnit();
        c.change(entry);
        EXPECT_EQ(Ledger::line(entry), Head + c.usb + Middle + c.tail) << c.name;
    }
}

TEST(Ledger, TimeIsUtcInWholeSeconds) {
    const struct {
        std::chrono::system_clock::duration sinceEpoch;
        const char* text;
    } cases[] = {
        {0s, "1970-01-01T00:00:00Z"},
        {951782400s, "2000-02-29T00:00:00Z"},
        {1709251199s + 999ms, "2024-02-29T23:59:59Z"},
        {4102444799s, "2099-12-31T23:59:59Z"},
        {-1s, "1969-12-31T23:59:59Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Ledger::utcTimestamp(std::chrono::system_clock::time_point(c.sinceEpoch)), c.text)
            << c.text;
    }
}

// Whatever the file holds, and wherever it went, the lines land whole at the end of the file at
// the path: after a line torn by a power loss, in a new file where the ledger was deleted or
// replaced (said once by the outcome).
TEST(Ledger, AppendsWholeLinesAfterWhatIsThere) {
    const struct {
        const char* name;
        const char* before;       // the file's bytes at open
        const char* gone;         // after the open: "deleted", "renamed" away, or nullptr
        const char* replacement;  // nullptr: none put at the path; otherwise its bytes
        const char* expectedHead; // what precedes the two lines
    } cases[] = {
        {"whole lines", "earlier\n", nullptr, nullptr, "earlier\n"},
        {"empty", "", nullptr, nullptr, ""},
        {"torn by a power loss", "{\"time\":\"2026-", nullptr, nullptr, "{\"time\":\"2026-\n"},
        {"deleted", "earlier\n", "deleted", nullptr, ""},
        {"renamed away, a torn one in its place", "earlier\n", "renamed", "other", "other\n"},
    };
    LedgerEntry failed = updatedUnit();
    failed.ok = false;
    failed.reason = "too_many_resends";
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path path = dir.path / "units.jsonl";
        std::ofstream(path, std::ios::binary) << c.before;
        ASSERT_EQ(Ledger::open(path.string()).status, Ledger::Status::Ok) << c.name;
        if (c.gone != nullptr && std::string(c.gone) == "deleted") {
#ifdef _WIN32
            // Wine keeps a deleted file that is open at its name, unmarked, until its last handle
            // closes; Windows 10 takes the name away at once, as moving it away first does here.
            fs::rename(path, dir.path / "deleted.jsonl");
            fs::remove(dir.path / "deleted.jsonl");
#else
            fs::remove(path);
#endif
        } else if (c.gone != nullptr) {
            fs::rename(path, dir.path / "old.jsonl");
        }
        if (c.replacement != nullptr) {
            std::ofstream(path, std::ios::binary) << c.replacement;
        }
        const Ledger::Outcome first = Ledger::append(updatedUnit());
        EXPECT_EQ(first.status, Ledger::Status::Ok) << c.name;
        EXPECT_EQ(first.replaced, c.gone != nullptr) << c.name;
        const Ledger::Outcome second = Ledger::append(failed);
        EXPECT_EQ(second.status, Ledger::Status::Ok) << c.name;
        EXPECT_FALSE(second.replaced) << c.name;
        Ledger::close();
        EXPECT_EQ(Ledger::append(failed).status, Ledger::Status::NotOpen);
        EXPECT_EQ(contents(path),
                  c.expectedHead + Ledger::line(updatedUnit()) + "\n" + Ledger::line(failed) + "\n")
            << c.name;
    }
}

#ifdef _WIN32
constexpr int NotADirectory = 3; // ERROR_PATH_NOT_FOUND
constexpr int NoSuchFile = 3;
#else
constexpr int NotADirectory = ENOTDIR;
constexpr int NoSuchFile = ENOENT;
#endif

TEST(Ledger, UnwritableLedgerIsRefusedAtOpenWithItsReason) {
    TempDir dir;
    std::ofstream(dir.path / "file") << "x";
    const struct {
        const char* name;
        fs::path path;
        Ledger::Status status;
        int error;
        const char* reason; // the end of the message on Linux
    } cases[] = {
        {"under a file", dir.path / "file" / "units.jsonl", Ledger::Status::CannotOpen,
         NotADirectory, ": Not a directory"},
        {"missing folder", dir.path / "missing" / "units.jsonl", Ledger::Status::CannotOpen,
         NoSuchFile, ": No such file or directory"},
        {"a folder", dir.path, Ledger::Status::NotAFile, 0, ": not a regular file"},
    };
    for (const auto& c : cases) {
        const Ledger::Outcome outcome = Ledger::open(c.path.string());
        EXPECT_EQ(outcome.status, c.status) << c.name;
        EXPECT_EQ(outcome.error, c.error) << c.name;
        const std::string start = "cannot append to the ledger " + c.path.string();
        EXPECT_EQ(Ledger::describe(outcome).rfind(start, 0), 0u) << Ledger::describe(outcome);
#ifndef _WIN32
        EXPECT_EQ(Ledger::describe(outcome), start + c.reason) << c.name;
#endif
        EXPECT_EQ(Ledger::append(updatedUnit()).status, Ledger::Status::NotOpen) << c.name;
    }
}

// Three processes append at once, each line longer than any stdio buffer: every line arrives
// whole, once, and each writer's lines in their order.
TEST(Ledger, ThreeProcessesAppendWholeLines) {
    constexpr int Writers = 3;
    constexpr int Lines = 40;
    TempDir dir;
    const fs::path ledger = dir.path / "units.jsonl";
    fs::path driver = fs::path(Os::executablePath()).parent_path() / "ledger_append_driver";
    driver.replace_extension(fs::path(Os::executablePath()).extension());
    std::vector<Os::ChildHandle> children;
    for (int writer = 0; writer < Writers; ++writer) {
        std::string problem;
        children.push_back(Os::startChild(
            driver.string(),
            {ledger.string(), "writer" + std::to_string(writer), std::to_string(Lines)},
            Os::ChildStreams{}, problem));
        EXPECT_NE(children.back(), nullptr) << problem;
    }
    for (Os::ChildHandle child : children) {
        EXPECT_EQ(child != nullptr ? Os::finishChild(child) : -1, 0);
    }
    std::map<std::string, uint32_t> next;
    std::istringstream lines(contents(ledger));
    for (std::string text; std::getline(lines, text);) {
        const auto line = nlohmann::json::parse(text, nullptr, false);
        EXPECT_FALSE(line.is_discarded()) << text.substr(0, 200);
        if (line.is_discarded()) {
            continue;
        }
        uint32_t& expected = next[line["port"].get<std::string>()];
        EXPECT_EQ(line["resends"].get<uint32_t>(), expected);
        ++expected;
    }
    EXPECT_EQ(next.size(), static_cast<size_t>(Writers));
    for (const auto& [writer, count] : next) {
        EXPECT_EQ(count, static_cast<uint32_t>(Lines)) << writer;
    }
}

// A ledger line as the tool writes it, with the fields the report reads.
std::string reportLine(const char* time, const char* unit, bool ok, const char* reason,
                       const char* port = "/dev/ttyUSB0") {
    LedgerEntry entry = updatedUnit();
    entry.time = std::chrono::system_clock::time_point(std::chrono::sys_seconds(
        std::chrono::sys_days(std::chrono::year_month_day(
            std::chrono::year(2026), std::chrono::month(12), std::chrono::day(9))) +
        std::chrono::hours(std::stoi(std::string(time, 2))) +
        std::chrono::minutes(std::stoi(std::string(time + 3, 2)))));
    entry.unit = unit;
    entry.usb = {};
    entry.ok = ok;
    entry.reason = reason;
    entry.port = port;
    return Ledger::line(entry) + "\n";
}

// A shift of 2026-12-09 and a line of the next day: a line of an older version without `unit`,
// named by its bridge; a unit that failed, then succeeded in a later hour; a hostile code; a
// line that names no unit; no update at 09:00; and a last line torn by a power loss.
const std::string Shift =
    R"({"time":"2026-12-09T08:10:00Z","host":"h","version":"1.4","port":"/dev/ttyUSB0",)"
    R"("usb":{"vid":"10c4","pid":"ea60","serial":"OLD1","location":"1-1"},"ok":true,)"
    R"("exit_status":0,"reason":"done"})"
    "\n" +
    reportLine("08:20", "A2", false, "record_refused", "/dev/ttyUSB1") +
    reportLine("10:05", "A2", true, "done", "/dev/ttyUSB1") +
    reportLine("10:06", "<img src=x onerror=alert(1)>", false, "no_contact", "/dev/ttyUSB2") +
    reportLine("10:07", "", false, "port_lost", "/dev/ttyUSB3") +
    R"({"time":"2026-12-10T23:59:59Z","unit":"B1","ok":true,"reason":"done"})"
    "\n"
    R"({"time":"2026-)";

// A day's figures in one line, to compare whole.
std::string summary(const LedgerReport::Day& day) {
    std::ostringstream text;
    text << day.date << " units " << day.units << " updates " << day.updates << " ok " << day.ok
         << " failed " << day.failed << " first " << day.okFirst << " |";
    for (const LedgerReport::Hour& hour : day.hours) {
        text << " " << hour.hour << ":" << hour.updates << "/" << hour.unitsOk << "/"
             << hour.unitsFailed;
    }
    text << " |";
    for (const LedgerReport::ReasonCount& failure : day.failures) {
        text << " " << failure.reason << ":" << failure.updates;
    }
    text << " |";
    for (const LedgerReport::FailedUnit& unit : day.failedUnits) {
        text << " " << unit.time << "," << unit.port << "," << unit.unit << "," << unit.reason
             << "," << unit.updates;
    }
    return text.str();
}

TEST(LedgerReport, FiguresByDayFromWhatTheLinesSay) {
    const std::string day9 =
        "2026-12-09 units 4 updates 5 ok 2 failed 2 first 1 | 8:2/1/0 10:3/1/2 | no_contact:1 "
        "port_lost:1 record_refused:1 | 2026-12-09T10:06:00Z,/dev/ttyUSB2,<img src=x "
        "onerror=alert(1)>,no_contact,1 2026-12-09T10:07:00Z,/dev/ttyUSB3,,port_lost,1";
    const std::string day10 = "2026-12-10 units 1 updates 1 ok 1 failed 0 first 1 | 23:1/1/0 | |";
    const struct {
        const char* name;
        std::string text;
        const char* onlyDay;
        std::vector<std::string> days;
        uint64_t lines;
        std::vector<uint64_t> skippedLines;
    } cases[] = {
        {"a shift and the next day", Shift, "", {day9, day10}, 7, {7}},
        {"one day picked", Shift, "2026-12-10", {day10}, 7, {7}},
        {"a day without updates", Shift, "2026-12-11", {}, 7, {7}},
        {"written out of order: the later update is the last",
         reportLine("09:00", "C3", true, "done") + reportLine("08:00", "C3", false, "port_lost"),
         "",
         {"2026-12-09 units 1 updates 2 ok 1 failed 0 first 0 | 8:1/0/0 9:1/1/0 | port_lost:1 |"},
         2,
         {}},
        {"an older line's bridge and a newer line's unit name one unit",
         R"({"time":"2026-12-09T08:00:00Z","usb":{"serial":"S1"},"ok":false,"reason":"no_contact"})"
         "\n" +
             reportLine("08:30", "S1", true, "done"),
         "",
         {"2026-12-09 units 1 updates 2 ok 1 failed 0 first 0 | 8:2/1/0 | no_contact:1 |"},
         2,
         {}},
        {"unnamed units on a fixture's bridge are units of their own",
         R"({"time":"2026-12-09T08:00:00Z","unit":null,"usb":{"serial":"F1"},"ok":true})"
         "\n"
         R"({"time":"2026-12-09T08:10:00Z","unit":null,"usb":{"serial":"F1"},"ok":true})",
         "",
         {"2026-12-09 units 2 updates 2 ok 2 failed 0 first 2 | 8:2/2/0 | |"},
         2,
         {}},
        {"not ledger lines, blank lines and CR LF",
         "not json\n\n"
         R"({"time":"2026-12-09T24:00:00Z","ok":true})"
         "\n"
         R"({"time":"2026-12-09T09:00:00Z"})"
         "\n[1]\n"
         R"({"time":"2026-12-09T09:00:00Z","ok":"yes"})"
         "\r\n"
         R"({"time":"2026-12-09T09:00:00Z","ok":true})"
         "\r\n",
         "",
         {"2026-12-09 units 1 updates 1 ok 1 failed 0 first 1 | 9:1/1/0 | |"},
         6,
         {1, 3, 4, 5, 6}},
        {"nothing", "", "", {}, 0, {}},
    };
    for (const auto& c : cases) {
        const LedgerReport::Figures figures = LedgerReport::of(c.text, c.onlyDay);
        std::vector<std::string> days;
        for (const LedgerReport::Day& day : figures.days) {
            days.push_back(summary(day));
        }
        EXPECT_EQ(days, c.days) << c.name;
        EXPECT_EQ(figures.lines, c.lines) << c.name;
        EXPECT_EQ(figures.skipped, c.skippedLines.size()) << c.name;
        EXPECT_EQ(figures.skippedLines, c.skippedLines) << c.name;
    }
}

TEST(LedgerReport, DaysAreDaysOfTheCalendar) {
    for (const auto& [text, day] : {std::pair{"2026-12-09", true},
                                    {"2024-02-29", true},
                                    {"2026-02-29", false},
                                    {"2026-13-01", false},
                                    {"2026-12-00", false},
                                    {"2026-1-09", false},
                                    {"2026/12/09", false},
                                    {"2026-12-09T", false},
                                    {"", false}}) {
        EXPECT_EQ(LedgerReport::isDay(text), day) << text;
    }
}

// What the terminal shows: aligned tables, texts from the ledger with their control bytes
// escaped, and the skipped lines with the first numbers.
TEST(LedgerReport, TerminalTextShowsTheTablesAndTheSkippedLines) {
    std::string many = reportLine("07:00", "E\x1b]0;x\x07", false, "no_contact");
    for (int i = 0; i < 12; ++i) {
        many += "torn\n";
    }
    EXPECT_EQ(LedgerReportTable::text(LedgerReport::of(many), ""),
              "DAY         UNITS  UPDATES  OK  FAILED  FIRST-PASS YIELD\n"
              "2026-12-09  1      1        0   1       0.0 %\n"
              "\n2026-12-09, by hour (UTC):\n"
              "  HOUR   UPDATES  UNITS  OK  FAILED\n"
              "  07:00  1        1      0   1\n"
              "\n2026-12-09, failed updates by reason:\n"
              "  REASON      UPDATES\n"
              "  no_contact  1\n"
              "\n2026-12-09, units whose last update failed:\n"
              "  TIME      PORT          UNIT           REASON      UPDATES\n"
              "  07:00:00  /dev/ttyUSB0  E\\x1B]0;x\\x07  no_contact  1\n"
              "\nSkipped 12 of 13 lines, not whole ledger lines (torn by a power loss, or not "
              "JSON): lines 2, 3, 4, 5, 6, 7, 8, 9, 10, 11 and 2 more.\n");
    EXPECT_EQ(LedgerReportTable::text(LedgerReport::of(Shift, "2026-12-11"), "2026-12-11"),
              "The ledger holds no update on 2026-12-11.\n\nSkipped 1 of 7 lines, not whole "
              "ledger lines (torn by a power loss, or not JSON): line 7.\n");
}

// The page: self-contained, no markup from the ledger, and a chart per day whose bars stand
// for the units of their hours.
TEST(LedgerReport, HtmlPageEscapesTheLedgerAndDrawsTheUnitsAnHour) {
    const std::string page = LedgerReportHtml::page(LedgerReport::of(Shift), "units<1>.jsonl", "");
    const auto count = [&page](const std::string& text) {
        size_t found = 0;
        for (size_t at = page.find(text); at != std::string::npos; at = page.find(text, at + 1)) {
            ++found;
        }
        return found;
    };
    EXPECT_EQ(count("&lt;img src=x onerror=alert(1)&gt;"), 1u);
    EXPECT_EQ(count("units&lt;1&gt;.jsonl"), 2u); // the title and the note
    for (const char* markup : {"<img", "<script", "src=\"", "href", "http:", "https:", "<1>"}) {
        EXPECT_EQ(count(markup), 0u) << markup;
    }
    EXPECT_EQ(count("content=\"default-src 'none'; style-src 'unsafe-inline'\""), 1u);
    EXPECT_EQ(count("<svg class=\"chart\""), 2u);
    EXPECT_EQ(count("</svg>"), 2u);
    // 10:00 on the 9th: one unit ok under two failed, on a scale up to 4 of 180 pixels.
    EXPECT_EQ(count("<rect class=\"ok\" x=\"349\" y=\"165.0\" width=\"20\" height=\"45.0\"/>"
                    "<rect class=\"failed\" x=\"349\" y=\"75.0\" width=\"20\" height=\"90.0\"/>"
                    "<text x=\"359\" y=\"71.0\" text-anchor=\"middle\">3</text>"),
              1u);
    EXPECT_EQ(count("<rect class=\"failed\""), 3u); // the bar above and each chart's legend
    EXPECT_EQ(count("<td>2026-12-09</td><td>4</td><td>5</td><td>2</td><td>2</td><td>25.0 "
                    "%</td>"),
              1u);
    EXPECT_EQ(LedgerReportHtml::escaped("a&b<c>\"d'"), "a&amp;b&lt;c&gt;&quot;d&#39;");
}

} // namespace
