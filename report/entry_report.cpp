#include "report/entry_report.h"

namespace EntryReport {

namespace {

// Used on the main thread only.
const EntryReporter* reporter = &ConsoleEntryReporter;

} // namespace

void use(const EntryReporter* replacement) {
    reporter = replacement != nullptr ? replacement : &ConsoleEntryReporter;
}

const EntryReporter& current() {
    return *reporter;
}

} // namespace EntryReport
