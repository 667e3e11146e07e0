// A text for a JSON line, event or snapshot: an empty text is null, so that scripts test for a
// missing value one way.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace JsonText {

inline nlohmann::ordered_json orNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

} // namespace JsonText
