#include "report/json_report.h"

#include "os/console.h"
#include "report/entry_report.h"
#include "report/json_text.h"
#include "serial/serial_port.h"
#include "session/firmware_image.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <mutex>

namespace JsonReport {

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr double BitsPerByte = 10.0; // start, 8 data bits, stop

struct Run {
    std::FILE* out = nullptr;
    std::mutex lock; // events come from the main thread and the reply reader's
    Clock::time_point began;
    EndReason reason = EndReason::Usage;
    uint32_t baud = 0;
    uint32_t lastPercent = 101;
    uint32_t lastLine = 0;
    uint32_t recordsSent = 0;
    uint32_t resends = 0;
    Clock::time_point transferBegan;
    double transferSeconds = 0;
    uint64_t transferBytes = 0;
    bool inTransfer = false;
    Json repeats = Json::array(); // the answers of the wait in hand that came again
};

Run run;

double secondsSince(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

uint64_t bytesOnTheLine() {
    return SerialPort::bytesWritten() + SerialPort::bytesReceived();
}

// One line: the event, its time, then the fields. Invalid UTF-8 in a product's text is replaced
// rather than thrown over.
void emit(const char* event, const Json& fields) {
    Json line = {{"event", event}, {"t", rounded(secondsSince(run.began))}};
    for (const auto& [key, value] : fields.items()) {
        line[key] = value;
    }
    const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::lock_guard<std::mutex> guard(run.lock);
    std::fprintf(run.out, "%s\n", text.c_str());
    std::fflush(run.out);
}

const Reporter& console() {
    return ConsoleReporter;
}

void onPortOpened(const char* name) {
    ConsoleEntryReporter.portOpened(name);
    emit("port", {{"name", name}});
}

void endTransfer() {
    if (run.inTransfer) {
        run.inTransfer = false;
        run.transferSeconds = secondsSince(run.transferBegan);
        run.transferBytes = bytesOnTheLine() - run.transferBytes;
    }
}

void onPhase(ReportPhase phase) {
    console().phase(phase);
    if (phase == ReportPhase::Transfer) {
        run.inTransfer = true;
        run.transferBegan = Clock::now();
        run.transferBytes = bytesOnTheLine();
    } else if (phase == ReportPhase::AwaitApplication) {
        endTransfer();
    }
    emit("phase", {{"name", phaseWord(phase)}});
}

void onFirmwareIdentity(const char* productId, FirmwareIdentity identity, const char* version) {
    console().firmwareIdentity(productId, identity, version);
    const bool application = identity == FirmwareIdentity::Application;
    emit("device", {{"product", productId},
                    {"mode", application ? "application" : "boot_loader"},
                    {"version", version}});
}

void onProgress(uint32_t line, uint32_t lines) {
    console().progress(line, lines);
    const uint32_t percent = lines == 0 ? 100 : static_cast<uint32_t>(uint64_t{line} * 100 / lines);
    run.recordsSent += line != run.lastLine ? 1 : 0;
    run.lastLine = line;
    if (percent == run.lastPercent && line != lines) {
        return;
    }
    run.lastPercent = percent;
    emit("progress", {{"record", line}, {"of", lines}, {"percent", percent}});
}

void onResend(uint32_t line, bool busy) {
    console().resend(line, busy);
    ++run.resends;
    emit("resend", {{"record", line}, {"reason", busy ? "BUSY" : "FAIL"}});
}

void onReplyReport(const char* command, const char* statusText) {
    console().replyReport(command, statusText);
    std::string text = statusText;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    emit("reply_report", {{"command", command}, {"status", text}});
}

void onStopped(EndReason reason) {
    ConsoleEntryReporter.stopped(reason);
    run.reason = reason;
}

void onSessionFailed(const SessionFailure& failure) {
    console().sessionFailed(failure);
    endTransfer();
    run.reason = failure.reason;
}

void onDone() {
    console().done();
    run.reason = EndReason::Done;
}

// An answer the poll showed once, however often it came: told in the wait's event.
void onAnswerRepeated(AnswerKind kind, const char* command, uint32_t times) {
    console().answerRepeated(kind, command, times);
    run.repeats.push_back({{"answer", answerWord(kind)}, {"command", command}, {"times", times}});
}

// Each wait for a reboot, however it ended: how long the product kept the tool waiting, and
// the answers that came again ("repeats", only when some did).
void onWaitEnded(ReportPhase phase, WaitMode mode, uint32_t waitedMs, bool answered) {
    console().waitEnded(phase, mode, waitedMs, answered);
    Json fields = {{"phase", phaseWord(phase)},
                   {"mode", waitModeWord(mode)},
                   {"waited_ms", waitedMs},
                   {"answered", answered}};
    if (!run.repeats.empty()) {
        fields["repeats"] = run.repeats;
        run.repeats = Json::array();
    }
    emit("wait", fields);
}

// The console's texts (on standard error by now) with the events added.
Reporter withEvents() {
    const Reporter& console = ConsoleReporter;
    return {
        .fileUnreadable = console.fileUnreadable,
        .imageProblems = console.imageProblems,
        .imageEmpty = console.imageEmpty,
        .imageMissing = console.imageMissing,
        .uploadHeading = console.uploadHeading,
        .transferEnded = console.transferEnded,
        .phase = onPhase,
        .replyTimeout = console.replyTimeout,
        .tryingAgain = console.tryingAgain,
        .rebootNeeded = console.rebootNeeded,
        .startingUpload = console.startingUpload,
        .waitingForApplication = console.waitingForApplication,
        .progress = onProgress,
        .resend = onResend,
        .sessionFailed = onSessionFailed,
        .advice = console.advice,
        .done = onDone,
        .firmwareIdentity = onFirmwareIdentity,
        .otherProduct = console.otherProduct,
        .replyReport = onReplyReport,
        .spellingHint = console.spellingHint,
        .rebooting = console.rebooting,
        .unknownReply = console.unknownReply,
        .waitStarted = console.waitStarted,
        .waitSecond = console.waitSecond,
        .answerRepeated = onAnswerRepeated,
        .waitEnded = onWaitEnded,
    };
}

EntryReporter entryWithEvents() {
    const EntryReporter& console = ConsoleEntryReporter;
    return {
        .banner = console.banner,
        .usage = console.usage,
        .validUse = console.validUse,
        .unknownDevice = console.unknownDevice,
        .productIdTooLong = console.productIdTooLong,
        .imageNotReleased = console.imageNotReleased,
        .ledgerRefused = console.ledgerRefused,
        .ledgerNotWritten = console.ledgerNotWritten,
        .ledgerReplaced = console.ledgerReplaced,
        .portList = console.portList,
        .portPrompt = console.portPrompt,
        .noPort = console.noPort,
        .portNotOpened = console.portNotOpened,
        .portHeld = console.portHeld,
        .portRefused = console.portRefused,
        .portOpenAborted = console.portOpenAborted,
        .portOpened = onPortOpened,
        .deviceNotSupported = console.deviceNotSupported,
        .stopped = onStopped,
    };
}

Reporter jsonReporter;
EntryReporter jsonEntryReporter;

} // namespace

double rounded(double seconds) {
    return static_cast<double>(static_cast<int64_t>(seconds * 1000.0 + 0.5)) / 1000.0;
}

std::FILE* takeOutput(unsigned closedStreams) {
    if ((closedStreams & Os::StandardOutput) != 0) {
        std::fprintf(stderr, "ERROR: standard output is closed: --json has nowhere to write its "
                             "events\n");
        return nullptr;
    }
    std::FILE* out = Os::takeStandardOutput();
    if (out == nullptr) {
        std::fprintf(stderr, "ERROR: standard output cannot be set apart for JSON\n");
    }
    return out;
}

void begin(std::FILE* out) {
    run.out = out;
    run.began = Clock::now();
    jsonReporter = withEvents();
    jsonEntryReporter = entryWithEvents();
    Report::use(&jsonReporter);
    EntryReport::use(&jsonEntryReporter);
}

void start(const char* portArgument, uint32_t baud, const char* product, const char* device,
           const char* file, bool imageAccepted, const char* unit) {
    run.baud = SerialPort::lineRate(baud);
    const ImageCheck::Summary& summary = FirmwareImage::report().summary;
    Json fields = {{"version", UARTFLASH_VERSION}, {"port", portArgument}, {"baud", baud},
                   {"product", product},           {"device", device},     {"file", file}};
    if (unit != nullptr) {
        fields["unit"] = *unit != '\0' ? Json(unit) : Json(nullptr);
    }
    fields["records"] = imageAccepted ? Json(summary.sentLines) : Json(nullptr);
    fields["data_bytes"] = imageAccepted ? Json(summary.dataBytes) : Json(nullptr);
    if (imageAccepted) {
        const FirmwareImage::Origin origin = FirmwareImage::origin();
        fields["format"] = ImageFormat::word(origin.format);
        fields["sha256"] = origin.sha256;
        fields["sent_sha256"] = FirmwareImage::sentSha256();
    }
    emit("start", fields);
}

void finish(ExitStatus exitStatus, const std::optional<std::string>& ledgerProblem) {
    Report::use(nullptr);
    EntryReport::use(nullptr);
    endTransfer();
    const double wireSeconds = static_cast<double>(run.transferBytes) * BitsPerByte / run.baud;
    const bool transferred = run.transferSeconds > 0 && wireSeconds > 0;
    Json result = {{"ok", exitStatus == ExitStatus::ExitDone},
                   {"exit_status", exitCode(exitStatus)},
                   {"reason", reasonWord(run.reason)},
                   {"records_sent", run.recordsSent},
                   {"resends", run.resends},
                   {"seconds", rounded(secondsSince(run.began))},
                   {"transfer_seconds", rounded(run.transferSeconds)},
                   {"wire_ratio", transferred ? Json(rounded(run.transferSeconds / wireSeconds))
                                              : Json(nullptr)}};
    if (ledgerProblem) {
        result["ledger"] = JsonText::orNull(*ledgerProblem);
    }
    emit("result", result);
}

} // namespace JsonReport
