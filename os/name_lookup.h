// Looking a host's name up where the wait can be given up: getaddrinfo runs on a thread of its
// own, and the caller stops waiting at a stop request or when its limit has passed. The thread
// owns what it finds until the caller takes it; an answer that nobody waits for any more is freed
// by the thread itself. Inside os/ only: name_lookup.cpp holds the hand-over,
// name_lookup_posix.cpp and name_lookup_win32.cpp the platform's lookup and thread.
#pragma once

#include "os/os.h"
#include "os/socket.h"

#include <cstdint>

struct addrinfo;

namespace Os::NameLookup {

enum class Outcome : uint8_t { Found, UnknownHost, NameServerSilent, Stopped, Failed };

// The TCP addresses of host (service: a port number in decimal). Waits until timeoutMs has passed
// since started (a tick count) or stop is set (a manual-reset event; nullptr: none). Found:
// addresses holds the list, to be given back with release. error: the platform's code when the
// lookup itself failed, for messages; 0 otherwise.
Outcome lookUp(const char* host, const char* service, EventHandle stop, uint32_t timeoutMs,
               uint32_t started, addrinfo*& addresses, int& error);
void release(addrinfo* addresses); // nullptr: nothing

// What the connect makes of a lookup that found nothing.
ConnectResult connectResultOf(Outcome outcome);

// The platform's pieces.
int resolve(const char* host, const char* service, addrinfo*& addresses); // 0 or its error code
Outcome outcomeOf(int error);    // for a code that resolve returned
bool startAsking(void* request); // a thread nobody joins, that runs ask(request)
void ask(void* request);         // the thread's work (name_lookup.cpp)

} // namespace Os::NameLookup
