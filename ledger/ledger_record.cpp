#include "ledger/ledger_record.h"

#include "os/host_name.h"
#include "report/entry_report.h"
#include "serial/network_address.h"
#include "serial/port_discovery.h"
#include "session/firmware_image.h"

#include <chrono>

namespace LedgerRecord {

namespace {

std::string askedPath;
bool ledgerAsked = false;

const char* deviceWord(DeviceKind kind) {
    for (const DeviceEntry& device : DeviceTable) {
        if (device.kind == kind) {
            return device.word;
        }
    }
    return "";
}

LedgerImage heldImage(const char* path) {
    const FirmwareImage::Origin origin = FirmwareImage::origin();
    const ImageCheck::Summary& summary = FirmwareImage::report().summary;
    LedgerImage image;
    image.path = path;
    image.sha256 = origin.sha256;
    image.bytes = origin.bytes;
    image.format = ImageFormat::word(origin.format);
    image.sentSha256 = FirmwareImage::sentSha256();
    image.records = summary.sentLines;
    image.dataBytes = summary.dataBytes;
    image.firstAddress = summary.lowestAddress;
    image.lastAddress = summary.highestAddress;
    return image;
}

} // namespace

void ask(const char* path) {
    ledgerAsked = path != nullptr;
    askedPath = path != nullptr ? path : "";
}

bool asked() {
    return ledgerAsked;
}

bool openAsked() {
    if (!ledgerAsked) {
        return true;
    }
    const Ledger::Outcome opened = Ledger::open(askedPath);
    if (opened.status != Ledger::Status::Ok) {
        EntryReport::current().ledgerRefused(Ledger::describe(opened).c_str());
        return false;
    }
    return true;
}

LedgerUsb usbOf(const char* portName) {
    PortList list;
    if (NetworkPort::schemeOf(portName) != PortScheme::Local ||
        !PortDiscovery::enumeratePorts(list)) {
        return {};
    }
    const std::string device = PortDiscovery::deviceKey(portName);
    for (const PortEntry& entry : list.entries) {
        if (PortDiscovery::deviceKey(entry.name) == device) {
            return {entry.usb.vendorId, entry.usb.productId, entry.usb.serialNumber,
                    entry.usb.location};
        }
    }
    return {};
}

namespace {

// The fields every line of this process has, whoever's update it tells.
LedgerEntry entryFor(const char* port, const char* productId, const char* deviceWord,
                     const char* imagePath, WaitMode wait) {
    LedgerEntry entry;
    entry.time = std::chrono::system_clock::now();
    entry.host = Os::hostName();
    entry.version = UARTFLASH_VERSION;
    entry.port = port;
    entry.product = productId;
    entry.device = deviceWord;
    entry.image = heldImage(imagePath);
    entry.wait = wait == WaitMode::Poll ? LedgerWait::Poll : LedgerWait::Fixed;
    return entry;
}

// The entry's line appended; a ledger found gone from its path is told once.
std::string appendEntry(const LedgerEntry& entry) {
    static bool replacedTold = false;
    const Ledger::Outcome outcome = Ledger::append(entry);
    if (outcome.replaced && !replacedTold) {
        replacedTold = true;
        EntryReport::current().ledgerReplaced(Ledger::replacedNotice().c_str());
    }
    return Ledger::describe(outcome);
}

} // namespace

std::string append(const UpdateRequest& request, const LedgerUsb& usb, ExitStatus status,
                   const UpdateFacts::Facts& facts) {
    LedgerEntry entry = entryFor(request.portName, request.productId, deviceWord(request.device),
                                 request.imagePath, request.wait);
    entry.usb = usb;
    entry.unit = request.unitCode != nullptr ? request.unitCode : usb.serial;
    entry.before = facts.before;
    entry.after = facts.after;
    entry.ok = status == ExitStatus::ExitDone;
    entry.exitStatus = exitCode(status);
    entry.reason = reasonWord(facts.reason);
    entry.recordsSent = facts.recordsSent;
    entry.resends = facts.resends;
    entry.phasesMs = facts.phasesMs;
    return appendEntry(entry);
}

std::string appendUnwritten(const UnwrittenUpdate& update) {
    LedgerEntry entry =
        entryFor(update.port, update.productId, update.deviceWord, update.imagePath, update.wait);
    entry.usb = usbOf(update.port);
    entry.unit = update.unit != nullptr ? update.unit : entry.usb.serial;
    entry.ok = false;
    entry.exitStatus = update.exitStatus;
    entry.reason = "no_result";
    entry.recordsSent = update.recordsSent;
    entry.resends = update.resends;
    return appendEntry(entry);
}

} // namespace LedgerRecord
