#include "sim_product.h"

#include "sim_line.h"
#include "srecord.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <unistd.h>

namespace SimProduct {
namespace {

constexpr size_t LineCapacity = 1024;
constexpr size_t ReplyCapacity = 512;
constexpr size_t VersionCapacity = 48;
constexpr size_t ProductIdCapacity = 65; // an identifier fits every reply (see --product)
constexpr const char* Address = "DVO";
constexpr const char* Label = "SIM";
constexpr const char* FirstVersion = "V1.0.0";
constexpr const char* BootVersion = "BSL-0.9";
constexpr const char* UnnamedVersion = "V1.0.1"; // for an image whose header is no word
constexpr const char* OtherLabel = "OTHER"; // another product's boot loader (--other-boot-loader)
constexpr const char* OtherBootVersion = "BSL-3.2";
// Lines another product might send on a shared line; the tool must ignore all of them.
constexpr const char* ForeignLines[] = {"!ABC PONG\r\n", "!DVOX RECORD ERROR\r\n",
                                        "!XY FWID A B C D\r\n"};
// A flood outlasts the tool's 10 s reply wait, and lines come faster than the tool's reply looks.
constexpr uint64_t FloodNs = 12'000'000'000u;
constexpr uint64_t FloodGapNs = 2'000'000u;
constexpr uint64_t NeverNs = UINT64_MAX; // the end of a reboot that never ends
// Lines read during an erase, answered after it; more are lost, as in a full receive FIFO.
constexpr size_t ErasedLines = 32;

struct ReadLine {
    char text[LineCapacity];
    size_t length;
    uint64_t startNs;
};

// One unit on the fixture; a unit placed afresh starts from a new one of these.
struct ProductState {
    StartMode mode = StartMode::Application;
    char productId[ProductIdCapacity] = {};
    char version[VersionCapacity] = {};
    char nextVersion[VersionCapacity] = {};
    uint64_t rebootUntilNs = 0;
    StartMode rebootInto = StartMode::Application;
    uint64_t eraseUntilNs = 0;
    ReadLine readDuringErase[ErasedLines] = {};
    size_t readCount = 0;
    char line[LineCapacity] = {};
    size_t lineLength = 0;
    bool lineTooLong = false;
    uint64_t lineStartNs = 0;
    uint32_t accepted = 0;    // records taken since the boot loader started
    uint32_t attempt = 0;     // sendings of the record after the last one taken
    bool updateTaken = false; // UPDATE started the boot loader
    bool endTaken = false;    // the end record started the new application
    uint64_t leaveAtNs = 0;   // --leave-after: when the updated unit is taken away
    uint64_t floodUntilNs = 0;
    uint64_t floodNextNs = 0;
    uint32_t floodLines = 0;
};
ProductState product;

// The fixture the units are placed on, and what outlives each unit: the line's files and counts.
struct Fixture {
    const SimOptions* options = nullptr;
    bool present = false;
    uint32_t units = 0;     // units placed so far
    uint64_t placeAtNs = 0; // --absent-until: when the first unit is placed
    uint32_t sequence = 0;
    bool talked = false;
    uint64_t receivedBytes = 0; // by the units, not while the fixture is empty
    FILE* image = nullptr;
    FILE* trace = nullptr;
    FILE* receivedCount = nullptr;
    std::mt19937 random;
};
Fixture fixture;

int reboot();

void copyText(char* out, size_t capacity, const char* text) {
    std::snprintf(out, capacity, "%s", text);
}

void logLine(const char* direction, const char* text, size_t length) {
    if (!fixture.options->verbose)
        return;
    std::fprintf(stderr, "sim %s ", direction);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isprint(c))
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02X", c);
    }
    std::fputc('\n', stderr);
}

void traceCommand(const char* name, uint64_t replyEndNs) {
    if (fixture.trace)
        std::fprintf(fixture.trace, "%s %u %llu %llu\n", name, fixture.sequence,
                     static_cast<unsigned long long>(product.lineStartNs),
                     static_cast<unsigned long long>(replyEndNs));
}

void appendText(char* out, size_t& at, const char* text, bool lower) {
    for (; *text && at + 4 < ReplyCapacity; ++text)
        out[at++] =
            lower ? static_cast<char>(std::tolower(static_cast<unsigned char>(*text))) : *text;
}

