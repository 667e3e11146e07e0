#include "station/child_update.h"

#include "ledger/ledger_record.h"

#include "os/process.h"
#include "report/json_report.h"
#include "report/json_text.h"
#include "report/shown_text.h"
#include "serial/port_discovery.h"
#include "serial/serial_number_entry.h"
#include "session/firmware_image.h"

#include <algorithm>
#include <cstdio>

namespace ChildUpdate {

namespace {

// Children write these fields; a field of another type is treated as absent rather than thrown
// over. Texts may carry the product's words and reach the terminal: shown, never obeyed.
std::string text(const Json& event, const char* key) {
    const auto found = event.find(key);
    if (found == event.end() || !found->is_string()) {
        return {};
    }
    return ShownText::of(found->get_ref<const std::string&>());
}

uint32_t count(const Json& event, const char* key, uint32_t otherwise) {
    const auto found = event.find(key);
    return found != event.end() && found->is_number_unsigned() ? found->get<uint32_t>() : otherwise;
}

double number(const Json& event, const char* key) {
    const auto found = event.find(key);
    return found != event.end() && found->is_number() ? found->get<double>() : 0.0;
}

std::string seconds(double value) {
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.1f s", value);
    return shown;
}

} // namespace

std::vector<std::string> childArguments(const Invocation& invocation, const PortRun& run) {
    std::vector<std::string> arguments = invocation.childOptions;
    if (run.named) {
        arguments.insert(arguments.end(), {"--unit", run.unit});
    }
    if (!invocation.imageOrigin.empty()) {
        arguments.insert(arguments.end(), {"--image-origin", invocation.imageOrigin});
    }
    arguments.insert(arguments.end(),
                     {"--json", "--exact-port", "--image-on-stdin", run.name, invocation.baud,
                      invocation.product, invocation.device, invocation.file});
    return arguments;
}

std::vector<std::string> takeLines(std::string& pending, std::string_view bytes) {
    pending.append(bytes);
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t end = pending.find('\n'); end != std::string::npos;
         end = pending.find('\n', from)) {
        lines.push_back(pending.substr(from, end - from));
        from = end + 1;
    }
    pending.erase(0, from);
    return lines;
}

Json eventWithPort(const Json& event, const std::string& port) {
    Json out = {{"event", event["event"]}, {"t", event.value("t", Json(nullptr))}, {"port", port}};
    for (const auto& [key, value] : event.items()) {
        if (key != "event" && key != "t" && key != "port") {
            out[key] = value;
        }
    }
    return out;
}

