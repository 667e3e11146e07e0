#include "sim_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace SimOptionsParser {
namespace {

constexpr const char* HelpText =
    "usage: uartflash-sim [options]\n"
    "Serves a simulated product on a new pseudo-terminal (its path is the first line of stdout)\n"
    "or on --port PATH.\n"
    "  --port PATH          serve an existing device instead of a pseudo-terminal\n"
    "  --mode app|boot      firmware running at start (default app)\n"
    "  --product ID         product identifier in FWID replies (default KORVA)\n"
    "  --reboot-ms N        silent time of each reboot (default 300)\n"
    "  --boot-reboot-ms N   silent time of the reboot into the boot loader after UPDATE\n"
    "                       (default: --reboot-ms)\n"
    "  --app-reboot-ms N    silent time of the boot loader's start of the new application\n"
    "                       after the end record (default: --reboot-ms)\n"
    "  --erase-ms N         after the reboot into the boot loader, read the line but answer\n"
    "                       nothing for N ms, then answer what was read, in order (default 0)\n"
    "  --start-noise        at each start, a few random bytes, a NUL and a banner line\n"
    "                       without the address token, as a boot ROM prints\n"
    "  --never-back boot|app  the reboot into the boot loader or into the new application\n"
    "                       never ends\n"
    "  --other-boot-loader ID|error  after UPDATE another product's boot loader starts: its\n"
    "                       FWID answers name product ID, or (error) are FWID ERROR; it\n"
    "                       refuses records\n"
    "  --baud N             pace bytes in both directions as a UART at N baud, 10 bits a byte\n"
    "  --image FILE         write the accepted records, in order, one per line\n"
    "  --trace FILE         per command: name, sequence number, monotonic ns of its first byte\n"
    "                       and of its reply's last byte (0 when no reply was written)\n"
    "  --busy-on LIST       answer BUSY; LIST is N[xK],... (record N, K attempts, default 1)\n"
    "  --fail-on LIST       answer FAIL\n"
    "  --error-on LIST      answer ERROR\n"
    "  --silent-on LIST     do not answer\n"
    "  --flood-on LIST      do not answer; instead send PONG, REBOOT OK and FWID replies every\n"
    "                       2 ms for 12 s\n"
    "  --twice-on LIST      two answers in one write; LIST is N:A+B,... with A and B each PASS,\n"
    "                       BUSY, FAIL or ERROR; the product acts on A alone (PASS: as usual)\n"
    "                       (faults for one record answer its attempts in the order given)\n"
    "  --vanish-after N     after N accepted records, close the line at the next command\n"
    "  --vanish-in PHASE    close the line at the first PING (connect), the first FWID\n"
    "                       (identify), the first FWID after UPDATE (bootwait), the second\n"
    "                       record (transfer, as --vanish-after 1) or the first PING after the\n"
    "                       end record (appwait)\n"
    "                       (a vanishing product prints the monotonic ns of the close on stderr)\n"
    "  --received-bytes FILE  at exit, write the number of bytes received from the line\n"
    "  --never-answer       read everything, answer nothing\n"
    "  --noise              random bytes and foreign-address lines before replies\n"
    "  --lowercase          replies in lower case\n"
    "  --quoted             reply parameters in double quotes\n"
    "  --split              write replies one byte per write with small gaps\n"
    "  --duplicate          send some replies twice\n"
    "  --seed S             seed of the random choices (default 1)\n"
    "  --exit-after-done    exit when the other side closes the line after talking\n"
    "  --control FILE       read fixture commands, one a line, from FILE (a FIFO, created when\n"
    "                       missing): place [PRODUCT] puts a fresh unit on the fixture, started\n"
    "                       as --mode says (and named PRODUCT in FWID replies); remove takes it\n"
    "                       away: nothing is answered, what comes in is lost, the port stays "
    "open;\n"
    "                       the fixture starts empty; with --image, unit N writes FILE.N\n"
    "  --present            with --control, a unit is on the fixture at start\n"
    "  --absent-until MS    no unit for the first MS ms, then one is placed\n"
    "  --leave-after MS     take the unit away MS ms after the new application's first FWID\n"
    "                       reply\n"
    "  --verbose            log commands and replies to stderr\n";

bool parseNumber(const char* text, uint32_t& value) {
    errno = 0;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed > 0xFFFFFFFFul || text[0] == '-')
        return false;
    value = static_cast<uint32_t>(parsed);
    return true;
}

