#include "station/station_page.h"

#include "dashboard/dashboard.h"

#include <chrono>

namespace StationPage {

namespace {

using Clock = std::chrono::steady_clock;

// A page that is drawn again five times a second follows a progress bar smoothly enough.
constexpr auto ShowEvery = std::chrono::milliseconds(200);
// How long the open pages get to take the last results before the tool exits.
constexpr uint32_t FlushMs = 2000;

bool serving = false;
Clock::time_point lastShown;

} // namespace

bool open(const ChildUpdate::Invocation& invocation, std::FILE* human) {
    if (invocation.dashboardPort == 0) {
        return true;
    }
    std::string problem;
    if (!Dashboard::start(invocation.dashboardHost, invocation.dashboardPort, problem)) {
        std::fprintf(human, "Error: the station's page cannot be served at %s:%u: %s\n",
                     invocation.dashboardHost.c_str(), invocation.dashboardPort, problem.c_str());
        return false;
    }
    serving = true;
    std::fprintf(human, "The station's page: http://%s/\n",
                 Dashboard::shownAddress(invocation.dashboardHost, Dashboard::port()).c_str());
    return true;
}

void emit(std::FILE* json, const ChildUpdate::Json& event) {
    if (json != nullptr) {
        ChildUpdate::writeEvent(json, event);
    }
    if (serving) {
        Dashboard::publish(ChildUpdate::eventLine(event));
    }
}

bool due() {
    return serving && Clock::now() - lastShown >= ShowEvery;
}

uint32_t waitLimit(uint32_t limit) {
    constexpr uint32_t showMs = static_cast<uint32_t>(ShowEvery.count());
    return serving && limit > showMs ? showMs : limit;
}

void show(const ChildUpdate::Json& snapshot, bool final) {
    if (serving && (final || due())) {
        Dashboard::setState(ChildUpdate::eventLine(snapshot));
        lastShown = Clock::now();
    }
}

void close() {
    if (serving) {
        Dashboard::stop(FlushMs);
        serving = false;
    }
}

} // namespace StationPage
