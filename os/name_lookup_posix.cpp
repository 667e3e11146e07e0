// The name lookup's platform pieces on POSIX: getaddrinfo, and a detached pthread to run it.
#include "os/name_lookup.h"

#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>

namespace Os::NameLookup {

namespace {

void* entry(void* request) {
    ask(request);
    return nullptr;
}

} // namespace

int resolve(const char* host, const char* service, addrinfo*& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addresses = nullptr;
    const int error = getaddrinfo(host, service, &hints, &addresses);
    if (error != 0) {
        addresses = nullptr;
    }
    return error;
}

void release(addrinfo* addresses) {
    if (addresses != nullptr) {
        freeaddrinfo(addresses);
    }
}

// EAI_AGAIN is the resolver's "no answer": every name server timed out, refused or failed
// (SERVFAIL). The host may well exist.
Outcome outcomeOf(int error) {
    switch (error) {
    case EAI_AGAIN:
        return Outcome::NameServerSilent;
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_FAIL:
    case EAI_ADDRFAMILY:
        return Outcome::UnknownHost;
    default:
        return Outcome::Failed;
    }
}

bool startAsking(void* request) {
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, entry, request) != 0) {
        return false;
    }
    pthread_detach(thread);
    return true;
}

} // namespace Os::NameLookup
