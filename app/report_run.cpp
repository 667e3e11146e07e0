#include "app/report_run.h"

#include "ledger/ledger_report.h"
#include "ledger/ledger_report_html.h"
#include "ledger/ledger_report_table.h"
#include "os/error_text.h"
#include "os/file_write.h"

#include <cstdio>
#include <string>

namespace ReportRun {

namespace {

// The page replaces any file at the path only once it is whole.
bool writePage(const char* path, const std::string& page) {
    int error = 0;
    if (Os::replaceWholeFile(path, page.data(), page.size(), error)) {
        std::printf("Wrote the report to %s\n", path);
        return true;
    }
    std::printf("Error: cannot write the report %s: %s\n", path,
                error != 0 ? Os::errorText(error).c_str() : "not a regular file");
    return false;
}

} // namespace

ExitStatus run(const char* ledger, const char* day, const char* html) {
    const std::string onlyDay = day != nullptr ? day : "";
    if (day != nullptr && !LedgerReport::isDay(onlyDay)) {
        std::printf("Error: --day takes a UTC day as YYYY-MM-DD, not %s\n", day);
        return ExitStatus::ExitNotStarted;
    }
    LedgerReport::Figures figures;
    std::string problem;
    if (!LedgerReport::read(ledger, onlyDay, figures, problem)) {
        std::printf("Error: %s\n", problem.c_str());
        return ExitStatus::ExitNotStarted;
    }
    std::fputs(LedgerReportTable::text(figures, onlyDay).c_str(), stdout);
    if (html != nullptr && !writePage(html, LedgerReportHtml::page(figures, ledger, onlyDay))) {
        return ExitStatus::ExitSessionFailed;
    }
    return ExitStatus::ExitDone;
}

} // namespace ReportRun
