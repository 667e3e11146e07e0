// The upload state machine against a scripted product that answers through the real handlers,
// with fake time so every wait and time-out costs microseconds.
#include "os/os.h"
#include "session/reply_handlers.h"
#include "session/session_state.h"
#include "session/upload_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

// One answer word per command sent, the last one repeating; nullptr stays silent.
using Answers = std::vector<const char*>;

struct Script {
    Answers ping{"PONG"};
    Answers fwid{"BSL", "MAP"}; // "OTHER": a FWID reply that names another product
    Answers update{"OK"};
    Answers record{"PASS"};
};

struct World {
    Script script;
    size_t sent[CommandCount] = {};
    std::string head;
    std::vector<std::string> lines;
    std::vector<uint32_t> pauses;
    uint32_t now = 0;
    int looks = 0;
    uint32_t longestLook = 0;
    int stops = 0;
    std::string duplicate; // a record reply still to come
};
World world;

void deliver(ReplyHandler handler, std::vector<std::string> words) {
    std::vector<char*> tokens;
    for (std::string& word : words) {
        tokens.push_back(word.data());
    }
    handler(static_cast<uint16_t>(tokens.size()), tokens.data());
}

void answer(CommandIndex command) {
    const Answers* scripts[] = {&world.script.ping, &world.script.fwid, &world.script.update,
                                &world.script.record};
    const Answers& answers = *scripts[static_cast<int>(command)];
    size_t& sent = world.sent[static_cast<int>(command)];
    const char* word = answers[std::min(sent++, answers.size() - 1)];
    if (word == nullptr) {
        return;
    }
    const std::string w = word;
    if (command == CommandIndex::Ping) {
        deliver(onPong, {w});
    } else if (command == CommandIndex::Fwid) {
        deliver(onFwid, w == "OTHER"
                            ? std::vector<std::string>{"FWID", "OTHERAPP", "OTHER", "MAP", "V9"}
                            : std::vector<std::string>{"FWID", "KORVAAPP", "KORVA", w, "V2.1"});
    } else if (w.ends_with(" TWICE")) {
        // A product that answers one record twice; the copy arrives during the session's next
        // pause.
        world.duplicate = w.substr(0, w.size() - 6);
        deliver(onRecord, {"X", world.duplicate});
    } else {
        deliver(command == CommandIndex::Update ? onUpdate : onRecord, {"X", w});
    }
}

