// --log-dir: each port's JSON lines in <dir>/<port>.jsonl and its texts in <dir>/<port>.log, as
// the port's update wrote them. Every write, flush and close is checked: a log that could not be
// written whole is a failure of the run, told once, never a record silently cut short.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace PortListLogs {

struct Log {
    std::FILE* file = nullptr;
    std::string path;
    int error = 0;     // errno of the first failed write, flush or close; 0 while whole
    bool told = false; // that failure has been reported
};

struct PortLogs {
    Log events; // <port>.jsonl
    Log texts;  // <port>.log
};

// Creates dir and opens both logs of each port, named by fileSafeName. False with problem
// set (nothing is left open then).
bool open(const std::string& dir, const std::vector<std::string>& portNames,
          std::vector<PortLogs>& logs, std::string& problem);
// Appends and flushes; after a failure the log takes nothing more.
void write(Log& log, std::string_view bytes);
void close(std::vector<PortLogs>& logs);

// "Warning: the log <file> is incomplete: <reason>" for each failure not told yet, which is then
// marked told.
std::vector<std::string> untoldWarnings(std::vector<PortLogs>& logs);
// Every log that is incomplete: its path and the reason.
std::vector<std::pair<std::string, std::string>> incomplete(const std::vector<PortLogs>& logs);

// A port name as a file name: "/dev/ttyUSB0" gives "dev_ttyUSB0"; a name Windows keeps for a
// device gets an underscore ("COM5_"); names already taken get "-2", "-3", ... so that no two
// ports share a file.
std::string fileSafeName(const std::string& name, const std::vector<std::string>& taken);

} // namespace PortListLogs