// "N[xK],..." into faults of one kind.
bool parseFaults(const char* list, RecordAnswer answer, SimOptions& options) {
    char copy[512];
    if (std::strlen(list) >= sizeof copy)
        return false;
    std::strcpy(copy, list);
    char* save = nullptr;
    for (char* item = strtok_r(copy, ",", &save); item; item = strtok_r(nullptr, ",", &save)) {
        uint32_t times = 1;
        if (char* x = std::strchr(item, 'x')) {
            *x = '\0';
            if (!parseNumber(x + 1, times) || times == 0)
                return false;
        }
        uint32_t record = 0;
        if (!parseNumber(item, record) || record == 0)
            return false;
        for (uint32_t i = 0; i < times; ++i) {
            if (options.faultCount == SimOptions::MaxFaults)
                return false;
            options.faults[options.faultCount++] = {record, answer};
        }
    }
    return true;
}

template <typename Value> struct Named {
    const char* name;
    Value value;
};

// The value named text in table; false when no row has that name.
template <typename Value, size_t Rows>
bool lookUp(const Named<Value> (&table)[Rows], const char* text, Value& value) {
    for (const Named<Value>& row : table) {
        if (std::strcmp(text, row.name) == 0) {
            value = row.value;
            return true;
        }
    }
    return false;
}

// "PASS", "BUSY", "FAIL" or "ERROR".
bool parseAnswer(const char* text, RecordAnswer& answer) {
    static constexpr Named<RecordAnswer> Words[] = {{"PASS", RecordAnswer::Pass},
                                                    {"BUSY", RecordAnswer::Busy},
                                                    {"FAIL", RecordAnswer::Fail},
                                                    {"ERROR", RecordAnswer::Error}};
    return lookUp(Words, text, answer);
}

// "N:A+B,..." into faults answering twice.
bool parseTwice(const char* list, SimOptions& options) {
    char copy[512];
    if (std::strlen(list) >= sizeof copy)
        return false;
    std::strcpy(copy, list);
    char* save = nullptr;
    for (char* item = strtok_r(copy, ",", &save); item; item = strtok_r(nullptr, ",", &save)) {
        char* first = std::strchr(item, ':');
        char* second = first ? std::strchr(first, '+') : nullptr;
        if (!second)
            return false;
        *first++ = '\0';
        *second++ = '\0';
        RecordFault fault{};
        if (!parseNumber(item, fault.record) || fault.record == 0 ||
            !parseAnswer(first, fault.answer) || !parseAnswer(second, fault.second) ||
            options.faultCount == SimOptions::MaxFaults)
            return false;
        options.faults[options.faultCount++] = fault;
    }
    return true;
}

bool parseVanishPhase(const char* text, SimOptions& o) {
    static constexpr Named<VanishPhase> Phases[] = {{"connect", VanishPhase::Connect},
                                                    {"identify", VanishPhase::Identify},
                                                    {"bootwait", VanishPhase::BootWait},
                                                    {"appwait", VanishPhase::AppWait}};
    if (std::strcmp(text, "transfer") == 0) {
        o.vanish = true;
        o.vanishAfter = 1;
        return true;
    }
    return lookUp(Phases, text, o.vanishIn);
}