std::string eventLine(const Json& event) {
    return event.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void writeEvent(std::FILE* out, const Json& event) {
    std::fprintf(out, "%s\n", eventLine(event).c_str());
    std::fflush(out);
}

std::string applyEvent(PortRun& run, const Json& event) {
    if (!event.is_object()) {
        return {};
    }
    const std::string name = text(event, "event");
    if (name == "start") {
        run.records = count(event, "records", run.records);
        return {};
    }
    if (name == "port") {
        return "port " + text(event, "name") + " opened";
    }
    if (name == "phase") {
        run.phase = text(event, "name");
        return "phase " + run.phase;
    }
    if (name == "device") {
        return "device " + text(event, "product") + ", " + text(event, "mode") + ", " +
               text(event, "version");
    }
    if (name == "progress") {
        run.record = count(event, "record", run.record);
        run.records = count(event, "of", run.records);
        run.percent = std::min(count(event, "percent", run.percent), 100u);
        if (run.percent / 10 <= run.plainTenth) {
            return {};
        }
        run.plainTenth = run.percent / 10;
        return "record " + std::to_string(run.record) + " of " + std::to_string(run.records) +
               " (" + std::to_string(run.percent) + "%)";
    }
    if (name == "resend") {
        ++run.resends;
        return "resend record " + std::to_string(count(event, "record", 0)) + " (" +
               text(event, "reason") + ")";
    }
    if (name == "reply_report") {
        return "reply to " + text(event, "command") + ": " + text(event, "status");
    }
    if (name != "result") {
        return {};
    }
    run.haveResult = true;
    const auto status = event.find("exit_status");
    run.exitStatus = status != event.end() && status->is_number_integer()
                         ? status->get<int>()
                         : exitCode(ExitStatus::ExitSessionFailed);
    run.reason = text(event, "reason");
    run.recordsSent = count(event, "records_sent", 0);
    run.resends = count(event, "resends", run.resends);
    run.seconds = number(event, "seconds");
    run.transferSeconds = number(event, "transfer_seconds");
    const auto ratio = event.find("wire_ratio");
    run.wireRatio = ratio != event.end() && ratio->is_number() ? *ratio : Json(nullptr);
    run.ledger = text(event, "ledger");
    const std::string records = std::to_string(run.recordsSent) + " records";
    const std::string outcome = run.exitStatus == 0
                                    ? "ok: " + records + " in " + seconds(run.seconds)
                                    : std::string(resultWord(run)) + " (" + run.reason +
                                          ") after " + records + ", " + seconds(run.seconds);
    return run.ledger.empty() ? outcome : outcome + "; not in the ledger: " + run.ledger;
}

void endRun(PortRun& run, int processStatus) {
    run.ended = true;
    if (!run.started) {
        run.exitStatus = exitCode(ExitStatus::ExitNotStarted);
        run.reason = "not_started";
        return;
    }
    // The process's own status wins: a child that crashed after its result did not succeed.
    run.exitStatus = processStatus;
    if (!run.haveResult) {
        run.reason = "no_result";
        run.recordsSent = run.record;
    }
}

bool succeeded(const PortRun& run) {
    return run.ended && run.exitStatus == 0;
}

const char* resultWord(const PortRun& run) {
    if (run.exitStatus == exitCode(ExitStatus::ExitDone)) {
        return "ok";
    }
    if (run.exitStatus == exitCode(ExitStatus::ExitAborted)) {
        return "stopped";
    }
    return run.exitStatus == exitCode(ExitStatus::ExitNotStarted) ? "not_started" : "failed";
}

const char* summaryReason(ExitStatus status) {
    switch (status) {
    case ExitStatus::ExitDone:
        return "done";
    case ExitStatus::ExitNotStarted:
        return "not_started";
    case ExitStatus::ExitAborted:
        return "aborted";
    case ExitStatus::ExitSessionFailed:
        break;
    }
    return "failed";
}

std::string commandFor(const Invocation& invocation, const std::string& portArgument) {
    std::string command = Os::quoteArgument(invocation.program);
    for (const std::string& option : invocation.options) {
        command.append(" ").append(Os::quoteArgument(option));
    }
    for (const std::string& word :
         {portArgument, invocation.baud, invocation.product, invocation.device, invocation.file}) {
        command.append(" ").append(Os::quoteArgument(word));
    }
    return command;
}

Json outcome(const PortRun& run, const char* key, const Json& value) {
    return {{"port", run.name},
            {key, value},
            {"ok", succeeded(run)},
            {"exit_status", run.exitStatus},
            {"reason", run.reason},
            {"records_sent", run.recordsSent},
            {"resends", run.resends},
            {"seconds", run.seconds},
            {"transfer_seconds", run.transferSeconds},
            {"wire_ratio", run.wireRatio},
            {"ledger", JsonText::orNull(run.ledger)}};
}

void recordUnwritten(const Invocation& invocation, PortRun& run) {
    if (!LedgerRecord::asked() || !run.started || run.haveResult) {
        return; // no ledger, nothing ran, or the child told its own line's fate
    }
    run.ledger = LedgerRecord::appendUnwritten({
        .port = run.name.c_str(),
        .unit = run.named ? run.unit.c_str() : nullptr,
        .productId = invocation.product.c_str(),
        .deviceWord = invocation.device.c_str(),
        .imagePath = invocation.file.c_str(),
        .wait = invocation.wait,
        .exitStatus = run.exitStatus,
        .recordsSent = run.recordsSent,
        .resends = run.resends,
    });
}

Os::SharedInput shareImage(Invocation& invocation, std::FILE* human) {
    invocation.imageOrigin = FirmwareImage::originText(FirmwareImage::origin());
    std::string problem;
    Os::SharedInput image = Os::makeSharedInput(FirmwareImage::sentText(), problem);
    if (image == nullptr) {
        std::fprintf(human, "Error: the image cannot be handed to the updates: %s\n",
                     problem.c_str());
    }
    return image;
}

std::string childProgram(const Invocation& invocation) {
    const std::string own = Os::executablePath();
    return own.empty() ? invocation.program : own;
}

} // namespace ChildUpdate
