#include "app/port_listing.h"

#include "report/aligned_table.h"
#include "report/json_text.h"
#include "report/shown_text.h"
#include "serial/port_discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace PortListing {

namespace {

const AlignedTable::Row Header = {"PORT",         "AUTO",    "VID",      "PID",        "SERIAL",
                                  "MANUFACTURER", "PRODUCT", "LOCATION", "DESCRIPTION"};

// Unknown values show as "-" so that every line has every column. Texts come from the devices
// and are shown, never obeyed by the terminal.
std::string shown(const std::string& text) {
    if (text.empty()) {
        return "-";
    }
    return ShownText::of(text);
}

AlignedTable::Row rowOf(const PortList& list, size_t i, size_t autoPick) {
    const PortEntry& entry = list.entries[i];
    const UsbIdentity& usb = entry.usb;
    return {entry.name,           i == autoPick ? "yes" : "-", shown(usb.vendorId),
            shown(usb.productId), shown(usb.serialNumber),     shown(usb.manufacturer),
            shown(usb.product),   shown(usb.location),         shown(list.descriptions[i])};
}

void printText(const PortList& list, size_t autoPick) {
    if (list.entries.empty()) {
        std::printf("No serial ports found.\n");
        return;
    }
    std::vector<AlignedTable::Row> rows = {Header};
    for (size_t i = 0; i < list.entries.size(); ++i) {
        rows.push_back(rowOf(list, i, autoPick));
    }
    std::fputs(AlignedTable::render(rows).c_str(), stdout);
}

// Texts that are not UTF-8 (a Windows code page, odd USB strings) get replacement characters
// rather than ending the listing.
void printJsonLines(const PortList& list, size_t autoPick) {
    for (size_t i = 0; i < list.entries.size(); ++i) {
        const UsbIdentity& usb = list.entries[i].usb;
        const nlohmann::ordered_json port = {
            {"name", list.entries[i].name},
            {"description", JsonText::orNull(list.descriptions[i])},
            {"vid", JsonText::orNull(usb.vendorId)},
            {"pid", JsonText::orNull(usb.productId)},
            {"serial", JsonText::orNull(usb.serialNumber)},
            {"manufacturer", JsonText::orNull(usb.manufacturer)},
            {"product", JsonText::orNull(usb.product)},
            {"location", JsonText::orNull(usb.location)},
            {"auto", i == autoPick},
        };
        std::printf(
            "%s\n",
            port.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
    }
}

} // namespace

ExitStatus print(Format format) {
    PortList list;
    if (!PortDiscovery::enumeratePorts(list)) {
        std::printf("Error: The serial ports cannot be listed on this computer.\n");
        return ExitStatus::ExitNotStarted;
    }
    const size_t autoPick = PortDiscovery::automaticPick(list);
    if (format == Format::JsonLines) {
        printJsonLines(list, autoPick);
    } else {
        printText(list, autoPick);
    }
    std::fflush(stdout);
    return ExitStatus::ExitDone;
}

} // namespace PortListing
