// The upload state machine against a scripted product that answers through the real handlers,
// with fake time so every wait and time-out costs microseconds.
#include "os/os.h"
#include "session/firmware_image.h"
#include "session/reply_handlers.h"
#include "session/session_state.h"
#include "session/upload_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One answer word per command sent, the last one repeating; nullptr stays silent. "W@N": W
// arrives N ms late, out of turn.
using Answers = std::vector<const char*>;

struct Script {
    Answers ping{"PONG"};
    // "OTHER" and "OTHERBSL": a FWID reply that names another product, its application or boot
    // loader; "ERROR": one with an ERROR status; "?": the firmware that runs (MAP until UPDATE is
    // answered, BSL until the end record is, then MAP).
    Answers fwid{"BSL", "MAP"};
    Answers update{"OK"};
    Answers record{"PASS"};
    WaitMode wait = WaitMode::Fixed;
    // After UPDATE's answer the product hears nothing for bootDownMs, then erases for eraseMs:
    // it reads, and answers in turn after the erase, lateGapMs apart. After the end record's
    // answer it hears nothing for appDownMs.
    uint32_t bootDownMs = 0;
    uint32_t eraseMs = 0;
    uint32_t lateGapMs = 0;
    uint32_t appDownMs = 0;
};

struct Late {
    uint32_t due;
    CommandIndex command;
    std::string word;
    std::string line;
};

struct World {
    Script script;
    size_t sent[CommandCount] = {};
    std::string head;
    std::vector<std::string> lines;
    std::vector<uint32_t> pauses;
    uint32_t now = 0;
    int stops = 0;
    uint32_t stoppedAt = 0;
    uint32_t lastSentAt = 0;
    std::string duplicate; // a record reply still to come
    int foreignWakes = 0;  // wake-ups by replies to other commands, 1 ms apart
    bool application = true;
    uint32_t downUntil = 0;
    uint32_t eraseUntil = 0;
    std::vector<Late> owed;  // answers in turn, due in order
    std::vector<Late> stray; // answers out of turn
    bool bootLoaderAnswered = false;
    bool recordTooEarly = false; // before a BSL answer, or while answers were owed
    // From the nth sending of a command on, the port is lost or a stop is requested.
    Interruption interrupt = Interruption::None;
    std::string interruptAt;
    size_t interruptNth = 1;
    bool answerBeforeInterrupt = false;
    bool interrupted = false;
};
World world;

void deliver(ReplyHandler handler, std::vector<std::string> words) {
    std::vector<char*> tokens;
    for (std::string& word : words) {
        tokens.push_back(word.data());
    }
    handler(static_cast<uint16_t>(tokens.size()), tokens.data());
}

// The product's state after its answer to the line went out.
void afterAnswer(CommandIndex command, const std::string& word, const std::string& line) {
    if (command == CommandIndex::Update) {
        world.application = false;
        world.downUntil = world.now + world.script.bootDownMs;
        world.eraseUntil = world.downUntil + world.script.eraseMs;
    } else if (command == CommandIndex::Record && word == "PASS" &&
               line.starts_with("!DVO RECORD S9")) {
        world.application = true;
        world.downUntil = world.now + world.script.appDownMs;
    } else if (command == CommandIndex::Fwid && word == "BSL") {
        world.bootLoaderAnswered = true;
    }
}

void deliverWord(CommandIndex command, const std::string& w, const std::string& line) {
    if (command == CommandIndex::Ping) {
        deliver(onPong, {w});
    } else if (command == CommandIndex::Fwid && w.starts_with("OTHER")) {
        deliver(onFwid, {"FWID", w == "OTHER" ? "OTHERAPP" : w, "OTHER",
                         w == "OTHER" ? "MAP" : "BSL", "V9"});
    } else if (command == CommandIndex::Fwid) {
        deliver(onFwid, w == "ERROR"
                            ? std::vector<std::string>{"FWID", w}
                            : std::vector<std::string>{"FWID", "KORVAAPP", "KORVA", w, "V2.1"});
    } else if (const size_t plus = w.find('+'); plus != std::string::npos) {
        // Two answers to one record that a bridge delivered together.
        deliver(onRecord, {"X", w.substr(0, plus)});
        deliver(onRecord, {"X", w.substr(plus + 1)});
    } else if (w.ends_with(" TWICE")) {
        // A product that answers one record twice; the copy arrives during the session's next
        // pause.
        world.duplicate = w.substr(0, w.size() - 6);
        deliver(onRecord, {"X", world.duplicate});
    } else {
        deliver(command == CommandIndex::Update ? onUpdate : onRecord, {"X", w});
    }
    afterAnswer(command, w, line);
}