// "!DVO NAME P1 P2...\r\n", in lower case or with quoted parameters when asked.
size_t composeReply(char* out, const char* name, const char* const* params, size_t count) {
    const bool lower = fixture.options->lowercase;
    const bool quoted = fixture.options->quoted;
    size_t at = 0;
    out[at++] = '!';
    appendText(out, at, Address, lower);
    out[at++] = ' ';
    appendText(out, at, name, lower);
    for (size_t i = 0; i < count; ++i) {
        out[at++] = ' ';
        if (quoted)
            out[at++] = '"';
        appendText(out, at, params[i], lower && !quoted);
        if (quoted)
            out[at++] = '"';
    }
    out[at++] = '\r';
    out[at++] = '\n';
    return at;
}

bool sendNoise() {
    uint64_t ignored = 0;
    char junk[16];
    const size_t junkLength = fixture.random() % (sizeof junk + 1);
    for (size_t i = 0; i < junkLength; ++i) {
        const char c = static_cast<char>(fixture.random() & 0xFFu);
        junk[i] = c == '!' ? '?' : c; // a lead character would open a reply
    }
    if (junkLength > 0 && !SimLine::send(junk, junkLength, ignored))
        return false;
    if (fixture.random() % 2 == 0)
        return true;
    const char* foreign = ForeignLines[fixture.random() % std::size(ForeignLines)];
    return SimLine::send(foreign, std::strlen(foreign), ignored);
}

// What a boot ROM prints as it starts: a few random bytes, a NUL and a banner line without the
// address token. The tool must ignore all of it.
void sendStartNoise(StartMode mode) {
    char text[96];
    size_t length = 1 + fixture.random() % 6;
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(fixture.random() & 0xFFu);
        text[i] = c == '!' ? '?' : c; // a lead character would open a reply
    }
    text[length++] = '\0';
    const bool boot = mode == StartMode::BootLoader;
    length += static_cast<size_t>(std::snprintf(text + length, sizeof text - length,
                                                "%s boot ROM 2.1: starting %s\r\n", Label,
                                                boot ? BootVersion : product.version));
    uint64_t ignored = 0;
    (void)SimLine::send(text, length, ignored); // a line nobody reads is seen at the next reply
}

// Sends one reply for the current command and traces the command; false when the line is gone.
// A second word adds a second reply of the same name in the same write.
bool reply(const char* command, const char* name, const char* const* params, size_t count,
           const char* secondWord = nullptr) {
    char text[4 * ReplyCapacity];
    size_t length = composeReply(text, name, params, count);
    if (secondWord)
        length += composeReply(text + length, name, &secondWord, 1);
    logLine(">", text, length);
    if (fixture.options->duplicate && fixture.random() % 4 == 0) {
        std::memcpy(text + length, text, length);
        length *= 2;
    }
    if (fixture.options->noise && !sendNoise())
        return false;
    uint64_t endNs = 0;
    const bool sent = SimLine::send(text, length, endNs);
    traceCommand(command, endNs);
    return sent;
}

bool replyWord(const char* name, const char* word, const char* secondWord = nullptr) {
    return reply(name, name, &word, 1, secondWord);
}

void startReboot(StartMode into) {
    const bool boot = into == StartMode::BootLoader;
    const NeverBack never = boot ? NeverBack::BootLoader : NeverBack::Application;
    const uint32_t ms = boot ? fixture.options->bootRebootMs : fixture.options->appRebootMs;
    product.rebootInto = into;
    product.rebootUntilNs = fixture.options->neverBack == never
                                ? NeverNs
                                : SimLine::nowNs() + uint64_t{ms} * 1'000'000u;
    if (into == StartMode::BootLoader) {
        // A new boot loader session receives a new image.
        product.accepted = 0;
        product.attempt = 0;
        copyText(product.nextVersion, VersionCapacity, UnnamedVersion);
        if (fixture.image) {
            std::fflush(fixture.image);
            std::rewind(fixture.image);
            (void)ftruncate(fileno(fixture.image), 0);
        }
    } else {
        copyText(product.version, VersionCapacity, product.nextVersion);
    }
    reboot();
}