enum OptionId : int {
    Port = 256,
    Mode,
    Product,
    RebootMs,
    Baud,
    Image,
    Trace,
    BusyOn,
    FailOn,
    ErrorOn,
    SilentOn,
    FloodOn,
    TwiceOn,
    VanishAfter,
    VanishIn,
    ReceivedBytes,
    NeverAnswer,
    Noise,
    Lowercase,
    Quoted,
    Split,
    Duplicate,
    Seed,
    ExitAfterDone,
    Verbose,
    Help,
    BootRebootMs,
    AppRebootMs,
    EraseMs,
    StartNoise,
    NeverBackOption,
    Control,
    Present,
    AbsentUntil,
    LeaveAfter,
    OtherBootLoader,
};

constexpr option LongOptions[] = {
    {"port", required_argument, nullptr, Port},
    {"mode", required_argument, nullptr, Mode},
    {"product", required_argument, nullptr, Product},
    {"reboot-ms", required_argument, nullptr, RebootMs},
    {"baud", required_argument, nullptr, Baud},
    {"image", required_argument, nullptr, Image},
    {"trace", required_argument, nullptr, Trace},
    {"busy-on", required_argument, nullptr, BusyOn},
    {"fail-on", required_argument, nullptr, FailOn},
    {"error-on", required_argument, nullptr, ErrorOn},
    {"silent-on", required_argument, nullptr, SilentOn},
    {"flood-on", required_argument, nullptr, FloodOn},
    {"twice-on", required_argument, nullptr, TwiceOn},
    {"vanish-after", required_argument, nullptr, VanishAfter},
    {"vanish-in", required_argument, nullptr, VanishIn},
    {"received-bytes", required_argument, nullptr, ReceivedBytes},
    {"never-answer", no_argument, nullptr, NeverAnswer},
    {"noise", no_argument, nullptr, Noise},
    {"lowercase", no_argument, nullptr, Lowercase},
    {"quoted", no_argument, nullptr, Quoted},
    {"split", no_argument, nullptr, Split},
    {"duplicate", no_argument, nullptr, Duplicate},
    {"seed", required_argument, nullptr, Seed},
    {"exit-after-done", no_argument, nullptr, ExitAfterDone},
    {"verbose", no_argument, nullptr, Verbose},
    {"help", no_argument, nullptr, Help},
    {"boot-reboot-ms", required_argument, nullptr, BootRebootMs},
    {"app-reboot-ms", required_argument, nullptr, AppRebootMs},
    {"erase-ms", required_argument, nullptr, EraseMs},
    {"start-noise", no_argument, nullptr, StartNoise},
    {"never-back", required_argument, nullptr, NeverBackOption},
    {"control", required_argument, nullptr, Control},
    {"present", no_argument, nullptr, Present},
    {"absent-until", required_argument, nullptr, AbsentUntil},
    {"leave-after", required_argument, nullptr, LeaveAfter},
    {"other-boot-loader", required_argument, nullptr, OtherBootLoader},
    {nullptr, 0, nullptr, 0},
};

bool parseNeverBack(const char* text, NeverBack& neverBack) {
    static constexpr Named<NeverBack> Modes[] = {{"boot", NeverBack::BootLoader},
                                                 {"app", NeverBack::Application}};
    return lookUp(Modes, text, neverBack);
}

bool parseMode(const char* text, StartMode& mode) {
    if (std::strcmp(text, "app") == 0)
        mode = StartMode::Application;
    else if (std::strcmp(text, "boot") == 0)
        mode = StartMode::BootLoader;
    else
        return false;
    return true;
}

