// The page's files, made into byte arrays at build time from dashboard/page/ by
// cmake/embed_files.cmake.
#pragma once

#include <string_view>

namespace PageFiles {

std::string_view index();  // page/index.html
std::string_view style();  // page/station.css
std::string_view script(); // page/station.js

} // namespace PageFiles
