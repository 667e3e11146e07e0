#include "station/port_list_logs.h"

#include "station/child_update.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace GangLogs {

namespace {

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
        taken.push_back(Gang::fileSafeName(portNames[i], taken));
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

} // namespace GangLogs