uint32_t nextDue() {
    uint32_t due = UINT32_MAX;
    for (const std::vector<Late>* list : {&world.owed, &world.stray}) {
        due = list->empty() ? due : std::min(due, list->front().due);
    }
    return due;
}

void deliverDue() {
    for (std::vector<Late>* list : {&world.owed, &world.stray}) {
        while (!list->empty() && list->front().due <= world.now) {
            const Late late = list->front();
            list->erase(list->begin());
            deliverWord(late.command, late.word, late.line);
        }
    }
}

void answer(CommandIndex command, const std::string& line) {
    const Answers* scripts[] = {&world.script.ping, &world.script.fwid, &world.script.update,
                                &world.script.record};
    const Answers& answers = *scripts[static_cast<int>(command)];
    size_t& sent = world.sent[static_cast<int>(command)];
    const char* word = answers[std::min(sent++, answers.size() - 1)];
    if (word == nullptr || world.now < world.downUntil) {
        return; // silent, or lost in a reboot
    }
    std::string w = word == std::string("?") ? (world.application ? "MAP" : "BSL") : word;
    if (const size_t at = w.find('@'); at != std::string::npos) {
        const uint32_t due = world.now + static_cast<uint32_t>(std::stoul(w.substr(at + 1)));
        world.stray.push_back({due, command, w.substr(0, at), line});
        std::sort(world.stray.begin(), world.stray.end(),
                  [](const Late& a, const Late& b) { return a.due < b.due; });
        return;
    }
    uint32_t due = std::max(world.now, world.eraseUntil);
    if (!world.owed.empty()) {
        due = std::max(due, world.owed.back().due + world.script.lateGapMs);
    }
    if (due > world.now || !world.owed.empty()) {
        world.owed.push_back({due, command, w, line});
        return;
    }
    deliverWord(command, w, line);
}

bool writeText(const char* text) {
    if (world.head.empty()) {
        world.head = text;
        return true;
    }
    world.lines.push_back(world.head + text);
    world.lastSentAt = world.now;
    for (int i = 0; i < CommandCount; ++i) {
        if (world.head == std::string("!DVO ") + CommandNames[i] + " ") {
            const bool trigger =
                CommandNames[i] == world.interruptAt && world.sent[i] + 1 == world.interruptNth;
            if (static_cast<CommandIndex>(i) == CommandIndex::Record) {
                world.recordTooEarly |= !world.bootLoaderAnswered || !world.owed.empty();
            }
            if (!trigger || world.answerBeforeInterrupt) {
                answer(static_cast<CommandIndex>(i), world.lines.back());
            } else {
                ++world.sent[i];
            }
            world.interrupted = world.interrupted || trigger;
        }
    }
    world.head.clear();
    return true;
}

void deliverDuplicate() {
    if (!world.duplicate.empty()) {
        deliver(onRecord, {"X", world.duplicate});
        world.duplicate.clear();
    }
}

// A wait ends early on a foreign reply, an interruption or a late answer, as the wake event
// makes it.
void fakeWait(uint32_t ms) {
    if (world.foreignWakes > 0) {
        --world.foreignWakes;
        deliver(onPong, {"PONG"});
    }
    const uint32_t until = world.now + (world.foreignWakes > 0 || world.interrupted ? 1 : ms);
    world.now = std::max(world.now, std::min(until, nextDue()));
    deliverDue();
}

const SessionEnvironment fake{
    writeText,
    [] {
        ++world.stops;
        world.stoppedAt = world.now;
    },
    fakeWait,
    [](uint32_t ms) {
        deliverDuplicate();
        if (!world.interrupted) {
            world.pauses.push_back(ms);
        }
        fakeWait(ms);
    },
    [] { return world.now; },
    [] { return world.interrupted ? world.interrupt : Interruption::None; },
};

std::vector<uint32_t> pauses(uint32_t first, uint32_t then, size_t count) {
    std::vector<uint32_t> all(count, then);
    all[0] = first;
    return all;
}