// The boot loader UPDATE started is another product's (--other-boot-loader).
bool otherBootLoaderRuns() {
    return fixture.options->otherBootLoader != nullptr && product.updateTaken &&
           product.mode == StartMode::BootLoader;
}

bool onFwid() {
    if (otherBootLoaderRuns() && fixture.options->otherBootError)
        return replyWord("FWID", "ERROR");
    if (otherBootLoaderRuns()) {
        const char* params[] = {OtherLabel, fixture.options->otherBootLoader, "BSL",
                                OtherBootVersion};
        return reply("FWID", "FWID", params, 4);
    }
    const bool app = product.mode == StartMode::Application;
    const char* params[] = {Label, product.productId, app ? "MAP" : "BSL",
                            app ? product.version : BootVersion};
    const bool sent = reply("FWID", "FWID", params, 4);
    // The station has seen the new application: the operator takes the unit away.
    if (app && product.endTaken && fixture.options->leave && product.leaveAtNs == 0)
        product.leaveAtNs = SimLine::nowNs() + uint64_t{fixture.options->leaveAfterMs} * 1'000'000u;
    return sent;
}

bool onUpdate(const char* argument) {
    char expected[256];
    std::snprintf(expected, sizeof expected, "%s ARM", product.productId);
    if (std::strcmp(argument, expected) != 0)
        return replyWord("UPDATE", "NAK");
    const bool sent = replyWord("UPDATE", "OK");
    if (product.mode == StartMode::Application) {
        product.updateTaken = true;
        startReboot(StartMode::BootLoader);
    }
    return sent;
}

RecordFault plannedFault(uint32_t record, uint32_t attempt) {
    uint32_t seen = 0;
    for (size_t i = 0; i < fixture.options->faultCount; ++i) {
        const RecordFault& fault = fixture.options->faults[i];
        if (fault.record == record && ++seen == attempt)
            return fault;
    }
    return {record, RecordAnswer::Pass};
}

const char* wordOf(RecordAnswer answer) {
    switch (answer) {
    case RecordAnswer::Pass:
        return "PASS";
    case RecordAnswer::Busy:
        return "BUSY";
    case RecordAnswer::Fail:
        return "FAIL";
    case RecordAnswer::Error:
        return "ERROR";
    case RecordAnswer::Silent:
    case RecordAnswer::Flood:
        break;
    }
    return nullptr;
}

void startFlood(uint32_t record) {
    product.floodUntilNs = SimLine::nowNs() + FloodNs;
    product.floodNextNs = SimLine::nowNs() + FloodGapNs;
    if (fixture.options->verbose)
        std::fprintf(stderr, "sim: no answer to record %u, replies to nothing for 12 s\n", record);
}

void keepRecord(const char* text, size_t length, SRecord::Kind kind) {
    ++product.accepted;
    product.attempt = 0;
    if (fixture.image) {
        std::fwrite(text, 1, length, fixture.image);
        std::fputc('\n', fixture.image);
    }
    char header[VersionCapacity];
    if (kind == SRecord::Kind::Header && SRecord::headerData(text, length, header, sizeof header)) {
        // Any word a reply can carry, control bytes included, as a product would send it.
        bool word = header[0] != '\0';
        for (const char* c = header; *c; ++c)
            word = word && *c != ' ' && *c != '"' && *c != '\r' && *c != '\n';
        copyText(product.nextVersion, VersionCapacity, word ? header : UnnamedVersion);
    }
}

// The product acts on the planned answer alone; a second answer goes out in the same write, as a
// batching bridge would pass on the product's answer together with a spurious one.
bool onRecord(const char* text, size_t length) {
    if (product.mode == StartMode::Application || otherBootLoaderRuns())
        return replyWord("RECORD", "ERROR");
    const RecordFault fault = plannedFault(product.accepted + 1, ++product.attempt);
    const char* second = wordOf(fault.second);
    switch (fault.answer) {
    case RecordAnswer::Busy:
    case RecordAnswer::Fail:
    case RecordAnswer::Error:
        return replyWord("RECORD", wordOf(fault.answer), second);
    case RecordAnswer::Flood:
        startFlood(fault.record);
        [[fallthrough]];
    case RecordAnswer::Silent:
        traceCommand("RECORD", 0);
        return true;
    case RecordAnswer::Pass:
        break;
    }
    const SRecord::Kind kind = SRecord::check(text, length);
    if (kind == SRecord::Kind::Invalid)
        return replyWord("RECORD", "ERROR", second);
    keepRecord(text, length, kind);
    const bool sent = replyWord("RECORD", "PASS", second);
    if (kind == SRecord::Kind::End) {
        product.endTaken = true;
        startReboot(StartMode::Application);
    }
    return sent;
}

