// The name lookup's platform pieces on Windows: Winsock's getaddrinfo, and a thread whose handle
// is closed at once, so that it releases itself as it ends.
#include "os/name_lookup.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

namespace Os::NameLookup {

namespace {

DWORD WINAPI entry(LPVOID request) {
    ask(request);
    return 0;
}

} // namespace

int resolve(const char* host, const char* service, addrinfo*& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
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

// WSATRY_AGAIN is the resolver's "no answer": the name servers timed out or failed. The host may
// well exist.
Outcome outcomeOf(int error) {
    switch (error) {
    case WSATRY_AGAIN:
        return Outcome::NameServerSilent;
    case WSAHOST_NOT_FOUND:
    case WSANO_DATA:
    case WSANO_RECOVERY:
        return Outcome::UnknownHost;
    default:
        return Outcome::Failed;
    }
}

bool startAsking(void* request) {
    const HANDLE thread = CreateThread(nullptr, 0, entry, request, 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

} // namespace Os::NameLookup
