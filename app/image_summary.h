// "--check <file>": the image checks an update makes, without a product, and what the image holds.
#pragma once

#include "session/report.h"

namespace ImageSummary {

// Prints the problems as an update would (status 2) or a summary of a good image (status 0).
ExitStatus check(const char* path);

} // namespace ImageSummary
