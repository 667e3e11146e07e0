// The hand-over between a lookup's thread and its caller, over the os events; platform-free.
#include "os/name_lookup.h"

#include <atomic>
#include <cstddef>
#include <cstring>

namespace Os::NameLookup {

namespace {

constexpr size_t HostCapacity = 256;
constexpr size_t ServiceCapacity = 8;
// One port opens at a time; the others are lookups given up on whose threads still run.
constexpr int RequestCount = 4;

// Who has a request: nobody (Free); its thread, while the caller waits (Asking); the caller, once
// the thread has answered (Answered); the thread alone, once the caller has stopped waiting
// (Abandoned), which frees the answer and the request as it ends.
enum class Holder : uint8_t { Free, Asking, Answered, Abandoned };

struct Request {
    std::atomic<Holder> holder{Holder::Free};
    // Auto-reset, made at the request's first use and kept: a set that comes late only wakes a
    // later wait, which goes by holder.
    EventHandle answered = nullptr;
    char host[HostCapacity] = {};
    char service[ServiceCapacity] = {};
    addrinfo* addresses = nullptr;
    int error = 0;
};

Request requests[RequestCount];

bool fill(Request& request, const char* host, const char* service) {
    if (request.answered == nullptr) {
        request.answered = createEvent(EventReset::Auto);
    }
    if (request.answered == nullptr) {
        return false;
    }
    resetEvent(request.answered);
    std::memcpy(request.host, host, std::strlen(host) + 1);
    std::memcpy(request.service, service, std::strlen(service) + 1);
    request.addresses = nullptr;
    request.error = 0;
    return true;
}

// A free request with the names copied in, its thread started; nullptr when none could be.
Request* start(const char* host, const char* service) {
    if (std::strlen(host) >= HostCapacity || std::strlen(service) >= ServiceCapacity) {
        return nullptr;
    }
    for (Request& request : requests) {
        Holder expected = Holder::Free;
        if (!request.holder.compare_exchange_strong(expected, Holder::Asking,
                                                    std::memory_order_acq_rel)) {
            continue;
        }
        if (fill(request, host, service) && startAsking(&request)) {
            return &request;
        }
        request.holder.store(Holder::Free, std::memory_order_release);
        return nullptr;
    }
    return nullptr;
}

// The thread has answered: the answer becomes the caller's and the request free again.
Outcome take(Request& request, addrinfo*& addresses, int& error) {
    addresses = request.addresses;
    error = request.error;
    request.addresses = nullptr;
    request.holder.store(Holder::Free, std::memory_order_release);
    return error == 0 ? Outcome::Found : outcomeOf(error);
}

// The caller stops waiting. False when the thread answered just before: the answer is the
// caller's after all.
bool abandon(Request& request) {
    Holder expected = Holder::Asking;
    return request.holder.compare_exchange_strong(expected, Holder::Abandoned,
                                                  std::memory_order_acq_rel);
}

WaitResult await(const Request& request, EventHandle stop, uint32_t timeoutMs, uint32_t started) {
    const uint32_t elapsed = tickCount() - started;
    const uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
    if (stop == nullptr) {
        return waitEvent(request.answered, left) ? WaitResult::Second : WaitResult::Timeout;
    }
    return waitFirstOf(stop, request.answered, left);
}

// Gives up at a stop or the limit; an answer that came meanwhile is dropped at a stop, taken at
// the limit.
Outcome giveUp(Request& request, bool stopped, addrinfo*& addresses, int& error) {
    if (abandon(request)) {
        return stopped ? Outcome::Stopped : Outcome::NameServerSilent;
    }
    const Outcome answered = take(request, addresses, error);
    if (!stopped) {
        return answered;
    }
    release(addresses);
    addresses = nullptr;
    error = 0;
    return Outcome::Stopped;
}

} // namespace

void ask(void* argument) {
    Request& request = *static_cast<Request*>(argument);
    const EventHandle answered = request.answered;
    addrinfo* addresses = nullptr;
    const int error = resolve(request.host, request.service, addresses);
    request.addresses = addresses;
    request.error = error;
    Holder expected = Holder::Asking;
    if (request.holder.compare_exchange_strong(expected, Holder::Answered,
                                               std::memory_order_acq_rel)) {
        setEvent(answered); // the request is the caller's now: only the local copy is touched
        return;
    }
    release(addresses); // nobody waits for it any more
    request.addresses = nullptr;
    request.holder.store(Holder::Free, std::memory_order_release);
}

Outcome lookUp(const char* host, const char* service, EventHandle stop, uint32_t timeoutMs,
               uint32_t started, addrinfo*& addresses, int& error) {
    addresses = nullptr;
    error = 0;
    if (stop != nullptr && waitEvent(stop, 0)) {
        return Outcome::Stopped;
    }
    Request* request = start(host, service);
    if (request == nullptr) {
        return Outcome::Failed;
    }
    for (;;) {
        const WaitResult woke = await(*request, stop, timeoutMs, started);
        if (woke == WaitResult::First) {
            return giveUp(*request, true, addresses, error);
        }
        if (request->holder.load(std::memory_order_acquire) == Holder::Answered) {
            return take(*request, addresses, error);
        }
        if (woke != WaitResult::Second) {
            return giveUp(*request, false, addresses, error);
        }
        // A set left over from an earlier lookup in this request: wait on.
    }
}

ConnectResult connectResultOf(Outcome outcome) {
    switch (outcome) {
    case Outcome::UnknownHost:
        return ConnectResult::UnknownHost;
    case Outcome::NameServerSilent:
        return ConnectResult::NameServerSilent;
    case Outcome::Stopped:
        return ConnectResult::Stopped;
    case Outcome::Found:
    case Outcome::Failed:
        break;
    }
    return ConnectResult::Failed;
}

} // namespace Os::NameLookup
