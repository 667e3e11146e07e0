// Reads the --json output of a run and checks it as a script would rely on it: every line parses
// as a JSON object with "event" and a non-decreasing "t", "start" comes first when it is there,
// and the one "result" comes last and agrees with the exit status and the reason.
// usage: json_lines_check FILE EXIT_STATUS REASON
//        json_lines_check --port-list FILE EXIT_STATUS PORT... (the ports that must be listed as failed)
// With --port-list the file is a port list's output: every event names its port, each port's events
// follow the rules above, and one "summary" ends the file with this status and exactly these
// failed ports.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

int refuse(size_t line, const std::string& why) {
    std::printf("line %zu: %s\n", line, why.c_str());
    return 1;
}

int checkPortList(int argc, char** argv) {
    std::ifstream in(argv[2]);
    const int status = std::stoi(argv[3]);
    std::map<std::string, std::vector<nlohmann::json>> byPort;
    nlohmann::json summary;
    std::string text;
    size_t count = 0;
    while (std::getline(in, text)) {
        ++count;
        const nlohmann::json event = nlohmann::json::parse(text, nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event["event"].is_string()) {
            return refuse(count, "not an event: " + text);
        }
        if (!summary.is_null()) {
            return refuse(count, "an event after the summary");
        }
        if (event["event"] == "summary") {
            summary = event;
        } else if (!event["port"].is_string() || !event["t"].is_number()) {
            return refuse(count, "an event without its port or time: " + text);
        } else {
            byPort[event["port"].get<std::string>()].push_back(event);
        }
    }
    if (summary.is_null()) {
        return refuse(count, "no summary at the end");
    }
    for (const auto& [port, events] : byPort) {
        if (events.front()["event"] != "start" || events.back()["event"] != "result") {
            return refuse(count, port + ": its events do not run from start to result");
        }
        for (size_t i = 1; i < events.size(); ++i) {
            if (events[i]["t"].get<double>() < events[i - 1]["t"].get<double>()) {
                return refuse(count, port + ": times out of order");
            }
        }
        const bool failed = events.back()["exit_status"] != 0;
        bool named = false;
        for (int i = 4; i < argc; ++i) {
            named = named || port == argv[i];
        }
        if (failed != named) {
            return refuse(count, port + ": its result disagrees with the ports that must fail");
        }
    }
    std::vector<std::string> wanted(argv + 4, argv + argc);
    if (summary["exit_status"] != status || summary["ok"] != (status == 0) ||
        summary["failed"] != nlohmann::json(wanted) || summary["ports"].size() != byPort.size()) {
        return refuse(count, "the summary disagrees: " + summary.dump());
    }
    std::printf("%zu lines parse; %zu ports, the summary agrees\n", count, byPort.size());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--port-list") {
        return checkPortList(argc, argv);
    }
    if (argc != 4) {
        std::printf("usage: json_lines_check FILE EXIT_STATUS REASON\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    const int status = std::stoi(argv[2]);
    std::string text;
    nlohmann::json last;
    double t = 0;
    size_t count = 0;
    while (std::getline(in, text)) {
        ++count;
        const nlohmann::json event = nlohmann::json::parse(text, nullptr, false);
        if (event.is_discarded() || !event.is_object() || !event["event"].is_string() ||
            !event["t"].is_number() || event["t"].get<double>() < t) {
            return refuse(count, "not an event with a time in order: " + text);
        }
        if (last.is_object() && last["event"] == "result") {
            return refuse(count, "an event after the result");
        }
        if (event["event"] == "start" && count != 1) {
            return refuse(count, "start is not the first event");
        }
        t = event["t"].get<double>();
        last = event;
    }
    if (count == 0 || last["event"] != "result") {
        return refuse(count, "the last event is not the result");
    }
    if (last["exit_status"] != status || last["ok"] != (status == 0) || last["reason"] != argv[3]) {
        return refuse(count, "the result disagrees with status " + std::to_string(status) +
                                 " and reason " + argv[3] + ": " + last.dump());
    }
    std::printf("%zu lines parse; the result agrees\n", count);
    return 0;
}
