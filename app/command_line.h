// The options before the five arguments. Every command line the tool accepts is one row of a
// table: which options, how many arguments follow them, and what runs.
#pragma once

#include "session/report.h"

#include <span>
#include <string>
#include <vector>

namespace CommandLine {

// One bit per option, so that a row names its options as a set.
enum OptionFlag : unsigned {
    Help = 1u << 0,
    Version = 1u << 1,
    ListPorts = 1u << 2,
    Json = 1u << 3,
    Check = 1u << 4,
    LogDir = 1u << 5,
    ExactPort = 1u << 6,
    ImageOnStdin = 1u << 7,
    Wait = 1u << 8,
    LedgerFile = 1u << 9,
    Watch = 1u << 10,
    Again = 1u << 11,
    UnitId = 1u << 12,
    ImageSha256 = 1u << 13,
    PresenceProbe = 1u << 14,
    UnitCode = 1u << 15,
    Base = 1u << 16,
    RecordBytes = 1u << 17,
    SaveSrec = 1u << 18,
    ImageOrigin = 1u << 19,
    Report = 1u << 20,
    ReportDay = 1u << 21,
    ReportHtml = 1u << 22,
    DashboardAddress = 1u << 23,
};

inline constexpr int MaxOptions = 32;
inline constexpr int AnyCount = -1; // the row's runner checks the argument count itself

struct Option {
    const char* name;  // "--list-ports"
    unsigned flag;     // its OptionFlag
    const char* value; // the value it takes, as the help names it ("<file>"); nullptr: none
    const char* help;
};

struct Command;

// An accepted command line: exactly these options, then this many arguments.
struct Form {
    unsigned options;   // exactly these options,
    unsigned modifiers; // and any of these
    int arguments;
    ExitStatus (*run)(const Command& command);
};

struct Command {
    const Form* form = nullptr;          // nullptr: refused, problem says why
    std::string problem;                 // one line, without its line end
    unsigned options = 0;                // the OptionFlags given
    const char* values[MaxOptions] = {}; // option values by bit number
    std::vector<char*> argv;             // program name, the arguments after the options, nullptr
    unsigned closedStreams = 0;          // Os::StandardStream bits found closed at start
    int argc() const { return static_cast<int>(argv.size()) - 1; }
};

// Reads the leading options ("--" and a name) against the tables. Without options the row with
// no options is taken whatever the argument count, so the five-argument form keeps its own checks.
Command parse(int argc, char** argv, std::span<const Option> options, std::span<const Form> forms);

// The value given with the option; nullptr when it was not given.
const char* optionValue(const Command& command, OptionFlag flag);

// Parses against the tool's own tables and runs the chosen row; a refused command line prints
// the problem and the help and gives exit status 2. closedStreams: the Os::StandardStream bits
// of the streams that were closed when the process started.
ExitStatus run(int argc, char** argv, unsigned closedStreams);

} // namespace CommandLine
