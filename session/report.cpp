#include "session/report.h"

#include <atomic>

namespace Report {

namespace {

// Replaced before the reply reader starts and restored after it stops; read on both threads.
std::atomic<const Reporter*> reporter{&ConsoleReporter};

} // namespace

void use(const Reporter* replacement) {
    reporter.store(replacement != nullptr ? replacement : &ConsoleReporter,
                   std::memory_order_release);
}

const Reporter& current() {
    return *reporter.load(std::memory_order_acquire);
}

} // namespace Report
