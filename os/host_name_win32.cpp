#include "os/host_name.h"

#include <windows.h>

namespace Os {

// The DNS host name keeps its case and length; the NetBIOS name is the fallback.
std::string hostName() {
    char name[256] = {};
    DWORD size = sizeof name;
    if (GetComputerNameExA(ComputerNameDnsHostname, name, &size)) {
        return std::string(name, size);
    }
    size = sizeof name;
    if (GetComputerNameA(name, &size)) {
        return std::string(name, size);
    }
    return {};
}

} // namespace Os
