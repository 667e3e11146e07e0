#include "station/unit_codes.h"

#include "report/shown_text.h"
#include "serial/port_group.h"

#include <algorithm>
#include <cctype>

namespace UnitCodes {

namespace {

using Station::Slot;
using Station::SlotState;
using Station::Watch;

Scan refuse(std::string code, const char* word, std::string problem) {
    Scan scan;
    scan.code = std::move(code);
    scan.refusal = word;
    scan.problem = std::move(problem);
    return scan;
}

bool holdsControlBytes(const std::string& code) {
    return std::any_of(code.begin(), code.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::string shown(const std::string& code) {
    return ShownText::of(code);
}

// The slot a "<number>:" or "<port name>:" prefix names, and the code after it; nullptr when the
// line names no port.
Slot* namedSlot(Watch& watch, const std::string& line, std::string& code) {
    for (Slot& slot : watch.slots) {
        const std::string byName = slot.port + ":";
        const std::string byNumber = std::to_string(slot.number) + ":";
        for (const std::string& prefix : {byName, byNumber}) {
            if (line.size() > prefix.size() && line.compare(0, prefix.size(), prefix) == 0) {
                code = line.substr(prefix.size());
                return &slot;
            }
        }
    }
    return nullptr;
}

bool numberedLike(const std::string& line) {
    const size_t colon = line.find(':');
    return colon != std::string::npos && colon > 0 &&
           std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Why the code cannot name a unit now; nullptr when it can.
const char* refusalOf(const Watch& watch, const std::string& code, std::string& problem) {
    if (holdsControlBytes(code)) {
        problem = "the code " + shown(code) + " holds control bytes";
        return "control_bytes";
    }
    if (code.size() > MaxCodeBytes) {
        problem = "a code of " + std::to_string(code.size()) + " bytes is longer than " +
                  std::to_string(MaxCodeBytes);
        return "too_long";
    }
    if (!watch.again && watch.updated.count(code) != 0) {
        problem = shown(code) + " already updated; --again to do it again";
        return "already_updated";
    }
    const bool queued =
        std::find(watch.codes.begin(), watch.codes.end(), code) != watch.codes.end();
    const bool held = std::any_of(watch.slots.begin(), watch.slots.end(), [&](const Slot& slot) {
        return slot.code == code || (slot.unit == code && (slot.state == SlotState::Starting ||
                                                           slot.state == SlotState::Updating));
    });
    if (queued || held) {
        problem = shown(code) + " already waits for its unit or is being updated";
        return "already_waiting";
    }
    return nullptr;
}

// The code goes to this slot: its unit, if it waits, is updated now.
Scan give(Watch& watch, Slot& slot, const std::string& code) {
    Scan scan;
    scan.accepted = true;
    scan.code = code;
    scan.slotKey = slot.key;
    if (slot.state == SlotState::AwaitingCode && slot.present && watch.accepting) {
        Station::beginUpdate(watch, slot, code);
        scan.startNow = true;
    } else {
        slot.code = code;
    }
    return scan;
}

Scan takeFixed(Watch& watch, const std::string& line) {
    std::string code = line;
    Slot* slot = namedSlot(watch, line, code);
    if (slot == nullptr && numberedLike(line)) {
        return refuse(line, "no_such_port",
                      "no port " + line.substr(0, line.find(':')) + " here (ports 1 to " +
                          std::to_string(watch.slots.size()) + ")");
    }
    std::string problem;
    if (const char* word = refusalOf(watch, code, problem)) {
        return refuse(code, word, problem);
    }
    if (slot == nullptr) {
        const auto waiting =
            std::find_if(watch.slots.begin(), watch.slots.end(), [](const Slot& s) {
                return s.state == SlotState::AwaitingCode && s.code.empty();
            });
        const auto free = std::find_if(watch.slots.begin(), watch.slots.end(),
                                       [](const Slot& s) { return s.code.empty(); });
        slot = waiting != watch.slots.end() ? &*waiting
               : free != watch.slots.end()  ? &*free
                                            : nullptr;
    }
    if (slot == nullptr) {
        return refuse(code, "no_port_free",
                      "every port has a code waiting; <port number>:" + shown(code) +
                          " gives a port another");
    }
    return give(watch, *slot, code);
}

// ALL and SN=: the bridge that has waited longest for a code, else the queue.
Scan takePlugged(Watch& watch, const std::string& code) {
    std::string problem;
    if (const char* word = refusalOf(watch, code, problem)) {
        return refuse(code, word, problem);
    }
    for (Slot& slot : watch.slots) {
        if (slot.state == SlotState::AwaitingCode && slot.present) {
            return give(watch, slot, code);
        }
    }
    if (watch.codes.size() >= MaxGroupPorts) {
        return refuse(code, "no_port_free",
                      std::to_string(watch.codes.size()) + " codes wait for their units already");
    }
    watch.codes.push_back(code);
    Scan scan;
    scan.accepted = true;
    scan.code = code;
    return scan;
}

} // namespace

Scan take(Watch& watch, const std::string& line) {
    if (line.empty()) {
        return {};
    }
    return watch.target.fixedPorts ? takeFixed(watch, line) : takePlugged(watch, line);
}

} // namespace UnitCodes
