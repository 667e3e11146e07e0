// The process's one ledger file: opened before any port is touched, appended to after each update.
#include "ledger/ledger.h"

#include "os/append_file.h"
#include "os/error_text.h"

#include <mutex>

namespace Ledger {

namespace {

struct State {
    std::mutex lock; // the handle takes one append at a time; a watch may finish units together
    std::string path;
    Os::AppendFileHandle file = nullptr;
};

State& state() {
    static State ledger;
    return ledger;
}

Status statusOf(Os::AppendStatus status) {
    switch (status) {
    case Os::AppendStatus::Ok:
        return Status::Ok;
    case Os::AppendStatus::LockFailed:
        return Status::LockFailed;
    case Os::AppendStatus::WriteFailed:
        return Status::WriteFailed;
    case Os::AppendStatus::SyncFailed:
        return Status::SyncFailed;
    }
    return Status::WriteFailed;
}

} // namespace

Outcome open(const std::string& path) {
    State& ledger = state();
    std::lock_guard<std::mutex> guard(ledger.lock);
    Os::closeAppendFile(ledger.file);
    ledger.file = nullptr;
    ledger.path = path;
    int error = 0;
    switch (Os::openAppendFile(path.c_str(), ledger.file, error)) {
    case Os::AppendOpenResult::Ok:
        return {Status::Ok, 0};
    case Os::AppendOpenResult::NotAFile:
        return {Status::NotAFile, 0};
    case Os::AppendOpenResult::Failed:
        break;
    }
    return {Status::CannotOpen, error};
}

Outcome append(const LedgerEntry& entry) {
    std::string text = line(entry);
    text += '\n';
    State& ledger = state();
    std::lock_guard<std::mutex> guard(ledger.lock);
    if (ledger.file == nullptr) {
        return {Status::NotOpen, 0};
    }
    const Os::AppendResult result = Os::appendLine(ledger.file, text);
    return {statusOf(result.status), result.error, result.reopened};
}

void close() {
    State& ledger = state();
    std::lock_guard<std::mutex> guard(ledger.lock);
    Os::closeAppendFile(ledger.file);
    ledger.file = nullptr;
}

namespace {

std::string openPath() {
    State& ledger = state();
    std::lock_guard<std::mutex> guard(ledger.lock);
    return ledger.path;
}

} // namespace

std::string replacedNotice() {
    return "the ledger " + openPath() +
           " was deleted or replaced during the run; the lines from now on go to a new file at "
           "that path";
}

std::string describe(Outcome outcome) {
    const std::string path = openPath();
    const std::string reason = outcome.error != 0 ? ": " + Os::errorText(outcome.error) : "";
    switch (outcome.status) {
    case Status::Ok:
        return {};
    case Status::CannotOpen:
        return "cannot append to the ledger " + path + reason;
    case Status::NotAFile:
        return "cannot append to the ledger " + path + ": not a regular file";
    case Status::NotOpen:
        return "the ledger is not open";
    case Status::LockFailed:
        return "cannot lock the ledger " + path + reason;
    case Status::WriteFailed:
        return "cannot write to the ledger " + path + reason;
    case Status::SyncFailed:
        return "cannot flush the ledger " + path + " to the disk" + reason;
    }
    return {};
}

} // namespace Ledger
