// Which other process has a terminal device open, from /proc: each process's open descriptors
// are links that stat() follows to the device they name.
#include "serial/serial_port_posix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isProcessId(const char* name) {
    if (*name == '\0') {
        return false;
    }
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') {
            return false;
        }
    }
    return true;
}

bool hasDevice(const char* pid, dev_t device) {
    char path[320];
    std::snprintf(path, sizeof path, "/proc/%s/fd", pid);
    DIR* descriptors = opendir(path);
    if (descriptors == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = readdir(descriptors)) {
        char link[640];
        std::snprintf(link, sizeof link, "%s/%s", path, entry->d_name);
        struct stat info {};
        if (entry->d_name[0] != '.' && stat(link, &info) == 0 && S_ISCHR(info.st_mode) &&
            info.st_rdev == device) {
            found = true;
            break;
        }
    }
    closedir(descriptors);
    return found;
}

// The program's name as started (argv[0] without its folder), else the kernel's short name.
void programName(const char* pid, char* name, size_t size) {
    char path[320];
    std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid);
    std::FILE* file = std::fopen(path, "rb");
    size_t length = 0;
    if (file != nullptr) {
        length = std::fread(name, 1, size - 1, file);
        std::fclose(file);
    }
    name[length] = '\0';
    if (name[0] == '\0') {
        std::snprintf(path, sizeof path, "/proc/%s/comm", pid);
        file = std::fopen(path, "rb");
        length = file != nullptr ? std::fread(name, 1, size - 1, file) : 0;
        if (file != nullptr) {
            std::fclose(file);
        }
        name[length] = '\0';
        name[std::strcspn(name, "\n")] = '\0';
        return;
    }
    const char* base = std::strrchr(name, '/');
    if (base != nullptr) {
        std::memmove(name, base + 1, std::strlen(base + 1) + 1);
    }
}

} // namespace

namespace SerialPortPosix {

void describeHolder(int descriptor, char* text, size_t size) {
    std::snprintf(text, size, "-");
    if (size < 2) {
        return;
    }
    struct stat port {};
    if (descriptor < 0 || fstat(descriptor, &port) != 0 || !S_ISCHR(port.st_mode)) {
        return;
    }
    char self[24];
    std::snprintf(self, sizeof self, "%ld", static_cast<long>(getpid()));
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return;
    }
    size_t used = 0;
    while (const dirent* entry = readdir(processes)) {
        if (!isProcessId(entry->d_name) || std::strcmp(entry->d_name, self) == 0 ||
            !hasDevice(entry->d_name, port.st_rdev)) {
            continue;
        }
        char name[64];
        programName(entry->d_name, name, sizeof name);
        const int written =
            std::snprintf(text + used, size - used, "%s%s, process %s", used == 0 ? "" : "; ",
                          name[0] != '\0' ? name : "?", entry->d_name);
        if (written < 0 || static_cast<size_t>(written) >= size - used) {
            text[used] = '\0'; // no cut name: those that fit are told
            break;
        }
        used += static_cast<size_t>(written);
    }
    if (used == 0) {
        std::snprintf(text, size, "-");
    }
    closedir(processes);
}

} // namespace SerialPortPosix
