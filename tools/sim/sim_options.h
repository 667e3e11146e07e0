// Command-line options of the simulated product.
#pragma once

#include <cstddef>
#include <cstdint>

// How the product answers one attempt at a record. Flood: no answer, but a stream of other
// replies for a while.
enum class RecordAnswer : uint8_t { Pass, Busy, Fail, Error, Silent, Flood };

// One planned fault for one attempt at record `record` (1-based): an answer other than PASS, or a
// second answer written together with the first (Silent: none). The product acts on `answer` only.
struct RecordFault {
    uint32_t record;
    RecordAnswer answer;
    RecordAnswer second = RecordAnswer::Silent;
};

// Where a vanishing product closes the line, other than mid-transfer (--vanish-after).
enum class VanishPhase : uint8_t { Never, Connect, Identify, BootWait, AppWait };

enum class StartMode : uint8_t { Application, BootLoader };

// A reboot that never ends (--never-back).
enum class NeverBack : uint8_t { No, BootLoader, Application };

struct SimOptions {
    static constexpr size_t MaxFaults = 256;
    static constexpr uint32_t UnsetMs = 0xFFFFFFFFu;

    const char* portPath = nullptr; // nullptr: create a pseudo-terminal
    StartMode mode = StartMode::Application;
    const char* productId = "KORVA";
    uint32_t rebootMs = 300;
    // The reboot into the boot loader (after UPDATE) and into the new application (after the end
    // record); both --reboot-ms unless given.
    uint32_t bootRebootMs = UnsetMs;
    uint32_t appRebootMs = UnsetMs;
    uint32_t eraseMs = 0; // after the reboot into the boot loader: reads, answers after it
    bool startNoise = false;
    NeverBack neverBack = NeverBack::No;
    // After UPDATE another product's boot loader starts: its FWID answers name this product
    // (nullptr: the boot loader is this product's own), or are an ERROR status (otherBootError).
    const char* otherBootLoader = nullptr;
    bool otherBootError = false;
    uint32_t baud = 0; // 0: no line-rate emulation
    const char* imagePath = nullptr;
    const char* tracePath = nullptr;
    // Faults in the order given; the n-th fault naming a record answers its n-th attempt.
    RecordFault faults[MaxFaults] = {};
    size_t faultCount = 0;
    const char* receivedBytesPath = nullptr;
    uint32_t vanishAfter = 0; // 0: never
    bool vanish = false;
    VanishPhase vanishIn = VanishPhase::Never;
    bool noise = false;
    bool lowercase = false;
    bool quoted = false;
    bool split = false;
    bool neverAnswer = false;
    bool duplicate = false;
    bool exitAfterDone = false;
    // The fixture: units placed and taken away while the line stays open.
    const char* controlPath = nullptr; // place/remove commands, one a line
    bool present = false;              // with --control, a unit is on the fixture at start
    uint32_t absentUntilMs = 0;        // 0: a unit is there from the start
    bool leave = false;
    uint32_t leaveAfterMs = 0; // after the new application's first FWID answer
    bool verbose = false;
    uint32_t seed = 1;
};

namespace SimOptionsParser {

// Whether text can name a product in every reply (--product, --other-boot-loader, the control
// file's place).
bool productIdFits(const char* text);

// Fills options from argv. Prints the problem (or the help text) to stderr and returns false when
// the program should not run; helpRequested tells the two apart.

bool parse(int argc, char** argv, SimOptions& options, bool& helpRequested);

} // namespace SimOptionsParser