// Whether the line closes at this command, in the phase --vanish-in names.
bool vanishesAt(const char* name) {
    const bool ping = std::strcmp(name, "PING") == 0;
    const bool fwid = std::strcmp(name, "FWID") == 0;
    bool now = false;
    switch (fixture.options->vanishIn) {
    case VanishPhase::Connect:
        now = ping;
        break;
    case VanishPhase::Identify:
        now = fwid;
        break;
    case VanishPhase::BootWait:
        now = fwid && product.updateTaken;
        break;
    case VanishPhase::AppWait:
        now = ping && product.endTaken;
        break;
    case VanishPhase::Never:
        break;
    }
    return now || (fixture.options->vanish && product.accepted >= fixture.options->vanishAfter);
}

FeedResult handleLine() {
    // Only the line feed ends a command: a carriage return the tool let through stays in the text,
    // so a record carrying one is refused as a real boot loader would.
    char* text = product.line;
    const size_t length = product.lineLength;
    text[length] = '\0';
    if (length == 0)
        return FeedResult::Continue; // the empty line after each record
    logLine("<", text, length);
    if (std::strncmp(text, "!DVO ", 5) != 0)
        return FeedResult::Continue;
    fixture.talked = true;
    ++fixture.sequence;
    if (fixture.options->neverAnswer)
        return FeedResult::Continue;
    char* name = text + 5;
    char* argument = std::strchr(name, ' ');
    if (argument)
        *argument++ = '\0';
    else
        argument = text + length;
    if (vanishesAt(name))
        return FeedResult::Vanish;
    const size_t argumentLength = static_cast<size_t>(text + length - argument);
    bool sent = true;
    if (std::strcmp(name, "PING") == 0)
        sent = reply("PING", "PONG", nullptr, 0);
    else if (std::strcmp(name, "FWID") == 0)
        sent = onFwid();
    else if (std::strcmp(name, "UPDATE") == 0)
        sent = onUpdate(argument);
    else if (std::strcmp(name, "RECORD") == 0)
        sent = onRecord(argument, argumentLength);
    return sent ? FeedResult::Continue : FeedResult::LineGone;
}

bool openForWriting(const char* path, FILE*& file) {
    if (path && !(file = std::fopen(path, "w"))) {
        std::perror(path);
        return false;
    }
    return true;
}

// With --control each unit's records go to a file of its own: FILE.1, FILE.2...
void openUnitImage() {
    const char* base = fixture.options->imagePath;
    if (!fixture.options->controlPath || !base)
        return;
    char path[4096];
    if (std::snprintf(path, sizeof path, "%s.%u", base, fixture.units) >=
        static_cast<int>(sizeof path)) {
        std::fprintf(stderr, "uartflash-sim: image path too long: %s\n", base);
        return;
    }
    (void)openForWriting(path, fixture.image); // the unit still answers; the test sees no file
}

// A fresh unit on the fixture, running what --mode names, as at power-up.
void putOn(const char* productId) {
    product = ProductState{};
    product.mode = fixture.options->mode;
    copyText(product.productId, ProductIdCapacity, productId);
    copyText(product.version, VersionCapacity, FirstVersion);
    copyText(product.nextVersion, VersionCapacity, UnnamedVersion);
    fixture.present = true;
    ++fixture.units;
    openUnitImage();
    if (fixture.options->verbose)
        std::fprintf(stderr, "sim: unit %u placed (%s, %s)\n", fixture.units, productId,
                     product.mode == StartMode::Application ? "application" : "boot loader");
}

} // namespace

