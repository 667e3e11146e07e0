// "[HOST:]PORT" for the station's screen. Only the form is checked here; whether the host is an
// address of this machine shows when the server binds to it.
#include "dashboard/dashboard.h"

#include <algorithm>
#include <string_view>

namespace Dashboard {

namespace {

constexpr const char* DefaultHost = "127.0.0.1";
constexpr size_t HostNameLimit = 253;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHex(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool parsePort(std::string_view text, uint16_t& port, std::string& problem) {
    unsigned long value = 0;
    if (!text.empty() && text.size() <= 5 && std::all_of(text.begin(), text.end(), isDigit)) {
        for (char c : text) {
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
    }
    if (value < 1 || value > 65535) {
        problem = "the port must be a number from 1 to 65535, not " +
                  (text.empty() ? std::string("nothing") : std::string(text));
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// A name or an IPv4 address: letters, digits, dots and hyphens.
bool isHostName(std::string_view host) {
    return !host.empty() && host.size() <= HostNameLimit &&
           std::all_of(host.begin(), host.end(),
                       [](char c) { return isLetter(c) || isDigit(c) || c == '.' || c == '-'; });
}

// An IPv6 address, perhaps with a zone after '%' ("fe80::1%eth0").
bool isIpv6(std::string_view host) {
    const size_t zone = host.find('%');
    const std::string_view address = host.substr(0, zone);
    const bool addressOk = address.find(':') != std::string_view::npos &&
                           std::all_of(address.begin(), address.end(),
                                       [](char c) { return isHex(c) || c == ':' || c == '.'; });
    if (zone == std::string_view::npos) {
        return addressOk;
    }
    const std::string_view name = host.substr(zone + 1);
    return addressOk && isHostName(name);
}

bool parseBracketed(std::string_view text, std::string& host, uint16_t& port,
                    std::string& problem) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
        problem = "an address in brackets needs a port after it: [::1]:8080";
        return false;
    }
    const std::string_view inside = text.substr(1, close - 1);
    if (!isIpv6(inside)) {
        problem = "not an IPv6 address: [" + std::string(inside) + "]";
        return false;
    }
    if (!parsePort(text.substr(close + 2), port, problem)) {
        return false;
    }
    host = inside;
    return true;
}

} // namespace

bool parseAddress(const std::string& text, std::string& host, uint16_t& port,
                  std::string& problem) {
    problem.clear();
    const std::string_view whole = text;
    if (whole.empty()) {
        problem = "no address: give a port (8080) or a host and a port (0.0.0.0:8080)";
        return false;
    }
    if (whole.front() == '[') {
        return parseBracketed(whole, host, port, problem);
    }
    const size_t colon = whole.rfind(':');
    if (colon == std::string_view::npos) {
        if (!parsePort(whole, port, problem)) {
            return false;
        }
        host = DefaultHost;
        return true;
    }
    const std::string_view name = whole.substr(0, colon);
    if (name.find(':') != std::string_view::npos) {
        problem = "an IPv6 address goes in brackets: [::1]:8080";
        return false;
    }
    if (name.empty()) {
        problem = "no host before the colon: give the port alone (8080) for 127.0.0.1";
        return false;
    }
    if (!isHostName(name)) {
        problem = "not a host name or address: " + std::string(name);
        return false;
    }
    if (!parsePort(whole.substr(colon + 1), port, problem)) {
        return false;
    }
    host = name;
    return true;
}

std::string shownAddress(const std::string& host, uint16_t port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

} // namespace Dashboard
