// A scripted station for the station's screen: it serves the page with the states and events a
// watch of three fixture ports goes through (waiting, a unit present, a code to scan, updating,
// ok, failed, a unit to remove, another product, and a scanned code that is an HTML tag), so that
// the page can be tried in a browser without a station, and tests/e2e/dashboard_browser.py can
// check it step by step.
//
// usage: dashboard_driver [--listen [HOST:]PORT] [--step-ms MS] [--start-at STEP] [--ports N]
// --ports N: N ports (3 to 48, in threes), each three going through the script. Prints "serving
// http://HOST:PORT/", then "step N" as each step is shown. A line on standard input shows the next
// step (every MS milliseconds with --step-ms); the end of standard input stops the server, giving
// the open pages a second to take the last events.
#include "dashboard/dashboard.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

const char* const Hostile = "<img src=x onerror=alert(1)>";
constexpr double SecondsPerStep = 30.0; // the station's clock runs this much a step
constexpr int StartOfDay = 20 * 3600 + 15 * 60 + 27;

struct Port {
    std::string name;
    int number = 0;
    std::string state = "waiting";
    Json unit = nullptr;
    Json progress = nullptr;
    Json result = nullptr;
    Json reason = nullptr;
    Json seconds = nullptr;
};

constexpr size_t LastUnitsShown = 20;

struct Station {
    std::vector<Port> ports; // in groups of three
    int step = 0;
    int ok = 0;
    int failed = 0;
    std::vector<Json> lastUnits; // newest first
    std::vector<Json> events;    // of the step being made
};

double now(const Station& station) {
    return station.step * SecondsPerStep;
}

std::string clock(double seconds) {
    const int at = StartOfDay + static_cast<int>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "2026-12-09T%02d:%02d:%02dZ", at / 3600 % 24, at / 60 % 60,
                  at % 60);
    return text;
}

void event(Station& station, const char* name, const Port& port, Json fields) {
    Json line = {{"event", name}, {"t", now(station)}, {"port", port.name}};
    line.update(fields);
    station.events.push_back(line);
}

void arrive(Station& station, Port& port, const char* state) {
    port = Port{port.name, port.number};
    port.state = state;
    Json fields = {{"number", port.number}, {"unit", nullptr}};
    if (port.state == "scan") {
        fields["awaiting_code"] = true;
    } else if (port.state == "foreign") {
        fields["foreign"] = true;
    }
    event(station, "arrived", port, fields);
}

void leave(Station& station, Port& port) {
    port = Port{port.name, port.number};
    event(station, "left", port, {{"number", port.number}, {"unit", nullptr}});
}

void update(Station& station, Port& port, const std::string& unit, int percent) {
    if (port.state != "updating") {
        port.state = "updating";
        port.unit = unit;
        event(station, "phase", port, {{"name", "transfer"}});
    }
    port.progress = percent;
    port.seconds = percent * 0.2;
    event(station, "progress", port, {{"record", percent * 2}, {"of", 200}, {"percent", percent}});
}

void finish(Station& station, Port& port, const char* reason, double seconds) {
    const bool ok = std::string(reason) == "done";
    port.state = ok ? "ok" : "failed";
    port.progress = nullptr;
    port.result = ok ? "ok" : "failed";
    port.reason = reason;
    port.seconds = seconds;
    (ok ? station.ok : station.failed) += 1;
    if (station.lastUnits.size() == LastUnitsShown) {
        station.lastUnits.pop_back();
    }
    station.lastUnits.insert(station.lastUnits.begin(), Json{{"time", clock(now(station))},
                                                             {"port", port.name},
                                                             {"unit", port.unit},
                                                             {"result", port.result},
                                                             {"reason", reason},
                                                             {"seconds", seconds}});
    event(station, "result", port,
          {{"ok", ok}, {"exit_status", ok ? 0 : 1}, {"reason", reason}, {"seconds", seconds}});
}

std::string code(int number) {
    char text[32];
    std::snprintf(text, sizeof text, "LOT7-%04d", number);
    return text;
}

