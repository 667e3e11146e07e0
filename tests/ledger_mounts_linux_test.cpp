// Ledgers on file systems that refuse the line: a read-only mount and a full disk. Root ignores
// file permissions, so these take mounts, made in a mount namespace of the test's own so that the
// machine's mounts are never touched; where mounting is not allowed the cases are skipped.
#include "ledger/ledger.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Empty when this process may mount; otherwise why not.
std::string privateMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        return std::string("unshare: ") + std::strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making / private: ") + std::strerror(errno);
    }
    return {};
}

#define SKIP_WITHOUT_MOUNTS()                                                                      \
    if (const std::string why = privateMounts(); !why.empty())                                     \
    GTEST_SKIP() << "mounting is not allowed here (" << why << "); needs root with CAP_SYS_ADMIN"

struct MountPoint {
    fs::path path =
        fs::temp_directory_path() / ("uartflash_ledger_mount_" + std::to_string(getpid()));
    MountPoint() { fs::create_directories(path); }
    ~MountPoint() {
        umount2(path.c_str(), MNT_DETACH);
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

LedgerEntry unit(size_t textLength) {
    LedgerEntry entry;
    entry.port = "/dev/ttyUSB0";
    entry.after = LedgerAnswer{"application", std::string(textLength, 'v')};
    entry.ok = true;
    entry.reason = "done";
    return entry;
}

TEST(LedgerMounts, ReadOnlyLedgerIsRefusedAtOpen) {
    SKIP_WITHOUT_MOUNTS();
    for (const bool exists : {true, false}) {
        MountPoint folder;
        const fs::path ledger = folder.path / "units.jsonl";
        if (exists) {
            std::ofstream(ledger) << "earlier\n";
        }
        const bool readOnly =
            mount(folder.path.c_str(), folder.path.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
            mount(nullptr, folder.path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                  nullptr) == 0;
        EXPECT_TRUE(readOnly) << std::strerror(errno);
        if (!readOnly) {
            continue;
        }
        const Ledger::Outcome outcome = Ledger::open(ledger.string());
        EXPECT_EQ(outcome.status, Ledger::Status::CannotOpen) << exists;
        EXPECT_EQ(outcome.error, EROFS) << exists;
        EXPECT_EQ(Ledger::describe(outcome),
                  "cannot append to the ledger " + ledger.string() + ": Read-only file system");
        EXPECT_EQ(umount2(folder.path.c_str(), 0), 0) << std::strerror(errno);
        EXPECT_EQ(contents(ledger), exists ? "earlier\n" : "") << exists;
    }
}

// Fills the file system with one file; returns its path.
fs::path fill(const fs::path& folder) {
    const fs::path filler = folder / "filler";
    const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string block(4096, 'f');
    while (fd >= 0 && write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
    return filler;
}

// A line that fits only partly is cut off again, so the next line does not run on from it, and
// the ledger takes lines again once there is room.
TEST(LedgerMounts, FullDiskFailsTheAppendAndLeavesNoPartOfTheLine) {
    SKIP_WITHOUT_MOUNTS();
    MountPoint disk;
    ASSERT_EQ(mount("tmpfs", disk.path.c_str(), "tmpfs", 0, "size=16k"), 0) << std::strerror(errno);
    const fs::path ledger = disk.path / "units.jsonl";
    ASSERT_EQ(Ledger::open(ledger.string()).status, Ledger::Status::Ok);
    EXPECT_EQ(Ledger::append(unit(10)).status, Ledger::Status::Ok);
    const fs::path filler = fill(disk.path);
    const Ledger::Outcome outcome = Ledger::append(unit(6000));
    EXPECT_EQ(outcome.status, Ledger::Status::WriteFailed);
    EXPECT_EQ(outcome.error, ENOSPC);
    EXPECT_EQ(Ledger::describe(outcome),
              "cannot write to the ledger " + ledger.string() + ": No space left on device");
    EXPECT_EQ(contents(ledger), Ledger::line(unit(10)) + "\n");
    fs::remove(filler);
    EXPECT_EQ(Ledger::append(unit(6000)).status, Ledger::Status::Ok);
    EXPECT_EQ(contents(ledger), Ledger::line(unit(10)) + "\n" + Ledger::line(unit(6000)) + "\n");
    Ledger::close();
    EXPECT_EQ(umount2(disk.path.c_str(), 0), 0) << std::strerror(errno);
}

} // namespace
