#include "ledger/update_facts.h"

#include "report/entry_report.h"

#include <chrono>
#include <mutex>

namespace UpdateFacts {

namespace {

using Clock = std::chrono::steady_clock;

struct Observer {
    std::mutex lock; // the product's answers come on the reply reader's thread
    Reporter inner;
    EntryReporter innerEntry;
    Reporter reporter;
    EntryReporter entryReporter;
    Facts facts;
    bool inPhase = false;
    ReportPhase phase = ReportPhase::Connect;
    Clock::time_point phaseBegan;
    bool transferBegun = false;
    uint32_t lastLine = 0; // of the last progress: a record sent again is not counted twice
};

Observer observer;

uint32_t& phaseTime(LedgerPhases& phases, ReportPhase phase) {
    switch (phase) {
    case ReportPhase::Connect:
        return phases.connect;
    case ReportPhase::Identify:
        return phases.identify;
    case ReportPhase::AwaitBootLoader:
        return phases.bootwait;
    case ReportPhase::Transfer:
        return phases.transfer;
    case ReportPhase::AwaitApplication:
        break;
    }
    return phases.appwait;
}

// Adds the time of the phase in hand up to now; the caller holds the lock.
void countPhase(Clock::time_point now) {
    if (observer.inPhase) {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(now - observer.phaseBegan);
        phaseTime(observer.facts.phasesMs, observer.phase) += static_cast<uint32_t>(ms.count());
        observer.phaseBegan = now;
    }
}

void onPhase(ReportPhase phase) {
    {
        std::lock_guard<std::mutex> guard(observer.lock);
        countPhase(Clock::now());
        observer.inPhase = true;
        observer.phase = phase;
        observer.phaseBegan = Clock::now();
        observer.transferBegun = observer.transferBegun || phase == ReportPhase::Transfer;
    }
    observer.inner.phase(phase);
}

// What the product runs when it is plugged is its first answer; what it runs afterwards, the
// last answer while the new application is awaited. The boot loader's answers in between are
// neither.
void onFirmwareIdentity(const char* productId, FirmwareIdentity identity, const char* version) {
    {
        std::lock_guard<std::mutex> guard(observer.lock);
        const LedgerAnswer answer{
            identity == FirmwareIdentity::Application ? "application" : "boot_loader", version};
        if (observer.inPhase && observer.phase == ReportPhase::AwaitApplication) {
            observer.facts.after = answer;
        } else if (!observer.transferBegun && !observer.facts.before) {
            observer.facts.before = answer;
        }
    }
    observer.inner.firmwareIdentity(productId, identity, version);
}

void onProgress(uint32_t line, uint32_t lines) {
    {
        std::lock_guard<std::mutex> guard(observer.lock);
        observer.facts.recordsSent += line != observer.lastLine ? 1 : 0;
        observer.lastLine = line;
    }
    observer.inner.progress(line, lines);
}

void onResend(uint32_t line, bool busy) {
    {
        std::lock_guard<std::mutex> guard(observer.lock);
        ++observer.facts.resends;
    }
    observer.inner.resend(line, busy);
}

void ended(EndReason reason) {
    std::lock_guard<std::mutex> guard(observer.lock);
    observer.facts.reason = reason;
}

void onSessionFailed(const SessionFailure& failure) {
    ended(failure.reason);
    observer.inner.sessionFailed(failure);
}

void onDone() {
    ended(EndReason::Done);
    observer.inner.done();
}

void onStopped(EndReason reason) {
    ended(reason);
    observer.innerEntry.stopped(reason);
}

} // namespace

void observe() {
    {
        std::lock_guard<std::mutex> guard(observer.lock);
        observer.facts = Facts{};
        observer.inPhase = false;
        observer.transferBegun = false;
        observer.lastLine = 0;
    }
    if (&Report::current() == &observer.reporter) {
        return; // watched already: wrapping itself would pass each event on to itself
    }
    // Every event the inner tables take, with the watched ones in their place.
    observer.inner = Report::current();
    observer.innerEntry = EntryReport::current();
    observer.reporter = observer.inner;
    observer.reporter.phase = onPhase;
    observer.reporter.firmwareIdentity = onFirmwareIdentity;
    observer.reporter.progress = onProgress;
    observer.reporter.resend = onResend;
    observer.reporter.sessionFailed = onSessionFailed;
    observer.reporter.done = onDone;
    observer.entryReporter = observer.innerEntry;
    observer.entryReporter.stopped = onStopped;
    Report::use(&observer.reporter);
    EntryReport::use(&observer.entryReporter);
}

Facts gathered() {
    std::lock_guard<std::mutex> guard(observer.lock);
    countPhase(Clock::now());
    return observer.facts;
}

} // namespace UpdateFacts