const std::string Rec1 = "S1070000AAAAAAAA50\n";
const std::string Rec2 = "S1070010BBBBBBBBFC\n";
const std::string End = "S9030000FC\n";
const std::string Single = Rec1 + End;
const std::string Timeout = "\r\n****Reply Timeout****\r\n";
const std::string Waiting = "\r\n Waiting for device to initialise...\r\n\n";
const std::string Done = "\r\n\r\nUpdate Done!\r\n\n___________________\n";
const std::string NotResponding = "ERROR: Device not responding!\r\n";
const std::string NoContact = "Error: Could not establish communication\r\n"
                              "\t-Ensure USB cable is connected to device\r\n"
                              "\t-Ensure device is powered ON\r\n";
const std::string Failed = "\r\n******* UPLOAD FAILED.  \r\n\r\n\r\nPlease power cycle";

struct RunCase {
    const char* name;
    const char* file; // nullptr: the file is missing
    Script script;
    bool succeeded;
    size_t updates;
    size_t records;
    std::vector<uint32_t> pauses;
    std::vector<std::string> texts; // must appear in this order
    Interruption interrupt = Interruption::None;
    const char* interruptAt = nullptr; // the command at whose sending it comes
    size_t interruptNth = 1;
    bool answerBeforeInterrupt = false;
    uint32_t endsAt = 0; // the time the session ends, from the start; 0: any
};

class UploadSessionTest : public testing::Test {
  protected:
    void SetUp() override {
        world = World{};
        sessionState.productId = "KORVA";
        sessionState.deviceKind = DeviceKind::ARM;
        sessionState.phase = UploadPhase::CheckComms;
        sessionState.transferUnderway = 0;
        sessionState.portName = "/dev/ttyFAKE";
        sessionState.lineCount = sessionState.linesRead = 0;
        sessionState.resendCount = sessionState.waitCount = 0;
        sessionState.waitDelayMs = 0;
        sessionState.waitMode = WaitMode::Fixed;
        SessionSlots::clearAll();
        SessionSlots::setIdentity(FirmwareIdentity::Unknown);
        UploadSession::setEnvironment(fake);
    }

    void useFile(const char* content) {
        path = testing::TempDir() + "upload_session_test.srec";
        sessionState.firmwarePath = path.c_str();
        FirmwareImage::unload();
        if (content != nullptr) {
            testing::internal::CaptureStdout();
            const bool loaded = FirmwareImage::loadBytes(path.c_str(), content, strlen(content));
            const std::string printed = testing::internal::GetCapturedStdout();
            ASSERT_TRUE(loaded) << printed;
        }
    }

    static std::string run() {
        testing::internal::CaptureStdout();
        for (int steps = 0; steps < 10000 && UploadSession::step() == StepResult::Continue;) {
            ++steps;
        }
        return testing::internal::GetCapturedStdout();
    }

    std::string path;
};

std::string progress(const char* numbers) {
    return std::string("       Download -> ") + numbers + "\r";
}

