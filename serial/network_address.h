// A port name that reaches a serial port over the network: rfc2217://HOST:PORT (Telnet with
// COM-PORT-OPTION) or socket://HOST:PORT (raw TCP). HOST is a name, an IPv4 address or an IPv6
// address in brackets; the scheme is read in any case. Every other name is a local port.
// Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>

enum class PortScheme : uint8_t { Local, Rfc2217, RawTcp };

inline constexpr size_t HostTextSize = 256;
inline constexpr size_t ServiceTextSize = 6; // "65535"

struct NetworkAddress {
    PortScheme scheme = PortScheme::Local;
    char host[HostTextSize] = {};       // without the brackets of an IPv6 address
    char service[ServiceTextSize] = {}; // the port number in decimal, without leading zeros
};

namespace NetworkPort {

// Local for a name without one of the two schemes.
PortScheme schemeOf(const char* name);

// False when the name has no network scheme or its rest is not HOST:PORT with a port number
// from 1 to 65535.
bool parse(const char* name, NetworkAddress& address);

// The text after "://", for messages: "lab1:3001".
const char* serverOf(const char* name);

// The name in one spelling, so that a port named twice is seen: the scheme and host in lower
// case, the port number without leading zeros. False (and out empty) when parse refuses it or it
// does not fit.
bool canonicalName(const char* name, char* out, size_t size);

} // namespace NetworkPort
