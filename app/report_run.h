// --report: a ledger summed up by UTC day for a shift's report, on the terminal and, with --html,
// as one HTML page written whole or not at all.
#pragma once

#include "session/report.h"

namespace ReportRun {

// day: "YYYY-MM-DD" or nullptr for every day; html: the page's path or nullptr for none.
// 0 when the report was shown (and written); 2 for a bad day or a ledger that cannot be read;
// 1 when the page could not be written.
ExitStatus run(const char* ledger, const char* day, const char* html);

} // namespace ReportRun
