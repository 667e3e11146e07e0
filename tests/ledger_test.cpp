// The ledger: its line, field by field and in order, and its file, opened, appended to by several
// processes at once, and refused.
#include "ledger/ledger.h"
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

} // namespace
