#include "report/shown_text.h"

#include "protocol/wire_format.h"

namespace ShownText {

std::string of(const std::string& text) {
    std::string shown(text.size() * 4 + 1, '\0'); // each byte gives at most four: \xHH
    shown.resize(WireFormat::shownText(text.c_str(), shown.data(), shown.size()));
    return shown;
}

} // namespace ShownText
