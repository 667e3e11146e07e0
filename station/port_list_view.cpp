#include "station/port_list_view.h"

#include "report/aligned_table.h"

#include <algorithm>
#include <cstdio>

namespace PortListView {

namespace {

constexpr size_t BarWidth = 20;

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

size_t nameWidth(const std::vector<ChildUpdate::PortRun>& runs) {
    size_t width = 4; // "PORT"
    for (const ChildUpdate::PortRun& run : runs) {
        width = std::max(width, run.name.size());
    }
    return width;
}

std::string liveLine(const ChildUpdate::PortRun& run, size_t width, int columns,
                     const std::string& note) {
    const size_t filled = BarWidth * std::min(run.percent, 100u) / 100;
    const std::string bar = std::string(filled, '#') + std::string(BarWidth - filled, '-');
    const std::string state = run.ended ? ChildUpdate::resultWord(run)
                                        : (run.started ? run.phase : std::string("waiting"));
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%3u%%  resends %-3u", run.percent, run.resends);
    std::string line =
        padded(run.name, width) + "  " + padded(state, 17) + " [" + bar + "] " + numbers;
    if (run.ended) {
        char outcome[96];
        std::snprintf(outcome, sizeof outcome, " %s, %.1f s", run.reason.c_str(), run.seconds);
        line += outcome;
    }
    line += note;
    if (columns > 1 && line.size() > static_cast<size_t>(columns - 1)) {
        line.resize(static_cast<size_t>(columns - 1));
    }
    return line;
}

std::string summaryTable(const std::vector<ChildUpdate::PortRun>& runs) {
    std::vector<AlignedTable::Row> rows = {{"PORT", "RESULT", "REASON", "RECORDS", "SECONDS"}};
    for (const ChildUpdate::PortRun& run : runs) {
        char secondsText[32];
        std::snprintf(secondsText, sizeof secondsText, "%.1f", run.seconds);
        rows.push_back(
            {run.name, ChildUpdate::resultWord(run), run.reason.empty() ? "-" : run.reason,
             std::to_string(run.recordsSent) + "/" + std::to_string(run.records), secondsText});
    }
    return AlignedTable::render(rows);
}

} // namespace PortListView
