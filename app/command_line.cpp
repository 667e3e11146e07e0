#include "app/command_line.h"

#include "app/image_summary.h"
#include "app/option_settings.h"
#include "app/port_listing.h"
#include "app/port_prompt.h"
#include "app/prepare_session.h"
#include "app/presence_run.h"
#include "app/program_run.h"
#include "app/report_run.h"
#include "ledger/ledger_record.h"
#include "ledger/update_facts.h"
#include "os/console.h"
#include "report/entry_report.h"
#include "report/json_report.h"
#include "serial/port_discovery.h"
#include "serial/port_group.h"
#include "session/firmware_image.h"
#include "session/report.h"
#include "station/port_list_run.h"
#include "station/watch_run.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace CommandLine {

namespace {

char defaultProgramName[] = "uartflash";

// The options in the order --help lists them.
constexpr Option ToolOptions[] = {
    {"--help", Help, nullptr, "print this text and exit"},
    {"--version", Version, nullptr, "print the version and exit"},
    {"--list-ports", ListPorts, nullptr,
     "list the serial ports, marking the one AUTO picks, and exit"},
    {"--check", Check, "<file>", "check a firmware image without touching any port, and exit"},
    {"--json", Json, nullptr,
     "with --list-ports: one JSON object per port and line; with the five arguments: the "
     "update as JSON Lines events on standard output, its texts on standard error"},
    {"--log-dir", LogDir, "<dir>",
     "with a port list: each port's JSON lines in <dir>/<port>.jsonl"},
    {"--exact-port", ExactPort, nullptr,
     "open the port as named (COM7, ttyUSB0), without the port list or a prompt"},
    {"--image-on-stdin", ImageOnStdin, nullptr,
     "with --json --exact-port: the image's bytes come on standard input and <file> only names "
     "them (how a port list hands each port the image it checked)"},
    {"--wait", Wait, "<mode>",
     "how to wait for the product's reboots: poll asks every 250 ms and goes on as soon as it "
     "answers, seconds sooner; fixed (the default) pauses 15 s and 5 s first, as a product that "
     "answers before it is ready needs; overrides UARTFLASH_WAIT"},
    {"--ledger", LedgerFile, "<file>",
     "append one JSON line per product update to <file>: which unit got which image (its "
     "SHA-256), when, and how it went; several processes may share one ledger"},
    {"--watch", Watch, nullptr,
     "with ALL or SN= entries as the port: wait for bridges to be plugged in and update each new "
     "unit as it comes, until Ctrl+C; with ports that stay plugged (a fixture): update each unit "
     "that comes to answer on one"},
    {"--again", Again, nullptr,
     "with --watch: update a unit again (by its serial number or code) that this watch has "
     "already updated"},
    {"--unit-id", UnitId, "scan",
     "with --watch: each unit is named by a code read from standard input (a barcode scanner), "
     "one line a unit; with several fixed ports, <port number>:<code> names the port"},
    {"--base", Base, "<addr>",
     "the image is a raw binary that starts at <addr> (0x08000000); refused for a format that "
     "carries its own addresses"},
    {"--record-bytes", RecordBytes, "<n>",
     "data bytes in each S-record made from an image (default 16), as objcopy --srec-len makes "
     "them; refused when a record would not fit in 408 characters"},
    {"--save-srec", SaveSrec, "<file>",
     "with --check: write the S-records that would be sent to <file>, to archive exactly what "
     "goes to the units"},
    {"--image-sha256", ImageSha256, "<hex>",
     "refuse any image whose SHA-256 is not <hex>, before any port is touched; overrides "
     "UARTFLASH_IMAGE_SHA256"},
    {"--presence", PresenceProbe, nullptr,
     "with --json --exact-port: tell, as JSON lines, when a unit answers on the port and when it "
     "leaves, until stopped (how a fixture watch sees its units)"},
    {"--unit", UnitCode, "<code>",
     "with --json --exact-port: the unit's code, for its ledger line and events (how a watch "
     "names the unit it hands a child)"},
    {"--image-origin", ImageOrigin, "<facts>",
     "with --image-on-stdin: the format, SHA-256 and size of the file the records on standard "
     "input were made from (how a port list tells its children what the user's file is)"},
    {"--dashboard", DashboardAddress, "<[host:]port>",
     "with a port list or --watch: serve the station's live page at http://<host>:<port>/ (host "
     "127.0.0.1 unless given; another host shows it, read-only and without a password, to that "
     "network)"},
    {"--report", Report, "<ledger>",
     "sum a ledger up by UTC day: units, updates, ok, failed, first-pass yield, failed updates by "
     "reason and the hours' throughput; and exit"},
    {"--day", ReportDay, "<YYYY-MM-DD>", "with --report: that UTC day only"},
    {"--html", ReportHtml, "<file>",
     "with --report: also write it to <file> as one HTML page with a chart of units an hour"},
};

// The options every form that updates takes besides its own.
constexpr unsigned UpdateModifiers = Wait | LedgerFile | ImageSha256 | Base | RecordBytes;

std::string optionLabel(const Option& option) {
    return option.value == nullptr ? option.name : std::string(option.name) + " " + option.value;
}

void printHelp(const char* program) {
    EntryReport::current().validUse(program);
    std::printf("\n\nOptions, before the arguments:\n");
    size_t width = 0;
    for (const Option& option : ToolOptions) {
        width = std::max(width, optionLabel(option).size());
    }
    for (const Option& option : ToolOptions) {
        std::printf("  %-*s  %s\n", static_cast<int>(width), optionLabel(option).c_str(),
                    option.help);
    }
}

// Every row that reads an image (the updates, --check) has its settings settled before it
// starts, and a value that names nothing refuses the command line.
void settleOptions(Command& command) {
    // Forms that read no image ignore them, and so does a wrong count of the five arguments,
    // which keeps its usage text.
    const bool checks = command.form != nullptr && (command.form->options & Check) != 0;
    if (command.form == nullptr ||
        (!checks && (command.form->arguments == 0 || command.argc() != 6))) {
        return;
    }
    if (!OptionSettings::settle(command, command.problem)) {
        command.form = nullptr;
    }
}

// The parent's command line as its children and its retry command need it.
ChildUpdate::Invocation invocationOf(const Command& command) {
    ChildUpdate::Invocation invocation;
    invocation.program = command.argv[0];
    invocation.json = (command.options & Json) != 0;
    invocation.closedStreams = command.closedStreams;
    if ((command.options & Watch) != 0) {
        invocation.options.push_back("--watch");
    }
    if ((command.options & Again) != 0) {
        invocation.options.push_back("--again");
    }
    if (invocation.json) {
        invocation.options.push_back("--json");
    }
    if ((command.options & LogDir) != 0) {
        invocation.logDir = optionValue(command, LogDir);
        invocation.options.insert(invocation.options.end(), {"--log-dir", invocation.logDir});
    }
    const OptionSettings::Settings& settings = OptionSettings::current();
    invocation.wait = settings.wait.mode;
    if (settings.wait.word != nullptr) {
        invocation.childOptions = {"--wait", settings.wait.word};
    }
    if (settings.wait.fromOption) {
        invocation.options.insert(invocation.options.end(), {"--wait", settings.wait.word});
    }
    if (settings.releasedFromOption) {
        invocation.options.insert(invocation.options.end(),
                                  {"--image-sha256", settings.releasedSha256});
    }
    if (settings.scanCodes) {
        invocation.options.insert(invocation.options.end(), {"--unit-id", "scan"});
        invocation.scanCodes = true;
    }
    invocation.dashboardHost = settings.dashboardHost;
    invocation.dashboardPort = settings.dashboardPort;
    // The children get the records made from the image: the parent's conversion options go
    // only into the retry.
    if (const char* base = optionValue(command, Base)) {
        invocation.options.insert(invocation.options.end(), {"--base", base});
    }
    if (const char* bytes = optionValue(command, RecordBytes)) {
        invocation.options.insert(invocation.options.end(), {"--record-bytes", bytes});
    }
    if ((command.options & LedgerFile) != 0) {
        // Each child appends its own line; the parent only makes sure the ledger takes lines.
        const std::string ledger = optionValue(command, LedgerFile);
        invocation.options.insert(invocation.options.end(), {"--ledger", ledger});
        invocation.childOptions.insert(invocation.childOptions.end(), {"--ledger", ledger});
    }
    invocation.portArgument = command.argv[1];
    invocation.baud = command.argv[2];
    invocation.product = command.argv[3];
    invocation.device = command.argv[4];
    invocation.file = command.argv[5];
    return invocation;
}

// A port list or ALL: one child process of this program per port (station/port_list_run.h).
ExitStatus runPortList(const Command& command) {
    return PortLists::run(invocationOf(command));
}

// --watch: one child process per unit as it is plugged in (app/watch_run.h).
ExitStatus runWatch(const Command& command) {
    return Station::run(invocationOf(command), (command.options & Again) != 0);
}

bool namesManyPorts(const Command& command) {
    return command.argc() == 6 && PortDiscovery::isPortGroup(command.argv[1]);
}

// An option that only a port list takes: refused, with why, for a single port.
ExitStatus runPortListOnly(const Command& command, const char* refusal) {
    if (!namesManyPorts(command)) {
        std::printf("ERROR: %s\n", refusal);
        return ExitStatus::ExitNotStarted;
    }
    return runPortList(command);
}

ExitStatus runShownPortList(const Command& command) {
    return runPortListOnly(command,
                           "--dashboard goes with a port list (COM5,COM7 or ALL) or --watch");
}

ExitStatus runLoggedPortList(const Command& command) {
    return runPortListOnly(command, "--log-dir goes with a port list (COM5,COM7 or ALL)");
}

// The update, and with --ledger its line once it has ended: a line that was not written turns
// success into status 1, the product's outcome told as it was. ledgerProblem is left unset
// without --ledger, empty when the line was written, and says why it was not otherwise.
ExitStatus runRecorded(const UpdateRequest& request, std::optional<std::string>& ledgerProblem) {
    if (!LedgerRecord::asked()) {
        return runProgram(request);
    }
    UpdateFacts::observe();
    const LedgerUsb usb = LedgerRecord::usbOf(request.portName);
    ExitStatus status = runProgram(request);
    ledgerProblem = LedgerRecord::append(request, usb, status, UpdateFacts::gathered());
    if (!ledgerProblem->empty()) {
        EntryReport::current().ledgerNotWritten(ledgerProblem->c_str());
        if (status == ExitStatus::ExitDone) {
            status = ExitStatus::ExitSessionFailed;
        }
    }
    return status;
}

ExitStatus runUpdate(const Command& command) {
    if (namesManyPorts(command)) {
        return runPortList(command);
    }
    PortDiscovery::setExactNames((command.options & ExactPort) != 0);
    std::vector<char*> argv = command.argv;
    UpdateRequest request;
    if (prepareSession(command.argc(), argv.data(), request) == PrepareResult::Stop) {
        return ExitStatus::ExitNotStarted;
    }
    request.wait = OptionSettings::current().wait.mode;
    std::optional<std::string> ledgerProblem;
    return runRecorded(request, ledgerProblem);
}

ExitStatus showHelp(const Command& command) {
    printHelp(command.argv[0]);
    return ExitStatus::ExitDone;
}

ExitStatus showVersion(const Command&) {
    std::printf("uartflash %s\n", UARTFLASH_VERSION);
    return ExitStatus::ExitDone;
}

ExitStatus checkImage(const Command& command) {
    return ImageSummary::check(optionValue(command, Check), optionValue(command, SaveSrec));
}

// The update with its events as JSON Lines. Standard input is not read: a port choice that
// would need the prompt finds no port.
ExitStatus runJsonUpdate(const Command& command) {
    if (namesManyPorts(command)) {
        return runPortList(command);
    }
    PortDiscovery::setExactNames((command.options & ExactPort) != 0);
    if ((command.options & ImageOnStdin) != 0) {
        FirmwareImage::setSource(FirmwareImage::ImageSource::StandardInput);
    }
    std::FILE* json = JsonReport::takeOutput(command.closedStreams);
    if (json == nullptr) {
        return ExitStatus::ExitNotStarted;
    }
    JsonReport::begin(json);
    std::FILE* noInput = std::tmpfile();
    PortPrompt::setInput(noInput);
    std::vector<char*> argv = command.argv;
    UpdateRequest request;
    const PrepareResult prepared = prepareSession(command.argc(), argv.data(), request);
    request.wait = OptionSettings::current().wait.mode;
    request.unitCode = optionValue(command, UnitCode);
    JsonReport::start(argv[1], static_cast<uint32_t>(readBaudRate(argv[2])), argv[3], argv[4],
                      argv[5], prepared == PrepareResult::Proceed, request.unitCode);
    std::optional<std::string> ledgerProblem;
    const ExitStatus status = prepared == PrepareResult::Proceed
                                  ? runRecorded(request, ledgerProblem)
                                  : ExitStatus::ExitNotStarted;
    JsonReport::finish(status, ledgerProblem);
    if (noInput != nullptr) {
        std::fclose(noInput);
    }
    std::fclose(json);
    return status;
}

// A fixture watch's child that tells when units come and go on its port (app/presence_run.h).
ExitStatus runPresence(const Command& command) {
    std::FILE* json = JsonReport::takeOutput(command.closedStreams);
    if (json == nullptr) {
        return ExitStatus::ExitNotStarted;
    }
    UpdateRequest request;
    request.portName = command.argv[1];
    request.baudRate = static_cast<uint32_t>(readBaudRate(command.argv[2]));
    request.productId = command.argv[3];
    request.device = deviceFromWord(command.argv[4]);
    const ExitStatus status = PresenceRun::run(request, json);
    std::fclose(json);
    return status;
}

// --report <ledger> [--day <YYYY-MM-DD>] [--html <file>] (app/report_run.h).
ExitStatus showReport(const Command& command) {
    return ReportRun::run(optionValue(command, Report), optionValue(command, ReportDay),
                          optionValue(command, ReportHtml));
}

ExitStatus listPorts(const Command& command) {
    return PortListing::print((command.options & Json) != 0 ? PortListing::Format::JsonLines
                                                            : PortListing::Format::Text);
}

// Every command line the tool accepts, one row each.
constexpr Form ToolForms[] = {
    {0, 0, AnyCount, runUpdate},         // <port> <baud> <product-id> <device> <file>, as ever
    {Help, 0, 0, showHelp},              // --help
    {Version, 0, 0, showVersion},        // --version
    {ListPorts, 0, 0, listPorts},        // --list-ports
    {ListPorts | Json, 0, 0, listPorts}, // --list-ports --json, in either order
    {Check, Base | RecordBytes | SaveSrec, 0, checkImage}, // --check <file>
    {Report, ReportDay | ReportHtml, 0, showReport},       // --report <ledger> [--day] [--html]
    // The updates; --wait <mode> and --ledger <file> go with each of them.
    {0, UpdateModifiers, 5, runUpdate},                    // and the five
    {Json, UpdateModifiers, 5, runJsonUpdate},             // --json <port> ...
    {ExactPort, UpdateModifiers, 5, runUpdate},            // --exact-port <port>
    {ExactPort | Json, UpdateModifiers, 5, runJsonUpdate}, // --json --exact-port
    {ExactPort | Json | ImageOnStdin, UpdateModifiers | UnitCode | ImageOrigin, 5,
     runJsonUpdate},                                        // a child's
    {ExactPort | Json | PresenceProbe, 0, 5, runPresence},  // a fixture watch's eyes on a port
    {LogDir, UpdateModifiers, 5, runLoggedPortList},        // --log-dir <dir> <port list> ...
    {LogDir | Json, UpdateModifiers, 5, runLoggedPortList}, // --json --log-dir <dir>
    // --dashboard <address> <port list> ..., with --json and --log-dir when given
    {DashboardAddress, UpdateModifiers | Json | LogDir, 5, runShownPortList},
    {Watch, UpdateModifiers | Again | UnitId | DashboardAddress, 5, runWatch}, // --watch ...
    {Watch | Json, UpdateModifiers | Again | UnitId | DashboardAddress, 5, runWatch},
};

const Option* findOption(std::span<const Option> options, const char* word) {
    for (const Option& option : options) {
        if (std::strcmp(option.name, word) == 0) {
            return &option;
        }
    }
    return nullptr;
}

const Form* findForm(std::span<const Form> forms, unsigned options, int arguments) {
    for (const Form& form : forms) {
        if ((options & ~form.modifiers) == form.options &&
            (form.arguments == arguments || form.arguments == AnyCount)) {
            return &form;
        }
    }
    return nullptr;
}

// Takes the option at argv[index] and its value; returns the index of the next word, or 0 with
// the problem set.
int takeOption(Command& command, std::span<const Option> options, int argc, char** argv,
               int index) {
    const Option* option = findOption(options, argv[index]);
    if (option == nullptr) {
        command.problem = std::string("Unknown option ") + argv[index];
        return 0;
    }
    if ((command.options & option->flag) != 0) {
        command.problem = std::string("Option ") + option->name + " given twice";
        return 0;
    }
    command.options |= option->flag;
    if (option->value == nullptr) {
        return index + 1;
    }
    if (index + 1 >= argc) {
        command.problem = optionLabel(*option) + ": the value is missing";
        return 0;
    }
    command.values[std::countr_zero(option->flag)] = argv[index + 1];
    return index + 2;
}

} // namespace

