// The ledger report as one self-contained HTML page to attach to a shift report: the tables the
// terminal shows and, for each day, a bar chart of the units an hour as inline SVG. No script, no
// outside resource (a Content-Security-Policy forbids both), every text escaped for HTML.
#pragma once

#include "ledger/ledger_report.h"

#include <string>

namespace LedgerReportHtml {

// text with & < > " ' written as character references, for an element or an attribute.
std::string escaped(const std::string& text);

// The day's chart: 24 bars, each the units whose last update of the day ended in that hour, ok
// and failed stacked.
std::string chart(const LedgerReport::Day& day);

// The whole page; ledgerName and onlyDay name what it reports on.
std::string page(const LedgerReport::Figures& figures, const std::string& ledgerName,
                 const std::string& onlyDay);

} // namespace LedgerReportHtml