// What each "next" shows, for each group of three ports (p[0], p[1], p[2]; the g-th group).
using Step = std::function<void(Station&, Port*, int)>;
const std::vector<Step> Steps = {
    [](Station& s, Port* p, int) {
        arrive(s, p[0], "present");
        arrive(s, p[1], "scan");
    },
    [](Station& s, Port* p, int g) {
        update(s, p[0], code(3 * g + 1), 0);
        p[1].unit = Hostile;
        event(s, "scan", p[1], {{"unit", Hostile}});
        update(s, p[1], Hostile, 0);
        arrive(s, p[2], "foreign");
    },
    [](Station& s, Port* p, int g) {
        update(s, p[0], code(3 * g + 1), 42);
        update(s, p[1], Hostile, 17);
    },
    [](Station& s, Port* p, int) {
        finish(s, p[0], "done", 21.0);
        update(s, p[1], Hostile, 80);
        leave(s, p[2]);
    },
    [](Station& s, Port* p, int) {
        p[0].state = "remove";
        finish(s, p[1], "record_refused", 12.5);
        arrive(s, p[2], "present");
    },
    [](Station& s, Port* p, int g) {
        leave(s, p[0]);
        p[1].state = "remove";
        p[2].unit = code(3 * g + 3);
        event(s, "scan", p[2], {{"unit", p[2].unit}});
        update(s, p[2], code(3 * g + 3), 55);
    },
    [](Station& s, Port* p, int) {
        finish(s, p[2], "done", 19.4);
        arrive(s, p[0], "scan");
        leave(s, p[1]);
    },
};

Json stateOf(const Station& station) {
    Json ports = Json::array();
    for (const Port& port : station.ports) {
        ports.push_back({{"name", port.name},
                         {"number", port.number},
                         {"state", port.state},
                         {"unit", port.unit},
                         {"progress", port.progress},
                         {"result", port.result},
                         {"reason", port.reason},
                         {"seconds", port.seconds}});
    }
    const int tried = station.ok + station.failed;
    const double hours = now(station) / 3600.0;
    return {{"version", "1.5"},
            {"form", "watch"},
            {"image",
             {{"path", "fw/korva-2.0.srec"},
              {"sha256", "d4458d9864e754bbeb501237c3405f31509e9ef761f88e065140a59e5f523a1a"}}},
            {"elapsed_seconds", now(station)},
            {"ports", ports},
            {"counts",
             {{"ok", station.ok},
              {"failed", station.failed},
              {"skipped", 0},
              {"first_pass_yield",
               tried > 0 ? Json(std::round(1000.0 * station.ok / tried) / 1000.0) : Json(nullptr)},
              {"units_per_hour", hours > 0 ? std::round(10.0 * tried / hours) / 10.0 : 0.0}}},
            {"last_units", station.lastUnits}};
}

// Shows the next step: the state first, so that a page that fetches it on an event finds it.
void advance(Station& station, bool tell) {
    if (station.step >= static_cast<int>(Steps.size())) {
        return;
    }
    station.step += 1;
    station.events.clear();
    for (size_t group = 0; group < station.ports.size() / 3; ++group) {
        Steps[static_cast<size_t>(station.step - 1)](station, &station.ports[3 * group],
                                                     static_cast<int>(group));
    }
    Dashboard::setState(stateOf(station).dump());
    if (tell) {
        for (const Json& line : station.events) {
            Dashboard::publish(line.dump());
        }
    }
}

int usage(const std::string& problem) {
    std::cerr << "dashboard_driver: " << problem
              << "\nusage: dashboard_driver [--listen [HOST:]PORT] [--step-ms MS] "
                 "[--start-at STEP] [--ports N]\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    int stepMs = 0;
    int startAt = 0;
    int ports = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            return usage("missing value after " + option);
        }
        const std::string value = argv[++i];
        std::string problem;
        if (option == "--listen") {
            if (!Dashboard::parseAddress(value, host, port, problem)) {
                return usage(problem);
            }
        } else if (option == "--step-ms") {
            stepMs = std::atoi(value.c_str());
        } else if (option == "--start-at") {
            startAt = std::atoi(value.c_str());
        } else if (option == "--ports") {
            ports = std::atoi(value.c_str());
            if (ports < 3 || ports > 48 || ports % 3 != 0) {
                return usage("--ports takes 3, 6, ... 48");
            }
        } else {
            return usage("unknown option " + option);
        }
    }
    Station station;
    for (int i = 0; i < ports; ++i) {
        station.ports.push_back({"/dev/ttyUSB" + std::to_string(i), i + 1});
    }
    while (station.step < startAt && station.step < static_cast<int>(Steps.size())) {
        advance(station, false);
    }
    Dashboard::setState(stateOf(station).dump());
    std::string problem;
    if (!Dashboard::start(host, port, problem)) {
        std::cerr << "dashboard_driver: " << problem << "\n";
        return 1;
    }
    std::cout << "serving http://"
              << (host.find(':') != std::string::npos ? "[" + host + "]" : host) << ":"
              << Dashboard::port() << "/" << std::endl;
    std::cout << "step " << station.step << std::endl;
    if (stepMs > 0) {
        while (station.step < static_cast<int>(Steps.size())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
            advance(station, true);
            std::cout << "step " << station.step << std::endl;
        }
    }
    for (std::string line; std::getline(std::cin, line);) {
        advance(station, true);
        std::cout << "step " << station.step << std::endl;
    }
    Dashboard::stop(1000);
    return 0;
}