// Applies one option; false when its argument is not acceptable.
bool apply(int id, const char* arg, SimOptions& o) {
    switch (id) {
    case Port:
        o.portPath = arg;
        return true;
    case Mode:
        return parseMode(arg, o.mode);
    case Product:
        o.productId = arg;
        return productIdFits(arg);
    case RebootMs:
        return parseNumber(arg, o.rebootMs);
    case Baud:
        return parseNumber(arg, o.baud) && o.baud > 0;
    case Image:
        o.imagePath = arg;
        return true;
    case Trace:
        o.tracePath = arg;
        return true;
    case BusyOn:
        return parseFaults(arg, RecordAnswer::Busy, o);
    case FailOn:
        return parseFaults(arg, RecordAnswer::Fail, o);
    case ErrorOn:
        return parseFaults(arg, RecordAnswer::Error, o);
    case SilentOn:
        return parseFaults(arg, RecordAnswer::Silent, o);
    case FloodOn:
        return parseFaults(arg, RecordAnswer::Flood, o);
    case TwiceOn:
        return parseTwice(arg, o);
    case VanishAfter:
        o.vanish = true;
        return parseNumber(arg, o.vanishAfter);
    case VanishIn:
        return parseVanishPhase(arg, o);
    case ReceivedBytes:
        o.receivedBytesPath = arg;
        return true;
    case NeverAnswer:
        o.neverAnswer = true;
        return true;
    case Noise:
        o.noise = true;
        return true;
    case Lowercase:
        o.lowercase = true;
        return true;
    case Quoted:
        o.quoted = true;
        return true;
    case Split:
        o.split = true;
        return true;
    case Duplicate:
        o.duplicate = true;
        return true;
    case Seed:
        return parseNumber(arg, o.seed);
    case ExitAfterDone:
        o.exitAfterDone = true;
        return true;
    case Verbose:
        o.verbose = true;
        return true;
    case BootRebootMs:
        return parseNumber(arg, o.bootRebootMs) && o.bootRebootMs != SimOptions::UnsetMs;
    case AppRebootMs:
        return parseNumber(arg, o.appRebootMs) && o.appRebootMs != SimOptions::UnsetMs;
    case EraseMs:
        return parseNumber(arg, o.eraseMs);
    case StartNoise:
        o.startNoise = true;
        return true;
    case NeverBackOption:
        return parseNeverBack(arg, o.neverBack);
    case Control:
        o.controlPath = arg;
        return arg[0] != '\0';
    case Present:
        o.present = true;
        return true;
    case AbsentUntil:
        return parseNumber(arg, o.absentUntilMs);
    case LeaveAfter:
        o.leave = true;
        return parseNumber(arg, o.leaveAfterMs);
    case OtherBootLoader:
        o.otherBootError = std::strcmp(arg, "error") == 0;
        o.otherBootLoader = arg;
        return productIdFits(arg);
    default:
        return false;
    }
}

} // namespace

bool productIdFits(const char* text) {
    // Short enough that every reply fits the reply area; one word, as a reply carries it.
    return text[0] != '\0' && std::strlen(text) <= 64 && !std::strpbrk(text, " \t\r\n\"");
}

bool parse(int argc, char** argv, SimOptions& options, bool& helpRequested) {
    helpRequested = false;
    optind = 1;
    int id = 0;
    while ((id = getopt_long(argc, argv, "", LongOptions, nullptr)) != -1) {
        if (id == Help) {
            helpRequested = true;
            std::fputs(HelpText, stderr);
            return false;
        }
        if (id == '?' || !apply(id, optarg, options)) {
            if (id != '?')
                std::fprintf(stderr, "uartflash-sim: bad value for --%s: %s\n",
                             LongOptions[id - Port].name, optarg);
            std::fputs("try uartflash-sim --help\n", stderr);
            return false;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "uartflash-sim: unexpected argument %s\n", argv[optind]);
        return false;
    }
    if (options.present && !options.controlPath) {
        std::fputs("uartflash-sim: --present needs --control\n", stderr);
        return false;
    }
    if (options.bootRebootMs == SimOptions::UnsetMs)
        options.bootRebootMs = options.rebootMs;
    if (options.appRebootMs == SimOptions::UnsetMs)
        options.appRebootMs = options.rebootMs;
    return true;
}

} // namespace SimOptionsParser
