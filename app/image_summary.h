// "--check <file>": the image checks an update makes, without a product, and what the image holds.
#pragma once

#include "session/report.h"

namespace ImageSummary {

// Prints the problems as an update would (status 2) or a summary of a good image (status 0).
// With savePath (nullptr: none) the records that would be sent are written there too; a file not
// written whole gives status 1.
ExitStatus check(const char* path, const char* savePath);

} // namespace ImageSummary