bool writeText(const char* text) {
    if (world.head.empty()) {
        world.head = text;
        return true;
    }
    world.lines.push_back(world.head + text);
    for (int i = 0; i < CommandCount; ++i) {
        if (world.head == std::string("!DVO ") + CommandNames[i] + " ") {
            answer(static_cast<CommandIndex>(i));
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

const SessionEnvironment fake{
    writeText,
    [] { ++world.stops; },
    [](uint32_t ms) {
        ++world.looks;
        world.longestLook = std::max(world.longestLook, ms);
        world.now += ms;
    },
    [](uint32_t ms) {
        deliverDuplicate();
        world.pauses.push_back(ms);
        world.now += ms;
    },
    [] { return world.now; },
};

std::vector<uint32_t> pauses(uint32_t first, uint32_t then, size_t count) {
    std::vector<uint32_t> all(count, then);
    all[0] = first;
    return all;
}

const std::string Rec1 = "S1130000AAAAAAAA\n";
const std::string Rec2 = "S1130010BBBBBBBB\n";
const std::string Timeout = "\r\n****Reply Timeout****\r\n";
const std::string Waiting = "\r\n Waiting for device to initialise...\r\n\n";
const std::string Done = "\r\n\r\nUpdate Done!\r\n\n___________________\n";
const std::string NotResponding = "ERROR: Device not responding!\r\n";
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
};

class UploadSessionTest : public testing::Test {
  protected:
    void SetUp() override {
        world = World{};
        sessionState.productId = "KORVA";
        sessionState.deviceKind = DeviceKind::ARM;
        sessionState.phase = UploadPhase::CheckComms;
        sessionState.fileOpen = 0;
        sessionState.firmwareFile = nullptr;
        sessionState.lineCount = sessionState.linesRead = 0;
        sessionState.resendCount = sessionState.waitCount = 0;
        sessionState.waitDelayMs = 0;
        SessionSlots::clearAll();
        SessionSlots::setIdentity(FirmwareIdentity::Unknown);
        UploadSession::setEnvironment(fake);
    }

    void useFile(const char* content) {
        path = testing::TempDir() + "upload_session_test.srec";
        std::remove(path.c_str());
        if (content != nullptr) {
            std::ofstream(path, std::ios::binary) << content;
        }
        sessionState.firmwarePath = path.c_str();
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
    const std::string three = Rec1 + Rec2 + Rec1;
    // Blank, 9 characters (skipped), 10 characters (sent), each with its line feed.
    const std::string shortLines = Rec1 + "\nS90300FC\r\nS903000FC\n" + Rec2;
    const std::string noLastLf = Rec1 + "S1130010BBBB";
    const std::string noContact = Timeout + "\r\nTrying again...\r\n" + Timeout +
                                  "\r\nTrying again...\r\n" + Timeout +
                                  "Error: Could not establish communication\r\n"
                                  "\t-Ensure USB cable is connected to device\r\n"
                                  "\t-Ensure device is powered ON\r\n" +
                                  Failed;
    // clang-format off
    const RunCase cases[] = {
        {"boot loader at once", three.c_str(), {}, true, 0, 3, {5000},
         {"\r\nChecking comms...\r\n\r\nDevice found.\r\nStarting Upload\r\n",
          progress("     1 [ 33%]"), progress("     2 [ 66%]"), progress("     3 [100%]"), Waiting,
          "Current V2.1\r\n", Done}},
        {"application first, UPDATE refused, boot loader on the third poll", Rec1.c_str(),
         {{"PONG"}, {"MAP", nullptr, "BOGUS", "BSL", "MAP"}, {"NAK"}, {"PASS"}},
         true, 1, 1, {15000, 2000, 2000, 5000},
         {"Current V2.1\r\nProduct needs to reboot, please wait...\r\n",
          "\r\nReply for [UPDATE]: ERROR: Command not allowed", Timeout, "Starting Upload\r\n",
          Done}},
        {"short lines skipped but counted", shortLines.c_str(), {}, true, 0, 3, {5000},
         {progress("     1 [ 20%]"), progress("     4 [ 80%]"), progress("     5 [100%]"), Done}},
        {"last line without a line feed is sent", noLastLf.c_str(), {}, true, 0, 2, {5000},
         {progress("     2 [100%]"), Waiting, Done}},
        {"BUSY and FAIL resent, then taken", Rec1.c_str(),
         {{"PONG"}, {"BSL", "MAP"}, {"OK"}, {"BUSY", "FAIL", "PASS"}}, true, 0, 3,
         {1000, 1000, 5000},
         {progress("     1 [100%]"), "\r\nWarning, packet failed trying to resend...\r\n",
          progress("     1 [100%]"), "resend", progress("     1 [100%]"), Done}},
        {"too many resends", Rec1.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {"FAIL"}}, false, 0, 3,
         {1000, 1000, 1000}, {"ERROR: Too many re-transmission requests!\r\n", Failed}},
        {"record refused with its line number", shortLines.c_str(),
         {{"PONG"}, {"BSL"}, {"OK"}, {"PASS", "ERROR"}}, false, 0, 2, {},
         {"\r\nReply for [RECORD]: ERROR: Command not allowed",
          "\r\nERROR [4]: Record was not accepted!\r\n", Failed}},
        {"a record answered twice: the answers are out of step", three.c_str(),
         {{"PONG"}, {"BSL"}, {"OK"}, {"BUSY TWICE", "PASS"}}, false, 0, 1, {1000},
         {progress("     1 [ 33%]"),
          "ERROR: Record replies out of step, the image may be incomplete!\r\n", Failed}},
        {"the last record answered twice", Rec1.c_str(),
         {{"PONG"}, {"BSL", "MAP"}, {"OK"}, {"PASS TWICE"}}, false, 0, 1, {5000},
         {Waiting, "ERROR: Record replies out of step, the image may be incomplete!\r\n",
          Failed}},
        {"record not answered", Rec1.c_str(), {{"PONG"}, {"BSL"}, {"OK"}, {nullptr}}, false, 0, 1,
         {}, {Timeout + "Communication Error!\r\n", Failed}},
        {"no contact", Rec1.c_str(), {{nullptr}}, false, 0, 0, {}, {noContact}},
        {"FWID of another product", Rec1.c_str(), {{"PONG"}, {"OTHER"}}, false, 0, 0, {},
         {"OTHERAPP Firmware Update\r\n", "ERROR: Unkown ARM application!\r\n", Failed}},
        {"FWID not answered", Rec1.c_str(), {{"PONG"}, {nullptr}}, false, 0, 0, {},
         {"\r\nDevice found.\r\n" + Timeout + Failed}},
        {"UPDATE not answered", Rec1.c_str(), {{"PONG"}, {"MAP"}, {nullptr}}, false, 1, 0, {},
         {"please wait...\r\n" + Timeout + Failed}},
        {"boot loader never comes", Rec1.c_str(), {{"PONG"}, {"MAP", nullptr}}, false, 1, 0,
         pauses(15000, 2000, 30), {Timeout, NotResponding + Failed}},
        {"application never answers PING", Rec1.c_str(), {{"PONG", nullptr}, {"BSL"}}, false, 0,
         1, pauses(5000, 1000, 30), {Waiting, Timeout, NotResponding + Failed}},
        {"product stays in its boot loader", Rec1.c_str(), {{"PONG"}, {"BSL"}}, false, 0, 1,
         pauses(5000, 1000, 30), {Waiting, NotResponding + Failed}},
        {"FWID lost after the application's PONG", Rec1.c_str(), {{"PONG"}, {"BSL", nullptr}},
         false, 0, 1, {5000}, {Waiting, Timeout + Failed}},
        {"file missing", nullptr, {}, false, 0, 0, {},
         {"Starting Upload\r\n\nError: Failed to open file <", Failed}},
    };
    // clang-format on
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        world.script = c.script;
        useFile(c.file);
        std::string output = run();
        EXPECT_EQ(sessionState.phase, UploadPhase::Done);
        EXPECT_EQ(UploadSession::succeeded(), c.succeeded);
        EXPECT_EQ(world.sent[static_cast<int>(CommandIndex::Update)], c.updates);
        EXPECT_EQ(world.sent[static_cast<int>(CommandIndex::Record)], c.records);
        EXPECT_EQ(world.pauses, c.pauses);
        EXPECT_EQ(world.stops, 1);
        EXPECT_EQ(sessionState.fileOpen, 0u);
        EXPECT_EQ(sessionState.firmwareFile, nullptr);
        size_t at = 0;
        for (const std::string& text : c.texts) {
            at = output.find(text, at);
            ASSERT_NE(at, std::string::npos) << "missing in order: " << text << "\n" << output;
        }
        EXPECT_EQ(output.find(Waiting), output.rfind(Waiting)) << "the transfer ended twice";
    }
}

TEST_F(UploadSessionTest, CommandLinesAndReplyLooks) {
    world.script.fwid = {"MAP", "BSL", "MAP"};
    world.script.record = {nullptr};
    useFile(Rec1.c_str());
    run();
    const std::vector<std::string> expected = {"!DVO PING \n", "!DVO FWID \n",
                                               "!DVO UPDATE KORVA ARM\n", "!DVO FWID \n",
                                               "!DVO RECORD " + Rec1 + "\n"};
    EXPECT_EQ(world.lines, expected);
    // The unanswered record was looked for 2000 times, never after more than 5 ms.
    EXPECT_EQ(world.looks, 4 + 2000);
    EXPECT_EQ(world.longestLook, 5u);
}

// A handler's raise sets the reply event, and the program's wait for a reply consumes it, so the
// session wakes when the reply is handled instead of at its next poll.
TEST(ReplyWakeUp, RaiseSetsTheEventTheRealWaitConsumes) {
#ifdef UARTFLASH_POLL_REPLIES
    GTEST_SKIP() << "built to poll for replies";
#endif
    Os::EventHandle event = Os::createEvent(Os::EventReset::Auto);
    ASSERT_NE(event, nullptr);
    SessionSlots::setReplyEvent(event);
    SessionSlots::raise(CommandIndex::Ping);
    UploadSession::realEnvironment().waitForReply(5000);
    EXPECT_FALSE(Os::waitEvent(event, 0)) << "the wait did not take the event";
    SessionSlots::raise(CommandIndex::Fwid);
    EXPECT_TRUE(Os::waitEvent(event, 0)) << "raise did not set the event";
    SessionSlots::setReplyEvent(nullptr);
    SessionSlots::raise(CommandIndex::Fwid);
    EXPECT_FALSE(Os::waitEvent(event, 0));
    Os::closeEvent(event);
}

} // namespace