TEST_F(UploadSessionTest, WholeSessions) {
    const std::string three = Rec1 + Rec2 + End;
    // A blank line and one of blanks are counted but not sent.
    const std::string shortLines = Rec1 + "\n   \r\n" + Rec2 + End;
    const std::string noLastLf = Rec1 + "S9030000FC";
    const std::string noContact = Timeout + "\r\nTrying again...\r\n" + Timeout +
                                  "\r\nTrying again...\r\n" + Timeout + NoContact + Failed;
    const std::string gone = "\r\nThe port /dev/ttyFAKE is gone (unplugged?)\r\n";
    const std::string outOfStep = "ERROR: Record replies out of step, the image may be incomplete!";
    const std::string abortWaiting = "\r\nUpdate aborted while waiting for the product.\r\n";
    constexpr auto Lost = Interruption::PortLost;
    constexpr auto Abort = Interruption::Aborted;
    constexpr auto None = Interruption::None;
    constexpr auto Poll = WaitMode::Poll;
    // The resend's pause (the late answer wakes it at 1000 ms), then an ask every 250 ms until
    // the limit.
    std::vector<uint32_t> lateMapPauses = {1000, 250};
    lateMapPauses.insert(lateMapPauses.end(), 136, 250);
    const Script toApp{{"PONG"}, {"MAP", "BSL", "MAP"}, {"OK"}, {"PASS"}};
    // Another product's boot loader, or an ERROR status, at every ask of a wait: the poll shows
    // it once and counts it until its limit, the fixed pauses show it at each of their 30 asks.
    const std::string otherBoot =
        "OTHERBSL Firmware Update\r\n\r\nReply for [FWID]: ERROR: Parameter value unrecognised\r\n";
    const std::string fwidError = "\r\nReply for [FWID]: ERROR: Insufficient parameters\r\n";
    const std::string bootWaitDots = std::string(72, '.') + "\r\n";
    const std::vector<uint32_t> everyAskAnswered(292, 250);
    std::string otherBootThirty;
    for (int i = 0; i < 30; ++i) {
        otherBootThirty += otherBoot;
    }
    // clang-format off
    const RunCase cases[] = {
        {"boot loader at once", three.c_str(), {}, true, 0, 3, {5000},
         {"\r\nChecking comms...\r\n\r\nDevice found.\r\nStarting Upload\r\n",
          progress("     1 [ 33%]"), progress("     2 [ 66%]"), progress("     3 [100%]"), Waiting,
          "Current V2.1\r\n", Done}},
        {"application first, UPDATE refused, boot loader on the third poll", Single.c_str(),
         {{"PONG"}, {"MAP", nullptr, "BOGUS", "BSL", "MAP"}, {"NAK"}, {"PASS"}},
         true, 1, 2, {15000, 2000, 2000, 5000},
         {"Current V2.1\r\nProduct needs to reboot, please wait...\r\n",
          "\r\nReply for [UPDATE]: ERROR: Command not allowed", Timeout, "Starting Upload\r\n",
          Done}},
        {"blank lines skipped but counted", shortLines.c_str(), {}, true, 0, 3, {5000},
         {progress("     1 [ 20%]"), progress("     4 [ 80%]"), progress("     5 [100%]"), Done}},
        {"last line without a line feed is sent", noLastLf.c_str(), {}, true, 0, 2, {5000},
         {progress("     2 [100%]"), Waiting, Done}},
        {"BUSY and FAIL resent, then taken", Single.c_str(),
         {{"PONG"}, {"BSL", "MAP"}, {"OK"}, {"BUSY", "FAIL", "PASS"}}, true, 0, 4,
         {1000, 1000, 5000},
         {progress("     1 [ 50%]"), "\r\nWarning, packet failed trying to resend...\r\n",
          progress("     1 [ 50%]"), "resend", progress("     1 [ 50%]"), Done}},
        {"too many resends", Single.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {"FAIL"}}, false, 0, 3,
         {1000, 1000, 1000}, {"ERROR: Too many re-transmission requests!\r\n", Failed}},
        {"record refused with its line number", shortLines.c_str(),
         {{"PONG"}, {"BSL"}, {"OK"}, {"PASS", "ERROR"}}, false, 0, 2, {},
         {"\r\nReply for [RECORD]: ERROR: Command not allowed",
          "\r\nERROR [4]: Record was not accepted!\r\n", Failed}},
        {"a record answered twice: the answers are out of step", three.c_str(),
         {{"PONG"}, {"BSL"}, {"OK"}, {"BUSY TWICE", "PASS"}}, false, 0, 1, {1000},
         {progress("     1 [ 33%]"), outOfStep, Failed}},
        {"the last record answered twice", Single.c_str(),
         {{"PONG"}, {"BSL", "MAP"}, {"OK"}, {"PASS", "PASS TWICE"}}, false, 0, 2, {5000},
         {Waiting, outOfStep, Failed}},
        {"PASS and ERROR together", three.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {"PASS+ERROR"}},
         false, 0, 1, {}, {outOfStep, Failed}},
        {"ERROR and PASS together", three.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {"ERROR+PASS"}},
         false, 0, 1, {}, {outOfStep, Failed}},
        {"BUSY and PASS together", three.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {"BUSY+PASS"}},
         false, 0, 1, {}, {outOfStep, Failed}},
        {"FAIL and PASS together", three.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {"FAIL+PASS"}},
         false, 0, 1, {}, {outOfStep, Failed}},
        {"record not answered", Single.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {nullptr}}, false, 0,
         1, {}, {Timeout + "Communication Error!\r\n", Failed}},
        {"no contact", Single.c_str(), {{nullptr}}, false, 0, 0, {}, {noContact}},
        {"FWID of another product", Single.c_str(), {{"PONG"}, {"OTHER"}}, false, 0, 0, {},
         {"OTHERAPP Firmware Update\r\n", "ERROR: Unkown ARM application!\r\n", Failed}},
        {"FWID not answered", Single.c_str(), {{"PONG"}, {nullptr}}, false, 0, 0, {},
         {"\r\nDevice found.\r\n" + Timeout + Failed}},
        {"UPDATE not answered", Single.c_str(), {{"PONG"}, {"MAP"}, {nullptr}}, false, 1, 0, {},
         {"please wait...\r\n" + Timeout + Failed}},
        {"boot loader never comes", Single.c_str(), {{"PONG"}, {"MAP", nullptr}}, false, 1, 0,
         pauses(15000, 2000, 30), {Timeout, NotResponding + Failed}},
        {"application never answers PING", Single.c_str(), {{"PONG", nullptr}, {"BSL"}}, false, 0,
         2, pauses(5000, 1000, 30), {Waiting, Timeout, NotResponding + Failed}},
        {"product stays in its boot loader", Single.c_str(), {{"PONG"}, {"BSL"}}, false, 0, 2,
         pauses(5000, 1000, 30), {Waiting, NotResponding + Failed}},
        {"FWID lost after the application's PONG", Single.c_str(), {{"PONG"}, {"BSL", nullptr}},
         false, 0, 2, {5000}, {Waiting, Timeout + Failed}},
        {"file missing", nullptr, {}, false, 0, 0, {},
         {"Starting Upload\r\n\nError: Failed to open file <", Failed}},
        {"port lost while connecting", Single.c_str(), {}, false, 0, 0, {},
         {"Checking comms...\r\n" + gone + NoContact + Failed}, Lost, "PING"},
        {"port lost while identifying", Single.c_str(), {}, false, 0, 0, {},
         {"Device found.\r\n" + gone + "Communication Error!\r\n" + Failed}, Lost, "FWID"},
        {"port lost while the boot loader starts", Single.c_str(), toApp, false, 1, 0, {},
         {"please wait...\r\n" + gone + NotResponding + Failed}, Lost, "UPDATE", 1, true},
        {"port lost mid-transfer", three.c_str(), {}, false, 0, 2, {},
         {progress("     2 [ 66%]") + gone + "Communication Error!\r\n" + Failed}, Lost, "RECORD",
         2},
        {"port lost while the application starts", Single.c_str(), {}, false, 0, 2, {},
         {Waiting + gone + NotResponding + Failed}, Lost, "RECORD", 2, true},
        {"stop while connecting", Single.c_str(), {}, false, 0, 0, {}, {abortWaiting + Failed},
         Abort, "PING"},
        {"stop while identifying", Single.c_str(), {}, false, 0, 0, {}, {abortWaiting + Failed},
         Abort, "FWID"},
        {"stop while the boot loader starts", Single.c_str(), toApp, false, 1, 0, {},
         {abortWaiting + Failed}, Abort, "UPDATE", 1, true},
        {"stop mid-transfer", three.c_str(), {}, false, 0, 2, {},
         {progress("     2 [ 66%]") + "\r\nUpdate aborted at record 2 of 3.\r\n" + Failed}, Abort,
         "RECORD", 2},
        {"stop while the application starts", Single.c_str(), {}, false, 0, 2, {},
         {Waiting + abortWaiting + Failed}, Abort, "RECORD", 2, true},
        // --wait poll: the same product, asked every 250 ms instead of after the fixed pauses.
        {"poll: boot loader after its reboot and erase, application after its start",
         Single.c_str(), {{"PONG"}, {"?"}, {"OK"}, {"PASS"}, Poll, 2000, 1000, 0, 1500}, true, 1,
         2, {}, {"please wait...\r\nWaiting for the boot loader...\r\n..\r\nStarting Upload\r\n",
                 Waiting + ".\r\nCurrent V2.1\r\n" + Done}, None, nullptr, 1, false, 4500},
        {"poll: the old application answers on, asked every 250 ms: shown once, then counted",
         Single.c_str(),
         {{"PONG"}, {"MAP", "MAP", "MAP", "MAP", "BSL", "?"}, {"OK"}, {"PASS"}, Poll}, true, 1, 2,
         {250, 250, 250},
         {"Waiting for the boot loader...\r\nCurrent V2.1\r\n(the application answered 3 times)\r\n"
          "Starting Upload\r\n", Done}},
        {"poll: another product's boot loader at every ask: shown once, then counted",
         Single.c_str(), {{"PONG"}, {"MAP", "OTHERBSL"}, {"OK"}, {"PASS"}, Poll}, false, 1, 0,
         everyAskAnswered, {"Waiting for the boot loader...\r\n" + otherBoot + bootWaitDots +
          "(the boot loader of another product answered 292 times)\r\n" + NotResponding + Failed},
         None, nullptr, 1, false, 73000},
        {"poll: an ERROR status at every ask: shown once, then counted", Single.c_str(),
         {{"PONG"}, {"MAP", "ERROR"}, {"OK"}, {"PASS"}, Poll}, false, 1, 0, everyAskAnswered,
         {"Waiting for the boot loader...\r\n" + fwidError + bootWaitDots +
          "(the reply for [FWID] with that ERROR status came 292 times)\r\n" + NotResponding +
          Failed}, None, nullptr, 1, false, 73000},
        {"poll: two answers each shown; only the one that came again is counted", Single.c_str(),
         {{"PONG"}, {"MAP", "OTHERBSL", "ERROR", "OTHERBSL", "BSL", "?"}, {"OK"}, {"PASS"}, Poll},
         true, 1, 2, {250, 250, 250},
         {"Waiting for the boot loader...\r\n" + otherBoot + fwidError +
          "(the boot loader of another product answered 2 times)\r\nStarting Upload\r\n", Done}},
        {"fixed: another product's boot loader shown at each of the 30 asks, as ever",
         Single.c_str(), {{"PONG"}, {"MAP", "OTHERBSL"}}, false, 1, 0, pauses(15000, 2000, 30),
         {"please wait...\r\n" + otherBootThirty + NotResponding + Failed}},
        {"poll: late answers from the erase come one by one; the transfer waits for them",
         Single.c_str(), {{"PONG"}, {"?"}, {"OK"}, {"PASS"}, Poll, 1000, 1000, 100}, true, 1, 2,
         {}, {"Starting Upload\r\n", Done}},
        {"poll: the PING after the boot loader's answer is lost: another follows", Single.c_str(),
         {{"PONG", nullptr, "PONG"}, {"MAP", "BSL", "?"}, {"OK"}, {"PASS"}, Poll}, true, 1, 2, {},
         {"Starting Upload\r\n", Done}},
        {"poll: a PING never answered after the boot loader's answer is written off",
         Single.c_str(), {{"PONG", "PONG@600", nullptr, "PONG"}, {"MAP", "BSL", "?"}, {"OK"},
         {"PASS"}, Poll}, true, 1, 2, {}, {"Starting Upload\r\n", Done}},
        {"poll: a late MAP during the transfer, then no application: no false success",
         Single.c_str(), {{"PONG"}, {"MAP", "MAP@1000", "BSL", "BOGUS"}, {"OK"}, {"BUSY", "PASS"},
         Poll}, false, 1, 3, lateMapPauses, {"resend", "Current V2.1\r\n", Waiting,
         "\r\nReply for [FWID]: ", NotResponding + Failed}, None, nullptr, 1, false, 35250},
        {"poll: the boot loader never comes: 73 s after UPDATE's answer", Single.c_str(),
         {{"PONG"}, {"MAP", nullptr}, {"OK"}, {"PASS"}, Poll}, false, 1, 0, {},
         {"Waiting for the boot loader...\r\n" + std::string(72, '.') + "\r\n" + NotResponding +
          Failed}, None, nullptr, 1, false, 73000},
        {"poll: the application never comes: 34 s after the last record's answer",
         Single.c_str(), {{"PONG", nullptr}, {"BSL"}, {"OK"}, {"PASS"}, Poll}, false, 0, 2, {},
         {Waiting + std::string(33, '.') + "\r\n" + NotResponding + Failed}, None, nullptr, 1,
         false, 34000},
        {"poll: port lost while asking for the boot loader", Single.c_str(),
         {{"PONG"}, {"MAP", nullptr}, {"OK"}, {"PASS"}, Poll}, false, 1, 0, {},
         {"Waiting for the boot loader...\r\n" + gone + NotResponding + Failed}, Lost, "FWID", 3},
        {"poll: stop while asking for the application", Single.c_str(),
         {{"PONG", nullptr}, {"BSL"}, {"OK"}, {"PASS"}, Poll}, false, 0, 2, {},
         {Waiting + abortWaiting + Failed}, Abort, "PING", 2},
    };
    // clang-format on
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        world.script = c.script;
        world.interrupt = c.interrupt;
        world.interruptAt = c.interruptAt != nullptr ? c.interruptAt : "";
        world.interruptNth = c.interruptNth;
        world.answerBeforeInterrupt = c.answerBeforeInterrupt;
        sessionState.waitMode = c.script.wait;
        useFile(c.file);
        std::string output = run();
        const SessionOutcome expected = c.interrupt == Abort ? SessionOutcome::Aborted
                                        : c.succeeded        ? SessionOutcome::Succeeded
                                                             : SessionOutcome::Failed;
        EXPECT_EQ(UploadSession::outcome(), expected);
        EXPECT_EQ(world.sent[static_cast<int>(CommandIndex::Update)], c.updates);
        EXPECT_EQ(world.sent[static_cast<int>(CommandIndex::Record)], c.records);
        EXPECT_EQ(world.pauses, c.pauses);
        EXPECT_EQ(world.stops, 1);
        EXPECT_EQ(sessionState.transferUnderway, 0u);
        if (c.interrupt != Interruption::None) {
            EXPECT_LT(world.stoppedAt - world.lastSentAt, 2000u) << "no prompt end";
        }
        size_t at = 0;
        for (const std::string& text : c.texts) {
            at = output.find(text, at);
            if (at == std::string::npos) {
                ADD_FAILURE() << "missing in order: " << text << "\n" << output;
                break;
            }
        }
        EXPECT_EQ(output.find(Waiting), output.rfind(Waiting)) << "the transfer ended twice";
        EXPECT_FALSE(world.recordTooEarly) << "a RECORD before BSL or while answers were owed";
        if (c.endsAt != 0) {
            EXPECT_EQ(world.stoppedAt, c.endsAt);
        }
    }
}

