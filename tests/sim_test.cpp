// The simulated product over its pseudo-terminal: what the end-to-end tests and benchmarks rely on.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int ReplyLimitMs = 3000; // hang guard only
const std::string Header = "S009000056322E302E30B2";
const std::string Data1 = "S113100025EB8C48FF89CB854FC09081CC47EDFC04";
const std::string Data2 = "S11310108619B214FE6592D48BFCEA9C9D8E3244F0";
const std::string Data2Damaged = "S11310108619B214FE6592D48BFCEA9C9D8E3244F1";
const std::string End = "S9031000EC";
const std::string Ping = "!DVO PING \n";
const std::string Pong = "!DVO PONG\r\n";
const std::string Fwid = "!DVO FWID \n";
const std::string Pass = "!DVO RECORD PASS\r\n";

std::string recordCommand(const std::string& line) {
    return "!DVO RECORD " + line + "\n\n";
}

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::string tempPath(const char* name) {
    return std::string(::testing::TempDir()) + "sim_test_" + std::to_string(getpid()) + name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One simulator process and our end of its line; its messages go to errorPath when given.
class Sim {
  public:
    explicit Sim(std::vector<std::string> args, const std::string& errorPath = "") {
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--control")
                controlPath_ = args[i + 1];
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            if (!errorPath.empty())
                dup2(open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(UARTFLASH_SIM)};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string path;
        char c = 0;
        while (read(out[0], &c, 1) == 1 && c != '\n')
            path += c;
        close(out[0]);
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Sim() {
        if (pid_ > 0)
            stop();
    }
    bool ready() const { return fd_ >= 0; }
    void send(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Reads until the text ends with `until` (or, with an empty `until`, for limitMs).
    std::string receive(const std::string& until, int limitMs = ReplyLimitMs) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        while (until.empty() || got.size() < until.size() ||
               got.compare(got.size() - until.size(), until.size(), until) != 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char bytes[256];
            const ssize_t n = read(fd_, bytes, sizeof bytes);
            if (n <= 0)
                break;
            got.append(bytes, static_cast<size_t>(n));
        }
        return got;
    }
    std::string exchange(const std::string& command, const std::string& reply) {
        send(command);
        return receive(reply);
    }
    // The tool's way of sending a record: head, then the line with its own line end and one more.
    std::string record(const std::string& line, const std::string& until,
                       int limitMs = ReplyLimitMs) {
        send("!DVO RECORD ");
        send(line + "\n\n");
        return receive(until, limitMs);
    }
    // One line to the fixture's control file, as a writer of its own that then closes it.
    void control(const std::string& line) {
        const int fd = open(controlPath_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0) << controlPath_;
        const std::string text = line + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    void hangUp() {
        close(fd_);
        fd_ = -1;
    }
    int waitExit(int limitMs = ReplyLimitMs) {
        int status = 0;
        for (int waited = 0; waited < limitMs; waited += 10) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    int stop() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        kill(pid_, SIGTERM);
        const int status = waitExit();
        if (status < 0)
            kill(pid_, SIGKILL);
        return status;
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string controlPath_;
};

TEST(Sim, ApplicationIdentifiesRefusesRecordsAndRebootsIntoItsBootLoader) {
    Sim sim({"--reboot-ms", "500"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(sim.exchange("!DVO PING \n", "\r\n"), "!DVO PONG\r\n");
    sim.send("!DVO FW"); // a command may come in two writes with any gap
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sim.exchange("ID \n", "\r\n"), "!DVO FWID SIM KORVA MAP V1.0.0\r\n");
    EXPECT_EQ(sim.record(End, "\r\n"), "!DVO RECORD ERROR\r\n");
    EXPECT_EQ(sim.exchange("!DVO UPDATE OTHER ARM\n", "\r\n"), "!DVO UPDATE NAK\r\n");
    EXPECT_EQ(sim.exchange("!DVO UPDATE KORVA ARM\n", "\r\n"), "!DVO UPDATE OK\r\n");
    sim.send("!DVO PING \n");
    EXPECT_EQ(sim.receive("", 100), ""); // rebooting
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(sim.exchange("!DVO FWID \n", "\r\n"), "!DVO FWID SIM KORVA BSL BSL-0.9\r\n");
    EXPECT_EQ(sim.stop(), 0);
}

TEST(Sim, BootLoaderAnswersEachAttemptAsPlannedAndKeepsTheAcceptedImage) {
    const std::string image = tempPath("image");
    // Two answers in one write: only a first PASS keeps the record.
    Sim sim({"--mode", "boot", "--reboot-ms", "0", "--image", image, "--busy-on", "2x2",
             "--fail-on", "3", "--silent-on", "4", "--twice-on",
             "1:ERROR+PASS,2:BUSY+PASS,3:FAIL+PASS,4:PASS+ERROR"});
    ASSERT_TRUE(sim.ready());
    const struct {
        const std::string& line;
        const char* reply;
    } steps[] = {
        {Header, "!DVO RECORD ERROR\r\n!DVO RECORD PASS\r\n"},
        {Header, "!DVO RECORD PASS\r\n"},
        {Data1, "!DVO RECORD BUSY\r\n"},
        {Data1, "!DVO RECORD BUSY\r\n"},
        {Data1, "!DVO RECORD BUSY\r\n!DVO RECORD PASS\r\n"},
        {Data1, "!DVO RECORD PASS\r\n"},
        {Data2, "!DVO RECORD FAIL\r\n"},
        {Data2, "!DVO RECORD FAIL\r\n!DVO RECORD PASS\r\n"},
        {Data2Damaged, "!DVO RECORD ERROR\r\n"},
        {Data2, "!DVO RECORD PASS\r\n"},
        {End, ""},
        {End, "!DVO RECORD PASS\r\n!DVO RECORD ERROR\r\n"},
    };
    for (const auto& step : steps)
        EXPECT_EQ(sim.record(step.line, step.reply, *step.reply ? ReplyLimitMs : 200), step.reply);
    EXPECT_EQ(sim.exchange("!DVO FWID \n", "\r\n"), "!DVO FWID SIM KORVA MAP V2.0.0\r\n");
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(readFile(image), Header + "\n" + Data1 + "\n" + Data2 + "\n" + End + "\n");
}

TEST(Sim, RepliesInEveryStyleCarryTheSameWords) {
    const struct {
        const char* option;
        const char* command;
        const char* reply;
    } cases[] = {
        {"--lowercase", "!DVO FWID \n", "!dvo fwid sim korva map v1.0.0\r\n"},
        {"--quoted", "!DVO FWID \n", "!DVO FWID \"SIM\" \"KORVA\" \"MAP\" \"V1.0.0\"\r\n"},
        {"--split", "!DVO PING \n", "!DVO PONG\r\n"},
    };
    for (const auto& c : cases) {
        Sim sim({c.option});
        if (!sim.ready()) {
            ADD_FAILURE() << c.option << ": the simulator named no port";
            continue;
        }
        EXPECT_EQ(sim.exchange(c.command, "\r\n"), c.reply) << c.option;
    }
}

TEST(Sim, NoiseAndDuplicatesOnlySurroundWholeReplies) {
    Sim sim({"--noise", "--duplicate", "--seed", "7"});
    ASSERT_TRUE(sim.ready());
    std::string all;
    for (int i = 0; i < 20; ++i)
        all += sim.exchange("!DVO PING \n", "!DVO PONG\r\n");
    all += sim.receive("", 100);
    size_t pongs = 0;
    std::string rest;
    for (size_t at = 0, next = 0; (next = all.find("!DVO PONG\r\n", at)) != std::string::npos;
         at = next + 11, ++pongs)
        rest += all.substr(at, next - at);
    EXPECT_GT(pongs, 20u);                            // some came twice
    EXPECT_GT(rest.size(), 0u);                       // noise came
    EXPECT_EQ(rest.find("!DVO "), std::string::npos); // and never looked like our reply
}

TEST(Sim, FloodsOtherRepliesInsteadOfAnsweringARecord) {
    Sim sim({"--mode", "boot", "--flood-on", "1"});
    ASSERT_TRUE(sim.ready());
    std::istringstream lines(sim.record(Header, "", 200));
    const std::string expected[] = {"!DVO PONG", "!DVO REBOOT OK",
                                    "!DVO FWID SIM KORVA BSL BSL-0.9"};
    size_t count = 0;
    for (std::string line; std::getline(lines, line, '\n'); ++count)
        EXPECT_EQ(line, expected[count % 3] + "\r");
    EXPECT_GT(count, 20u); // a line every few milliseconds
    EXPECT_EQ(sim.stop(), 0);
}

// Each phase's last command closes the line, and not an earlier one of the same name.
TEST(Sim, VanishesInEachPhaseAndTellsWhen) {
    const struct {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> exchanges; // the last one gets no reply
    } cases[] = {
        {{"--vanish-in", "connect"}, {{Ping, ""}}},
        {{"--vanish-in", "identify"}, {{Ping, Pong}, {Fwid, ""}}},
        {{"--vanish-in", "bootwait", "--reboot-ms", "0"},
         {{Fwid, "!DVO FWID SIM KORVA MAP V1.0.0\r\n"},
          {"!DVO UPDATE KORVA ARM\n", "!DVO UPDATE OK\r\n"},
          {Fwid, ""}}},
        {{"--mode", "boot", "--vanish-in", "transfer"},
         {{recordCommand(Header), Pass}, {recordCommand(Data1), ""}}},
        {{"--mode", "boot", "--vanish-after", "2"},
         {{recordCommand(Header), Pass}, {recordCommand(Data1), Pass}, {recordCommand(Data2), ""}}},
        {{"--mode", "boot", "--vanish-in", "appwait", "--reboot-ms", "0"},
         {{Ping, Pong}, {recordCommand(Header), Pass}, {recordCommand(End), Pass}, {Ping, ""}}},
    };
    const std::string messages = tempPath("messages");
    for (const auto& c : cases) {
        Sim sim(c.args, messages);
        if (!sim.ready()) {
            ADD_FAILURE() << c.args[1] << ": the simulator named no port";
            continue;
        }
        uint64_t lastSentNs = 0;
        for (const auto& [command, reply] : c.exchanges) {
            lastSentNs = monotonicNs();
            EXPECT_EQ(sim.exchange(command, reply), reply) << c.args[1] << ": " << command;
        }
        EXPECT_EQ(sim.waitExit(), 0) << c.args[1];
        unsigned long long closedNs = 0;
        EXPECT_EQ(std::sscanf(readFile(messages).c_str(),
                              "uartflash-sim: line closed at monotonic ns %llu", &closedNs),
                  1)
            << c.args[1];
        EXPECT_GT(closedNs, lastSentNs) << c.args[1];
        EXPECT_LT(closedNs, monotonicNs()) << c.args[1];
    }
}

// Each reboot silent for its own time, an erase that answers late and in order, a boot ROM's
// noise at each start, a reboot that never ends; units placed on a fixture whose port stays open
// and taken away again, each a fresh product with its own image file.
TEST(Sim, RebootsErasesStartsAndComesAndGoesLikeAProduct) {
    const std::string Update = "!DVO UPDATE KORVA ARM\n";
    const std::string UpdateOk = "!DVO UPDATE OK\r\n";
    const std::string AppFwid = "!DVO FWID SIM KORVA MAP V1.0.0\r\n";
    const std::string BootFwid = "!DVO FWID SIM KORVA BSL BSL-0.9\r\n";
    const std::string control = tempPath("control");
    const std::string image = tempPath("units");
    const std::string count = tempPath("unit_bytes");
    const std::string messages = tempPath("fixture_messages");
    struct Step {
        int sleepMs;
        std::string command;
        std::string reply;        // "": nothing within 150 ms
        bool noise = false;       // the reply ends a start's noise
        std::string control = {}; // written to the control file before the command
    };
    const struct {
        std::vector<std::string> args;
        std::vector<Step> steps;
        // Contents once the last step is answered: a unit's image is whole when it is taken away.
        std::vector<std::pair<std::string, std::string>> files = {};
        std::string receivedBytes = {}; // the count written at the stop
        std::vector<std::string> logged = {};
    } cases[] = {
        {{"--boot-reboot-ms", "400", "--erase-ms", "400", "--app-reboot-ms", "200"},
         {{0, Update, UpdateOk},
          {0, Fwid, ""},
          {350, Fwid, ""},            // after the reboot, in the erase: read, not answered yet
          {0, Ping, BootFwid + Pong}, // the erase ends: the answers come, in order
          {0, recordCommand(End), Pass},
          {0, Ping, ""},
          {100, Fwid, "!DVO FWID SIM KORVA MAP V1.0.1\r\n"}}},
        {{"--reboot-ms", "100", "--start-noise", "--seed", "3"},
         {{0, Update, UpdateOk},
          {0, "", "SIM boot ROM 2.1: starting BSL-0.9\r\n", true},
          {0, Fwid, BootFwid}}},
        {{"--reboot-ms", "0", "--never-back", "boot"}, {{0, Update, UpdateOk}, {200, Fwid, ""}}},
        {{"--mode", "boot", "--reboot-ms", "0", "--never-back", "app"},
         {{0, recordCommand(End), Pass}, {200, Ping, ""}}},
        {{"--control", control, "--boot-reboot-ms", "0", "--app-reboot-ms", "5000", "--image",
          image, "--received-bytes", count, "--verbose"},
         {{0, Ping, ""}, // the fixture starts empty
          {0, Ping, Pong, false, "place"},
          {0, Update, UpdateOk},
          {0, recordCommand(Header), Pass},
          {0, recordCommand(End), Pass},
          {0, Ping, "", false, "remove"},     // gone while rebooting, and the port still open:
          {0, Fwid, AppFwid, false, "place"}, // a fresh unit, not the updated one, answers
          {0, Update, UpdateOk},
          {0, recordCommand(Data1), Pass},
          {0, Fwid, "!DVO FWID SIM OTHER MAP V1.0.0\r\n", false, "place OTHER"},
          {0, Ping, Pong}},
         {{image + ".1", Header + "\n" + End + "\n"}, {image + ".2", Data1 + "\n"}},
         "204\n", // every byte but the two PINGs to the empty fixture reached a unit
         {"sim: unit 1 placed (KORVA, application)\n", "sim: unit 1 removed\n",
          "sim: unit 2 removed\nsim: unit 3 placed (OTHER, application)\n"}},
        {{"--control", control, "--present", "--mode", "boot", "--start-noise", "--seed", "3"},
         {{0, Fwid, BootFwid}, // there from the start, without the boot ROM's noise
          {0, "", "SIM boot ROM 2.1: starting BSL-0.9\r\n", true, "place"},
          {0, Fwid, BootFwid}}},
        {{"--absent-until", "500"}, {{0, Ping, ""}, {500, Ping, Pong}}},
        {{"--leave-after", "200", "--reboot-ms", "0"},
         {{0, Fwid, AppFwid},
          {250, Ping, Pong}, // the application it came with keeps it on the fixture
          {0, Update, UpdateOk},
          {0, recordCommand(End), Pass},
          {0, Fwid, "!DVO FWID SIM KORVA MAP V1.0.1\r\n"},
          {0, Ping, Pong},
          {250, Ping, ""}}},
        {{"--other-boot-loader", "OTHERX", "--reboot-ms", "0"},
         {{0, Fwid, "!DVO FWID SIM KORVA MAP V1.0.0\r\n"},
          {0, Update, "!DVO UPDATE OK\r\n"},
          {0, Fwid, "!DVO FWID OTHER OTHERX BSL BSL-3.2\r\n"},
          {0, recordCommand(End), "!DVO RECORD ERROR\r\n"}}},
        {{"--other-boot-loader", "error", "--reboot-ms", "0"},
         {{0, Update, "!DVO UPDATE OK\r\n"}, {0, Fwid, "!DVO FWID ERROR\r\n"}}},
    };
    for (const auto& c : cases) {
        const std::string name = c.args[0] + " " + c.args[1];
        Sim sim(c.args, messages);
        ASSERT_TRUE(sim.ready()) << name;
        for (const Step& step : c.steps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.sleepMs));
            if (!step.control.empty())
                sim.control(step.control);
            sim.send(step.command);
            const std::string got =
                sim.receive(step.reply, step.reply.empty() ? 150 : ReplyLimitMs);
            const std::string where = name + ": " + step.control + " " + step.command;
            if (!step.noise) {
                EXPECT_EQ(got, step.reply) << where;
                continue;
            }
            EXPECT_TRUE(got.ends_with(step.reply)) << where;
            EXPECT_NE(got.find('\0'), std::string::npos) << where;
            EXPECT_EQ(got.find('!'), std::string::npos) << where;
        }
        for (const auto& [path, contents] : c.files)
            EXPECT_EQ(readFile(path), contents) << name << ": " << path;
        EXPECT_EQ(sim.stop(), 0) << name;
        if (!c.receivedBytes.empty()) {
            EXPECT_EQ(readFile(count), c.receivedBytes) << name;
        }
        const std::string log = readFile(messages);
        for (const std::string& text : c.logged)
            EXPECT_NE(log.find(text), std::string::npos) << name << ": " << text;
    }
}

TEST(Sim, NeverAnswersWhenToldSo) {
    Sim sim({"--never-answer"});
    ASSERT_TRUE(sim.ready());
    sim.send("!DVO PING \n");
    EXPECT_EQ(sim.receive("", 200), "");
    EXPECT_EQ(sim.stop(), 0);
}

TEST(Sim, ExitsWhenTheOtherSideClosesAfterTalking) {
    Sim sim({"--exit-after-done"});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(sim.exchange("!DVO PING \n", "\r\n"), "!DVO PONG\r\n");
    sim.hangUp();
    EXPECT_EQ(sim.waitExit(), 0);
}

TEST(Sim, PacesBothDirectionsAtTheLineRateTracesItAndCountsWhatItReceived) {
    const std::string trace = tempPath("trace");
    const std::string count = tempPath("count");
    Sim sim({"--baud", "9600", "--trace", trace, "--received-bytes", count});
    ASSERT_TRUE(sim.ready());
    EXPECT_EQ(sim.exchange("!DVO PING \n", "\r\n"), "!DVO PONG\r\n");
    EXPECT_EQ(sim.stop(), 0);
    std::istringstream line(readFile(trace));
    std::string name;
    unsigned sequence = 0;
    unsigned long long firstByteNs = 0, replyEndNs = 0;
    ASSERT_TRUE(line >> name >> sequence >> firstByteNs >> replyEndNs);
    EXPECT_EQ(name, "PING");
    EXPECT_EQ(sequence, 1u);
    // 11 bytes in and 11 out at 10 bits a byte cannot take less than 22 byte times.
    EXPECT_GE(replyEndNs - firstByteNs, 22ull * 10'000'000'000ull / 9600);
    EXPECT_EQ(readFile(count), "11\n");
}

} // namespace