bool start(const SimOptions& options) {
    fixture.options = &options;
    fixture.random.seed(options.seed);
    if ((!options.controlPath && !openForWriting(options.imagePath, fixture.image)) ||
        !openForWriting(options.tracePath, fixture.trace) ||
        !openForWriting(options.receivedBytesPath, fixture.receivedCount))
        return false;
    if (options.absentUntilMs > 0)
        fixture.placeAtNs = SimLine::nowNs() + uint64_t{options.absentUntilMs} * 1'000'000u;
    else if (!options.controlPath || options.present)
        putOn(options.productId); // started with the simulator: nobody hears a boot ROM yet
    return true;
}

void place(const char* productId) {
    takeAway(); // a unit still on the fixture makes room for the new one
    putOn(productId ? productId : fixture.options->productId);
    if (fixture.options->startNoise)
        sendStartNoise(product.mode);
}

void takeAway() {
    if (!fixture.present)
        return;
    fixture.present = false;
    if (fixture.options->controlPath && fixture.image) {
        std::fclose(fixture.image);
        fixture.image = nullptr;
    }
    if (fixture.options->verbose)
        std::fprintf(stderr, "sim: unit %u removed\n", fixture.units);
}

namespace {

int msUntil(uint64_t deadlineNs, uint64_t now) {
    return now >= deadlineNs ? 0 : static_cast<int>((deadlineNs - now + 999'999u) / 1'000'000u);
}

// Sends the flood's lines that are due. Returns the milliseconds until the next one, or -1.
int floodOn() {
    if (product.floodUntilNs == 0)
        return -1;
    const uint64_t now = SimLine::nowNs();
    if (now >= product.floodUntilNs) {
        product.floodUntilNs = 0;
        if (fixture.options->verbose)
            std::fprintf(stderr, "sim: flood ends after %u lines\n", product.floodLines);
        return -1;
    }
    if (now < product.floodNextNs)
        return msUntil(product.floodNextNs, now);
    const bool app = product.mode == StartMode::Application;
    const char* ok = "OK";
    const char* fwid[] = {Label, product.productId, app ? "MAP" : "BSL",
                          app ? product.version : BootVersion};
    char text[ReplyCapacity];
    size_t length = 0;
    switch (product.floodLines++ % 3) {
    case 0:
        length = composeReply(text, "PONG", nullptr, 0);
        break;
    case 1:
        length = composeReply(text, "REBOOT", &ok, 1);
        break;
    default:
        length = composeReply(text, "FWID", fwid, 4);
        break;
    }
    uint64_t ignored = 0;
    if (!SimLine::send(text, length, ignored))
        product.floodUntilNs = 0; // nobody reads any more
    product.floodNextNs = SimLine::nowNs() + FloodGapNs;
    return product.floodUntilNs == 0 ? -1 : msUntil(product.floodNextNs, SimLine::nowNs());
}

// Ends a reboot that is due. Returns the milliseconds until the running reboot ends, or -1 (also
// for one that never ends).
int reboot() {
    if (product.rebootUntilNs == 0 || product.rebootUntilNs == NeverNs)
        return -1;
    const uint64_t now = SimLine::nowNs();
    if (now < product.rebootUntilNs)
        return msUntil(product.rebootUntilNs, now);
    product.rebootUntilNs = 0;
    product.mode = product.rebootInto;
    product.lineLength = 0; // whatever arrived while rebooting was lost
    product.lineTooLong = false;
    if (fixture.options->verbose)
        std::fprintf(stderr, "sim: %s runs\n",
                     product.mode == StartMode::Application ? "application" : "boot loader");
    if (fixture.options->startNoise)
        sendStartNoise(product.mode);
    if (product.mode == StartMode::BootLoader && fixture.options->eraseMs > 0)
        product.eraseUntilNs = SimLine::nowNs() + uint64_t{fixture.options->eraseMs} * 1'000'000u;
    return -1;
}

// True while a reboot runs, after ending one that is due: a rebooting product hears nothing.
bool rebooting() {
    if (product.rebootUntilNs != 0)
        reboot();
    return product.rebootUntilNs != 0;
}

bool erasing() {
    if (product.eraseUntilNs != 0 && SimLine::nowNs() >= product.eraseUntilNs)
        product.eraseUntilNs = 0;
    return product.eraseUntilNs != 0;
}

// Keeps a line read during the erase for its answer after it.
void keepForAfterErase() {
    if (product.readCount == ErasedLines)
        return;
    ReadLine& kept = product.readDuringErase[product.readCount++];
    std::memcpy(kept.text, product.line, product.lineLength);
    kept.length = product.lineLength;
    kept.startNs = product.lineStartNs;
}

// Once the erase is over, answers the lines read during it, in order.
FeedResult answerAfterErase() {
    if (erasing() || product.readCount == 0)
        return FeedResult::Continue;
    if (fixture.options->verbose)
        std::fprintf(stderr, "sim: erase done, %zu lines to answer\n", product.readCount);
    const size_t count = product.readCount;
    product.readCount = 0;
    for (size_t i = 0; i < count; ++i) {
        const ReadLine& kept = product.readDuringErase[i];
        std::memcpy(product.line, kept.text, kept.length);
        product.lineLength = kept.length;
        product.lineStartNs = kept.startNs;
        const FeedResult result = handleLine();
        if (result != FeedResult::Continue)
            return result;
    }
    product.lineLength = 0;
    return FeedResult::Continue;
}

// Places the unit --absent-until held back and takes away the one --leave-after lets go, when
// due. Returns the milliseconds until the next of these, or -1.
int fixtureChanges() {
    const uint64_t now = SimLine::nowNs();
    if (fixture.placeAtNs != 0 && now >= fixture.placeAtNs) {
        fixture.placeAtNs = 0;
        if (!fixture.present)
            place(nullptr);
    }
    if (fixture.present && product.leaveAtNs != 0 && now >= product.leaveAtNs)
        takeAway();
    int earliest = fixture.placeAtNs != 0 ? msUntil(fixture.placeAtNs, now) : -1;
    if (fixture.present && product.leaveAtNs != 0) {
        const int leaveMs = msUntil(product.leaveAtNs, now);
        earliest = earliest < 0 || leaveMs < earliest ? leaveMs : earliest;
    }
    return earliest;
}

} // namespace

int advance(FeedResult& result) {
    result = FeedResult::Continue;
    int earliest = fixtureChanges();
    if (!fixture.present)
        return earliest;
    for (const int ms :
         {reboot(), floodOn(),
          product.eraseUntilNs != 0 ? msUntil(product.eraseUntilNs, SimLine::nowNs()) : -1})
        earliest = ms >= 0 && (earliest < 0 || ms < earliest) ? ms : earliest;
    result = answerAfterErase();
    return earliest;
}

FeedResult feed(const uint8_t* bytes, size_t length, uint64_t arrivalNs) {
    (void)fixtureChanges();
    if (!fixture.present)
        return FeedResult::Continue; // an empty fixture: the bytes go nowhere
    fixture.receivedBytes += length;
    if (const FeedResult late = answerAfterErase(); late != FeedResult::Continue)
        return late;
    for (size_t i = 0; i < length; ++i) {
        if (rebooting())
            continue; // a rebooting product hears nothing
        const uint64_t arrivedNs = SimLine::byteArrived(arrivalNs);
        const char c = static_cast<char>(bytes[i]);
        if (c != '\n') {
            if (product.lineLength == 0)
                product.lineStartNs = arrivalNs;
            if (product.lineLength + 1 < LineCapacity)
                product.line[product.lineLength++] = c;
            else
                product.lineTooLong = true;
            continue;
        }
        const bool whole = !product.lineTooLong;
        product.lineTooLong = false;
        if (whole && erasing()) {
            keepForAfterErase();
        } else if (whole) {
            SimLine::sleepUntil(arrivedNs);
            const FeedResult result = handleLine();
            if (result != FeedResult::Continue)
                return result;
        }
        product.lineLength = 0;
    }
    return FeedResult::Continue;
}

bool talked() {
    return fixture.talked;
}

void finish() {
    if (fixture.image)
        std::fclose(fixture.image);
    if (fixture.trace)
        std::fclose(fixture.trace);
    if (fixture.receivedCount) {
        std::fprintf(fixture.receivedCount, "%llu\n",
                     static_cast<unsigned long long>(fixture.receivedBytes));
        std::fclose(fixture.receivedCount);
    }
    fixture.image = nullptr;
    fixture.trace = nullptr;
    fixture.receivedCount = nullptr;
}

} // namespace SimProduct