TEST_F(UploadSessionTest, CommandLinesAndAReplyDeadlineThatOtherRepliesDoNotMove) {
    world.script.fwid = {"MAP", "BSL", "MAP"};
    world.script.record = {nullptr};
    useFile(Single.c_str());
    run();
    const std::vector<std::string> expected = {"!DVO PING \n", "!DVO FWID \n",
                                               "!DVO UPDATE KORVA ARM\n", "!DVO FWID \n",
                                               "!DVO RECORD " + Rec1 + "\n"};
    EXPECT_EQ(world.lines, expected);
    EXPECT_EQ(world.stoppedAt - world.lastSentAt, 10000u);

    // 5000 replies to other commands wake the wait for the record; its deadline stays.
    SetUp();
    world.script.fwid = {"BSL"};
    world.script.record = {nullptr};
    world.foreignWakes = 5000;
    useFile(Single.c_str());
    const std::string output = run();
    EXPECT_EQ(world.foreignWakes, 0);
    EXPECT_EQ(world.stoppedAt - world.lastSentAt, 10000u);
    EXPECT_NE(output.find(Timeout + "Communication Error!\r\n"), std::string::npos) << output;
}

// The reader's announcement after a pass with a raise sets the reply event, and a wait for a
// reply consumes it, so the session wakes when the replies are handled instead of at a poll.
TEST(ReplyWakeUp, RaiseSetsTheEventAWaitConsumes) {
    Os::EventHandle event = Os::createEvent(Os::EventReset::Auto);
    ASSERT_NE(event, nullptr);
    SessionSlots::setReplyEvent(event);
    SessionSlots::raise(CommandIndex::Ping);
    EXPECT_FALSE(Os::waitEvent(event, 0)) << "a raise alone woke the session";
    SessionSlots::announce();
    EXPECT_TRUE(Os::waitEvent(event, 5000));
    EXPECT_FALSE(Os::waitEvent(event, 0)) << "the wait did not take the event";
    SessionSlots::announce();
    EXPECT_FALSE(Os::waitEvent(event, 0)) << "an announcement without a raise woke the session";
    SessionSlots::raise(CommandIndex::Fwid);
    SessionSlots::announce();
    EXPECT_TRUE(Os::waitEvent(event, 0)) << "the announcement did not set the event";
    SessionSlots::setReplyEvent(nullptr);
    SessionSlots::raise(CommandIndex::Fwid);
    SessionSlots::announce();
    EXPECT_FALSE(Os::waitEvent(event, 0));
    Os::closeEvent(event);
}

} // namespace
