#include "station/port_list_logs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace PortListLogs {

namespace {

// Windows keeps these names, with any extension, for its devices.
bool reservedOnWindows(const std::string& name) {
    std::string upper;
    for (const char c : name.substr(0, name.find('.'))) {
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    const bool numbered = upper.size() == 4 && upper[3] >= '1' && upper[3] <= '9' &&
                          (upper.starts_with("COM") || upper.starts_with("LPT"));
    return numbered || upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL";
}

bool openLog(Log& log, const std::string& path, std::string& problem) {
    log.path = path;
    log.file = std::fopen(path.c_str(), "wb");
    if (log.file == nullptr) {
        problem = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void fail(Log& log) {
    if (log.error == 0) {
        log.error = errno != 0 ? errno : EIO;
    }
}

void closeLog(Log& log) {
    if (log.file == nullptr) {
        return;
    }
    errno = 0;
    if (std::fclose(log.file) != 0) {
        fail(log);
    }
    log.file = nullptr;
}

template <typename Visit> void eachLog(std::vector<PortLogs>& logs, Visit visit) {
    for (PortLogs& port : logs) {
        visit(port.events);
        visit(port.texts);
    }
}

} // namespace

bool open(const std::string& dir, const std::vector<std::string>& portNames,
          std::vector<PortLogs>& logs, std::string& problem) {
    logs.assign(portNames.size(), PortLogs{});
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    std::vector<std::string> taken;
    for (size_t i = 0; i < portNames.size(); ++i) {
        taken.push_back(fileSafeName(portNames[i], taken));
        const std::string base = (std::filesystem::path(dir) / taken.back()).string();
        if (!openLog(logs[i].events, base + ".jsonl", problem) ||
            !openLog(logs[i].texts, base + ".log", problem)) {
            close(logs);
            logs.clear();
            return false;
        }
    }
    return true;
}

void write(Log& log, std::string_view bytes) {
    if (log.file == nullptr || log.error != 0) {
        return;
    }
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), log.file) != bytes.size() ||
        std::fflush(log.file) != 0) {
        fail(log);
    }
}

void close(std::vector<PortLogs>& logs) {
    eachLog(logs, closeLog);
}

std::vector<std::string> untoldWarnings(std::vector<PortLogs>& logs) {
    std::vector<std::string> warnings;
    eachLog(logs, [&](Log& log) {
        if (log.error != 0 && !log.told) {
            log.told = true;
            warnings.push_back("Warning: the log " + log.path +
                               " is incomplete: " + std::strerror(log.error));
        }
    });
    return warnings;
}

std::vector<std::pair<std::string, std::string>> incomplete(const std::vector<PortLogs>& logs) {
    std::vector<std::pair<std::string, std::string>> found;
    for (const PortLogs& port : logs) {
        for (const Log* log : {&port.events, &port.texts}) {
            if (log->error != 0) {
                found.emplace_back(log->path, std::strerror(log->error));
            }
        }
    }
    return found;
}

std::string fileSafeName(const std::string& name, const std::vector<std::string>& taken) {
    std::string safe;
    for (const char c : name) {
        const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '-';
        safe += kept ? c : '_';
    }
    safe.erase(0, std::min(safe.find_first_not_of("_."), safe.size())); // no hidden files
    if (safe.empty()) {
        safe = "port";
    }
    if (reservedOnWindows(safe)) {
        safe += "_"; // "COM5.jsonl" would open the port COM5 itself
    }
    std::string chosen = safe;
    for (int n = 2; std::find(taken.begin(), taken.end(), chosen) != taken.end(); ++n) {
        chosen = safe + "-" + std::to_string(n);
    }
    return chosen;
}

} // namespace PortListLogs
