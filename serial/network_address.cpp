#include "serial/network_address.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

struct Scheme {
    PortScheme scheme;
    const char* prefix;
};

constexpr Scheme Schemes[] = {{PortScheme::Rfc2217, "rfc2217://"},
                              {PortScheme::RawTcp, "socket://"}};

bool startsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*text)) != *prefix) {
            return false;
        }
    }
    return true;
}

const Scheme* schemeFor(const char* name) {
    for (const Scheme& entry : Schemes) {
        if (name != nullptr && startsWithIgnoringCase(name, entry.prefix)) {
            return &entry;
        }
    }
    return nullptr;
}

// A host name or IPv4 address: no separator of a URL, no blank.
bool plainHostCharacter(char c) {
    return std::isgraph(static_cast<unsigned char>(c)) != 0 && std::strchr(":/[]@?#", c) == nullptr;
}

// "3001": digits only, 1 to 65535; written back without leading zeros.
bool parseService(const char* text, char (&service)[ServiceTextSize]) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > 5) {
        return false;
    }
    uint32_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (value == 0 || value > 65535) {
        return false;
    }
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(value));
    return true;
}

// Copies the host and returns where ":PORT" begins, or nullptr.
const char* takeHost(const char* rest, char (&host)[HostTextSize]) {
    const char* end = nullptr;
    const char* from = rest;
    if (rest[0] == '[') {
        from = rest + 1;
        end = std::strchr(from, ']');
        if (end == nullptr || std::memchr(from, '[', static_cast<size_t>(end - from)) != nullptr) {
            return nullptr;
        }
    } else {
        end = from;
        while (plainHostCharacter(*end)) {
            ++end;
        }
    }
    const size_t length = static_cast<size_t>(end - from);
    if (length == 0 || length >= HostTextSize) {
        return nullptr;
    }
    std::memcpy(host, from, length);
    host[length] = '\0';
    return rest[0] == '[' ? end + 1 : end;
}

} // namespace

namespace NetworkPort {

PortScheme schemeOf(const char* name) {
    const Scheme* scheme = schemeFor(name);
    return scheme != nullptr ? scheme->scheme : PortScheme::Local;
}

const char* serverOf(const char* name) {
    const Scheme* scheme = schemeFor(name);
    return scheme != nullptr ? name + std::strlen(scheme->prefix) : name;
}

bool parse(const char* name, NetworkAddress& address) {
    address = NetworkAddress{};
    const Scheme* scheme = schemeFor(name);
    if (scheme == nullptr) {
        return false;
    }
    const char* colon = takeHost(serverOf(name), address.host);
    if (colon == nullptr || *colon != ':' || !parseService(colon + 1, address.service)) {
        address = NetworkAddress{};
        return false;
    }
    address.scheme = scheme->scheme;
    return true;
}

bool canonicalName(const char* name, char* out, size_t size) {
    NetworkAddress address;
    if (size > 0) {
        out[0] = '\0';
    }
    if (!parse(name, address)) {
        return false;
    }
    for (char* c = address.host; *c != '\0'; ++c) {
        *c = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    const bool bracketed = std::strchr(address.host, ':') != nullptr;
    const int length =
        std::snprintf(out, size, "%s%s%s%s:%s", schemeFor(name)->prefix, bracketed ? "[" : "",
                      address.host, bracketed ? "]" : "", address.service);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        if (size > 0) {
            out[0] = '\0';
        }
        return false;
    }
    return true;
}

} // namespace NetworkPort
