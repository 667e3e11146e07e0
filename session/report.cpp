#include "session/report.h"

#include <atomic>

namespace Report {

namespace {

// Set before the reply reader starts and cleared after it stops; read on both threads.
std::atomic<const ReportObserver*> current{nullptr};

const ReportObserver* observer() {
    return current.load(std::memory_order_acquire);
}

} // namespace

void observe(const ReportObserver* replacement) {
    current.store(replacement, std::memory_order_release);
}

void port(const char* name) {
    if (const ReportObserver* o = observer()) {
        o->port(name);
    }
}

void phase(ReportPhase phase) {
    if (const ReportObserver* o = observer()) {
        o->phase(phase);
    }
}

void device(const char* productId, FirmwareIdentity identity, const char* version) {
    if (const ReportObserver* o = observer()) {
        o->device(productId, identity, version);
    }
}

void progress(uint32_t line, uint32_t lines) {
    if (const ReportObserver* o = observer()) {
        o->progress(line, lines);
    }
}

void resend(uint32_t line, bool busy) {
    if (const ReportObserver* o = observer()) {
        o->resend(line, busy);
    }
}

void replyReport(const char* command, const char* statusText) {
    if (const ReportObserver* o = observer()) {
        o->replyReport(command, statusText);
    }
}

void end(EndReason reason) {
    if (const ReportObserver* o = observer()) {
        o->end(reason);
    }
}

} // namespace Report
