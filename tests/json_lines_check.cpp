// Reads the --json output of a run and checks it as a script would rely on it: every line parses
// as a JSON object with "event" and a non-decreasing "t", "start" comes first when it is there,
// and the one "result" comes last and agrees with the exit status and the reason.
// usage: json_lines_check FILE EXIT_STATUS REASON
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

int refuse(size_t line, const std::string& why) {
    std::printf("line %zu: %s\n", line, why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
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
