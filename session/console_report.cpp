// The tool's own texts, as the console shows them: each message carries its line ends, the
// progress line ends in "\r" alone so it overwrites itself, and a few end without any.
#include "protocol/wire_format.h"
#include "session/firmware_image.h"
#include "session/report.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char* const ReplyTimeoutText = "\r\n****Reply Timeout****\r\n";
const char* const DeviceNotRespondingText = "ERROR: Device not responding!\r\n";
const char* const CommunicationErrorText = "Communication Error!\r\n";
const char* const NoContactText = "Error: Could not establish communication\r\n"
                                  "\t-Ensure USB cable is connected to device\r\n"
                                  "\t-Ensure device is powered ON\r\n";

void printTimeOfDay(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    const std::tm* parts = std::localtime(&now);
    if (parts != nullptr) {
        local = *parts;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    std::printf(format, text);
}

void fileUnreadable(const char* path, Os::FileReadResult result) {
    switch (result) {
    case Os::FileReadResult::Ok:
    case Os::FileReadResult::Unreadable:
        std::printf("Error: Could not open [%s]\n", path);
        break;
    case Os::FileReadResult::NotAFile:
        std::printf("Error: [%s] is a directory or a device, not a firmware file\n", path);
        break;
    case Os::FileReadResult::TooLarge:
        std::printf("Error: [%s] is larger than %u MiB, too large for a firmware image\n", path,
                    static_cast<unsigned>(FirmwareImage::MaxImageBytes >> 20));
        break;
    case Os::FileReadResult::NoData:
        std::printf("Error: Nothing came through [%s] within %u s (a pipe nobody writes to?)\n",
                    path, static_cast<unsigned>(Os::PipeSilenceLimitMs / 1000));
        break;
    }
}

void imageProblems(const char* path, const ImageCheck::Report& report) {
    const uint32_t shown = report.problemCount < ImageCheck::ReportedProblems
                               ? report.problemCount
                               : static_cast<uint32_t>(ImageCheck::ReportedProblems);
    for (uint32_t i = 0; i < shown; ++i) {
        const ImageCheck::Finding& finding = report.findings[i];
        char what[320]; // an ELF overlap names two sections
        ImageCheck::describe(finding, what, sizeof what);
        if (finding.line != 0) {
            std::printf("Error: Line %u of [%s]: %s\n", finding.line, path, what);
        } else {
            std::printf("Error: [%s]: %s\n", path, what);
        }
    }
    if (report.problemCount > shown) {
        std::printf("and %u more\n", report.problemCount - shown);
    }
}

void imageEmpty(const char* path) {
    std::printf("\nError: Invalid file size <%s>\r\n", path);
}

void imageMissing(const char* path) {
    std::printf("\nError: Failed to open file <%s>\r\n", path);
}

void uploadHeading(const char* path, const char* productId) {
    std::printf("\nUploading File: <%s>\r\n", path);
    std::printf("For product <%s>\n", productId);
    std::printf(".Ctrl C aborts.\r\n\r\n");
    printTimeOfDay("\n\t%s\n");
}

void transferEnded() {
    printTimeOfDay("\n\t\t\t\t%s\n");
}

void phase(ReportPhase phase) {
    if (phase == ReportPhase::Connect) {
        std::printf("\r\nChecking comms...\r\n");
    } else if (phase == ReportPhase::Identify) {
        std::printf("\r\nDevice found.\r\n");
    }
}

void replyTimeout() {
    std::printf("%s", ReplyTimeoutText);
}

void tryingAgain() {
    std::printf("\r\nTrying again...\r\n");
}

void rebootNeeded() {
    std::printf("Product needs to reboot, please wait...\r\n");
}

void startingUpload() {
    std::printf("Starting Upload\r\n");
}

void waitingForApplication() {
    std::printf("\r\n Waiting for device to initialise...\r\n\n");
}

void progress(uint32_t line, uint32_t lines) {
    const auto percent = static_cast<uint32_t>(static_cast<uint64_t>(line) * 100u / lines);
    std::printf("       Download -> %6d [%3d%%]\r", static_cast<int>(line),
                static_cast<int>(percent));
    // The line ends without a line feed; show it now rather than at the next one.
    std::fflush(stdout);
}

void resend(uint32_t, bool) {
    std::printf("\r\nWarning, packet failed trying to resend...\r\n");
}

// What the phase says when it fails for want of an answer, without the time-out banner: the
// port did not time out, it went away.
const char* lostPortText(UploadPhase phase) {
    switch (phase) {
    case UploadPhase::CheckComms:
        return NoContactText;
    case UploadPhase::AwaitBootLoader:
    case UploadPhase::AwaitApplication:
        return DeviceNotRespondingText;
    default:
        return CommunicationErrorText;
    }
}

void aborted(const SessionFailure& failure) {
    if (failure.phase == UploadPhase::ReadRecord || failure.phase == UploadPhase::SendRecord) {
        std::printf("\r\nUpdate aborted at record %u of %u.\r\n", failure.line, failure.lines);
    } else {
        std::printf("\r\nUpdate aborted while waiting for the product.\r\n");
    }
}

const char* failureText(const SessionFailure& failure) {
    switch (failure.reason) {
    case EndReason::Usage:
        return "ERROR: Product ID too long!\r\n";
    case EndReason::NoContact:
        return failure.phase == UploadPhase::CheckComms ? NoContactText : DeviceNotRespondingText;
    case EndReason::UnknownApplication:
        return "ERROR: Unkown ARM application!\r\n";
    case EndReason::ReplyTimeout:
        return failure.phase == UploadPhase::SendRecord ? CommunicationErrorText : ReplyTimeoutText;
    case EndReason::TooManyResends:
        return "ERROR: Too many re-transmission requests!\r\n";
    case EndReason::OutOfStep:
        return "ERROR: Record replies out of step, the image may be incomplete!\r\n";
    case EndReason::NoApplication:
        return DeviceNotRespondingText;
    default:
        return "";
    }
}

void sessionFailed(const SessionFailure& failure) {
    if (failure.reason == EndReason::Aborted) {
        aborted(failure);
    } else if (failure.reason == EndReason::PortLost) {
        std::printf("\r\nThe port %s is gone (unplugged?)\r\n", failure.portName);
        std::printf("%s", lostPortText(failure.phase));
    } else if (failure.reason == EndReason::RecordRefused) {
        std::printf("\r\nERROR [%d]: Record was not accepted!\r\n", static_cast<int>(failure.line));
    } else {
        std::printf("%s", failureText(failure));
    }
}

void advice() {
    std::printf("\r\n******* UPLOAD FAILED.  \r\n");
    std::printf("\r\n\r\nPlease power cycle and try again. Check all connections\r\n");
    std::printf("and avoid using the PC for other tasks during upgrade.  Ensure\r\n");
    std::printf("anti-virus hard disc scan is not currently active.\r\n");
}

void done() {
    std::printf("\r\n\r\nUpdate Done!\r\n");
    std::printf("\n___________________\n");
}

// The product's own words are shown, never obeyed (see WireFormat::shownText).
void printProductText(const char* format, const char* productText) {
    char shown[WireFormat::ShownTextCapacity];
    WireFormat::shownText(productText, shown, sizeof shown);
    std::printf(format, shown);
}

void firmwareIdentity(const char*, FirmwareIdentity identity, const char* version) {
    if (identity == FirmwareIdentity::Application) {
        printProductText("Current %s\r\n", version);
    }
}

void otherProduct(const char* label) {
    printProductText("%s Firmware Update\r\n", label);
}

void replyReport(const char* command, const char* statusText) {
    std::printf("\r\nReply for [%s]: %s", command, statusText);
}

void spellingHint(const char* productsSpelling) {
    printProductText("Product IDs must match the product's own spelling: try %s\r\n",
                     productsSpelling);
}

void rebooting() {
    std::printf("\nRebooting\n");
}

void unknownReply() {
    std::printf(".");
    std::fflush(stdout); // the dot has no line end to push it out
}

// A poll's dots, one a second, stand on a line of their own: the first text after them ends it.
std::atomic<bool> dotsOnLine{false};

void endDotLine() {
    if (dotsOnLine.exchange(false)) {
        std::printf("\r\n");
    }
}

// The application's wait has its line already ("Waiting for device to initialise...").
void waitStarted(ReportPhase phase, WaitMode mode) {
    if (mode == WaitMode::Poll && phase == ReportPhase::AwaitBootLoader) {
        std::printf("Waiting for the boot loader...\r\n");
    }
}

void waitSecond() {
    dotsOnLine.store(true);
    std::printf(".");
    std::fflush(stdout); // the dot has no line end to push it out
}

// On a line of its own after the dots, naming what kept answering.
void answerRepeated(AnswerKind kind, const char* command, uint32_t times) {
    endDotLine();
    switch (kind) {
    case AnswerKind::Application:
        std::printf("(the application answered %u times)\r\n", times);
        break;
    case AnswerKind::OtherBootLoader:
        std::printf("(the boot loader of another product answered %u times)\r\n", times);
        break;
    case AnswerKind::OtherApplication:
        std::printf("(the application of another product answered %u times)\r\n", times);
        break;
    case AnswerKind::OtherProduct:
        std::printf("(another product answered %u times)\r\n", times);
        break;
    case AnswerKind::ErrorStatus:
        std::printf("(the reply for [%s] with that ERROR status came %u times)\r\n", command,
                    times);
        break;
    case AnswerKind::Rebooting:
        std::printf("(the product said it was rebooting %u times)\r\n", times);
        break;
    }
}

void waitEnded(ReportPhase, WaitMode, uint32_t, bool) {
    endDotLine();
}

// The product's answers during a wait begin on a line of their own.
void identityAfterDots(const char* productId, FirmwareIdentity identity, const char* version) {
    endDotLine();
    firmwareIdentity(productId, identity, version);
}

void otherProductAfterDots(const char* label) {
    endDotLine();
    otherProduct(label);
}

} // namespace

const Reporter ConsoleReporter{
    .fileUnreadable = fileUnreadable,
    .imageProblems = imageProblems,
    .imageEmpty = imageEmpty,
    .imageMissing = imageMissing,
    .uploadHeading = uploadHeading,
    .transferEnded = transferEnded,
    .phase = phase,
    .replyTimeout = replyTimeout,
    .tryingAgain = tryingAgain,
    .rebootNeeded = rebootNeeded,
    .startingUpload = startingUpload,
    .waitingForApplication = waitingForApplication,
    .progress = progress,
    .resend = resend,
    .sessionFailed = sessionFailed,
    .advice = advice,
    .done = done,
    .firmwareIdentity = identityAfterDots,
    .otherProduct = otherProductAfterDots,
    .replyReport = replyReport,
    .spellingHint = spellingHint,
    .rebooting = rebooting,
    .unknownReply = unknownReply,
    .waitStarted = waitStarted,
    .waitSecond = waitSecond,
    .answerRepeated = answerRepeated,
    .waitEnded = waitEnded,
};
