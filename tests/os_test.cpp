// The os services' contract as the serial module and the reply reader rely on it.
#include "os/file_write.h"
#include "os/host_name.h"
#include "os/os.h"
#include "os/process.h"
#include "os/sha256.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

struct Events {
    Os::EventHandle first = Os::createEvent(Os::EventReset::Manual);
    Os::EventHandle second = Os::createEvent(Os::EventReset::Auto);
    ~Events() {
        Os::closeEvent(first);
        Os::closeEvent(second);
    }
};

// first is manual-reset, second auto-reset.
TEST(Os, WaitFirstOfPrefersTheFirstAndConsumesOnlyAutoReset) {
    Events e;
    ASSERT_NE(e.first, nullptr);
    ASSERT_NE(e.second, nullptr);
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 10), Os::WaitResult::Timeout);
    Os::setEvent(e.second);
    Os::setEvent(e.second); // several sets, one wake-up
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 0), Os::WaitResult::Second);
    EXPECT_FALSE(Os::waitEvent(e.second, 0)); // consumed
    Os::setEvent(e.second);
    Os::setEvent(e.first);
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 0), Os::WaitResult::First);
    EXPECT_TRUE(Os::waitEvent(e.first, 0)); // manual-reset stays set
    Os::resetEvent(e.first);
    EXPECT_EQ(Os::waitFirstOf(e.first, e.second, 0), Os::WaitResult::Second); // left untouched
}

std::atomic<Os::EventHandle> wakeTarget{nullptr};
Os::Lock counterLock;
uint32_t counter = 0; // guarded by counterLock
std::atomic<int> countersDone{0};

unsigned wakeAfterSleep() {
    Os::sleepMs(20);
    Os::setEvent(wakeTarget.load());
    return 0;
}

unsigned countUnderLock() {
    for (int i = 0; i < 100000; ++i) {
        Os::enterLock(counterLock);
        ++counter;
        Os::leaveLock(counterLock);
    }
    countersDone.fetch_add(1, std::memory_order_release);
    return 0;
}

TEST(Os, ThreadWakesAWaiterAndTimeAdvances) {
    Events e;
    wakeTarget.store(e.second);
    const uint32_t started = Os::tickCount();
    uint32_t id = 0;
    Os::ThreadHandle thread = Os::startThread(wakeAfterSleep, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_TRUE(Os::waitEvent(e.second, 5000)); // hang guard
    EXPECT_GE(Os::tickCount() - started, 19u);
    Os::closeThread(thread);
}

TEST(Os, LockExcludes) {
    Os::initLock(counterLock);
    Os::ThreadHandle one = Os::startThread(countUnderLock, nullptr);
    Os::ThreadHandle two = Os::startThread(countUnderLock, nullptr);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    const uint32_t started = Os::tickCount();
    while (countersDone.load(std::memory_order_acquire) < 2 && Os::tickCount() - started < 20000) {
        Os::sleepMs(1);
    }
    Os::closeThread(one);
    Os::closeThread(two);
    Os::enterLock(counterLock);
    EXPECT_EQ(counter, 200000u);
    Os::leaveLock(counterLock);
    Os::deleteLock(counterLock);
}

struct HashCase {
    const char* name;
    std::string bytes;
    const char* hex;
};

// FIPS 180-2's examples and the empty input.
TEST(Os, Sha256MatchesKnownDigests) {
    const HashCase cases[] = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million a", std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const HashCase& c : cases) {
        std::string hex = "stale";
        EXPECT_TRUE(Os::sha256Hex(c.bytes.data(), c.bytes.size(), hex)) << c.name;
        EXPECT_EQ(hex, c.hex) << c.name;
    }
}

#ifndef _WIN32
// Every byte value, line ends and Ctrl-Z included: the digest of exactly the bytes, as people
// check it with sha256sum.
TEST(Os, Sha256AgreesWithSha256sum) {
    std::string bytes;
    for (int i = 0; i < 70001; ++i) {
        bytes += static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    const auto path = std::filesystem::temp_directory_path() /
                      ("uartflash_sha256_" + std::to_string(getpid()) + ".bin");
    std::ofstream(path, std::ios::binary) << bytes;
    std::FILE* pipe = popen(("sha256sum " + path.string()).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char printed[65] = {};
    EXPECT_EQ(std::fread(printed, 1, 64, pipe), 64u);
    pclose(pipe);
    std::filesystem::remove(path);
    std::string hex;
    EXPECT_TRUE(Os::sha256Hex(bytes.data(), bytes.size(), hex));
    EXPECT_EQ(hex, printed);
}

TEST(Os, HostNameIsWhatUnameSays) {
    std::FILE* pipe = popen("uname -n", "r");
    ASSERT_NE(pipe, nullptr);
    char printed[256] = {};
    EXPECT_NE(std::fgets(printed, sizeof printed, pipe), nullptr);
    pclose(pipe);
    EXPECT_EQ(Os::hostName() + "\n", printed);
}
#endif

// An argument quoted for the platform's shell reads back as itself: sh on POSIX; cmd.exe and the
// C runtime's argv rules on Windows (backslashes doubled only before a quote).
TEST(Os, ArgumentsAreQuotedForTheShell) {
    const struct {
        const char* argument;
        const char* quoted;
    } cases[] = {
#ifdef _WIN32
        {"COM5,COM7", "COM5,COM7"},       {"C:\\fw\\korva.srec", "C:\\fw\\korva.srec"},
        {"my fw.srec", "\"my fw.srec\""}, {"", "\"\""},
        {"a\"b", "\"a\\\"b\""},           {"C:\\my dir\\", "\"C:\\my dir\\\\\""},
        {"a&b|c", "\"a&b|c\""},           {"100%", "\"100%\""},
#else
        {"/dev/ttyUSB0,SN=0001A2B3", "/dev/ttyUSB0,SN=0001A2B3"},
        {"fw.srec", "fw.srec"},
        {"my fw.srec", "'my fw.srec'"},
        {"", "''"},
        {"it's", "'it'\\''s'"},
        {"$(rm -rf ~)", "'$(rm -rf ~)'"},
        {"a;b", "'a;b'"},
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Os::quoteArgument(c.argument), c.quoted) << c.argument;
    }
}

// A replacement lands whole or not at all, and leaves no file of its own behind; a folder at the
// path is never replaced.
TEST(Os, ReplacedFileIsWholeOrUntouched) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() /
        ("uartflash_replace_" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::remove_all(dir);
    fs::create_directories(dir / "folder");
    std::ofstream(dir / "old.html") << "old";
    const struct {
        fs::path path;
        bool written;
        bool error; // an OS error code comes with the refusal
    } cases[] = {
        {dir / "new.html", true, false},
        {dir / "old.html", true, false},
        {dir / "folder", false, false},
        {dir / "missing" / "r.html", false, true},
    };
    for (const auto& c : cases) {
        int error = -1;
        EXPECT_EQ(Os::replaceWholeFile(c.path.string().c_str(), "<p>", 3, error), c.written)
            << c.path;
        EXPECT_EQ(error != 0, c.error) << c.path;
        std::string text;
        if (fs::is_regular_file(c.path)) {
            std::ifstream file(c.path, std::ios::binary);
            text.assign(std::istreambuf_iterator<char>(file), {});
        }
        EXPECT_EQ(text == "<p>", c.written) << c.path;
    }
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    size_t files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 2u); // new.html and old.html, no new file left beside them
    fs::remove_all(dir);
}

} // namespace
