// One of several processes that append to one ledger at once (ledger_test): LINES lines, each
// naming WRITER as its port and its number as its resends, with a text long enough that a line
// written in pieces would show.
#include "ledger/ledger.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: ledger_append_driver LEDGER WRITER LINES\n");
        return 2;
    }
    const Ledger::Outcome opened = Ledger::open(argv[1]);
    if (opened.status != Ledger::Status::Ok) {
        std::fprintf(stderr, "%s\n", Ledger::describe(opened).c_str());
        return 2;
    }
    LedgerEntry entry;
    entry.port = argv[2];
    entry.after = LedgerAnswer{"application", std::string(12000, 'x')};
    const long lines = std::strtol(argv[3], nullptr, 10);
    for (long i = 0; i < lines; ++i) {
        entry.time = std::chrono::system_clock::now();
        entry.resends = static_cast<uint32_t>(i);
        const Ledger::Outcome outcome = Ledger::append(entry);
        if (outcome.status != Ledger::Status::Ok) {
            std::fprintf(stderr, "%s\n", Ledger::describe(outcome).c_str());
            return 1;
        }
    }
    Ledger::close();
    return 0;
}
