#include "station/fixture_probes.h"

#include "station/fixture_state.h"

namespace FixtureProbes {

Os::ChildHandle start(const std::string& program, const ChildUpdate::Invocation& invocation,
                      const std::string& port, std::string& problem) {
    return Os::startChild(program,
                          {"--json", "--exact-port", "--presence", port, invocation.baud,
                           invocation.product, invocation.device, invocation.file},
                          Os::ChildStreams{}, problem);
}

std::vector<Station::PortSight> sights(std::string& pending, std::string_view bytes) {
    std::vector<Station::PortSight> told;
    for (const std::string& line : ChildUpdate::takeLines(pending, bytes)) {
        const ChildUpdate::Json event = ChildUpdate::Json::parse(line, nullptr, false);
        const auto name = event.is_object() ? event.find("event") : event.end();
        if (name == event.end() || !name->is_string() || *name != "presence") {
            continue;
        }
        const auto state = event.find("state");
        if (state != event.end() && state->is_string()) {
            told.push_back(Fixture::sightOf(state->get<std::string>()));
        }
    }
    return told;
}

} // namespace FixtureProbes
