// One ledger line: the entry's fields in a fixed order, so that people reading the file, and
// scripts cutting it, find them where the manual page lists them.
#include "ledger/ledger.h"
#include "report/json_text.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace Ledger {

namespace {

using Json = nlohmann::ordered_json;

Json usbFields(const LedgerUsb& usb) {
    if (usb.vid.empty() && usb.pid.empty() && usb.serial.empty() && usb.location.empty()) {
        return nullptr;
    }
    return {{"vid", JsonText::orNull(usb.vid)},
            {"pid", JsonText::orNull(usb.pid)},
            {"serial", JsonText::orNull(usb.serial)},
            {"location", JsonText::orNull(usb.location)}};
}

std::string hexAddress(uint32_t address) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(address));
    return text;
}

Json imageFields(const LedgerImage& image) {
    return {{"path", image.path},
            {"sha256", image.sha256},
            {"bytes", image.bytes},
            {"format", image.format},
            {"sent_sha256", image.sentSha256},
            {"records", image.records},
            {"data_bytes", image.dataBytes},
            {"first_address", hexAddress(image.firstAddress)},
            {"last_address", hexAddress(image.lastAddress)}};
}

Json answerFields(const LedgerAnswer& answer) {
    return {{"identity", answer.identity}, {"text", answer.text}};
}

Json phaseFields(const LedgerPhases& phases) {
    return {{"connect", phases.connect},
            {"identify", phases.identify},
            {"bootwait", phases.bootwait},
            {"transfer", phases.transfer},
            {"appwait", phases.appwait}};
}

} // namespace

std::string utcTimestamp(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto day = floor<days>(seconds);
    const year_month_day date{day};
    const hh_mm_ss clock{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

std::string line(const LedgerEntry& entry) {
    Json fields = {{"time", utcTimestamp(entry.time)},
                   {"host", entry.host},
                   {"version", entry.version},
                   {"port", entry.port},
                   {"unit", JsonText::orNull(entry.unit)},
                   {"usb", usbFields(entry.usb)},
                   {"product", entry.product},
                   {"device", entry.device},
                   {"image", imageFields(entry.image)}};
    if (entry.before) {
        fields["before"] = answerFields(*entry.before);
    }
    if (entry.after) {
        fields["after"] = answerFields(*entry.after);
    }
    fields["ok"] = entry.ok;
    fields["exit_status"] = entry.exitStatus;
    fields["reason"] = entry.reason;
    fields["records_sent"] = entry.recordsSent;
    fields["resends"] = entry.resends;
    fields["wait"] = entry.wait == LedgerWait::Poll ? "poll" : "fixed";
    fields["phases_ms"] = phaseFields(entry.phasesMs);
    return fields.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace Ledger