const char* optionValue(const Command& command, OptionFlag flag) {
    return command.values[std::countr_zero(static_cast<unsigned>(flag))];
}

Command parse(int argc, char** argv, std::span<const Option> options, std::span<const Form> forms) {
    Command command;
    command.argv.push_back(argc > 0 && argv[0] != nullptr ? argv[0] : defaultProgramName);
    int index = 1;
    while (index < argc && std::strncmp(argv[index], "--", 2) == 0) {
        index = takeOption(command, options, argc, argv, index);
        if (index == 0) {
            return command;
        }
    }
    for (; index < argc; ++index) {
        command.argv.push_back(argv[index]);
    }
    command.argv.push_back(nullptr);
    command.form = findForm(forms, command.options, command.argc() - 1);
    if (command.form == nullptr) {
        command.problem = "These options do not go with these arguments";
    }
    return command;
}

namespace {

ExitStatus runForm(const Command& command) {
    if (command.form == nullptr) {
        std::printf("ERROR: %s\n", command.problem.c_str());
        printHelp(command.argv[0]);
        return ExitStatus::ExitNotStarted;
    }
    return command.form->run(command);
}

// The texts, a failure's among them, went to standard output. When that was closed at start, one
// line on standard error, so that no failure passes without a word. --json says so itself.
void tellLostTexts(const Command& command, ExitStatus status) {
    if (status != ExitStatus::ExitDone && (command.closedStreams & Os::StandardOutput) != 0 &&
        (command.options & Json) == 0) {
        std::fprintf(stderr,
                     "uartflash: exit status %d; standard output is closed, so what went wrong "
                     "was not shown\n",
                     exitCode(status));
    }
}

// A listing or a report is what was asked for: when it did not reach standard output (closed at
// start, a full disk, a pipe that went away), the run fails with a word on standard error instead
// of ending as if it had been written.
ExitStatus checkPrinted(const Command& command, ExitStatus status) {
    const char* what = (command.options & ListPorts) != 0 ? "the list of ports"
                       : (command.options & Report) != 0  ? "the report"
                                                          : nullptr;
    const bool closed = (command.closedStreams & Os::StandardOutput) != 0;
    errno = 0;
    if (what == nullptr || status != ExitStatus::ExitDone ||
        (!closed && std::fflush(stdout) == 0 && std::ferror(stdout) == 0)) {
        return status;
    }
    // The C library's errno, so its own words on every platform.
    const char* reason = closed       ? "it is closed"
                         : errno != 0 ? std::strerror(errno)
                                      : "a write failed";
    std::fprintf(stderr, "uartflash: %s could not be written to standard output: %s\n", what,
                 reason);
    return ExitStatus::ExitSessionFailed;
}

} // namespace

ExitStatus run(int argc, char** argv, unsigned closedStreams) {
    PortPrompt::install();
    Command command = parse(argc, argv, ToolOptions, ToolForms);
    command.closedStreams = closedStreams;
    settleOptions(command);
    UpdateArguments::requireImage(OptionSettings::current().releasedSha256);
    FirmwareImage::setConversion(OptionSettings::current().conversion);
    FirmwareImage::setOrigin(OptionSettings::current().origin);
    LedgerRecord::ask((command.options & LedgerFile) != 0 ? optionValue(command, LedgerFile)
                                                          : nullptr);
    const ExitStatus status = runForm(command);
    if (status != ExitStatus::ExitDone) {
        tellLostTexts(command, status);
        return status;
    }
    return checkPrinted(command, status);
}

} // namespace CommandLine
