#include "app/option_settings.h"

#include "dashboard/dashboard.h"
#include "os/hex_digits.h"
#include "os/sha256.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace OptionSettings {

namespace {

Settings settings;

// The option's value, else the environment variable's; fromOption says which.
const char* valueOf(const CommandLine::Command& command, CommandLine::OptionFlag flag,
                    const char* variable, bool& fromOption) {
    const char* option = CommandLine::optionValue(command, flag);
    fromOption = option != nullptr;
    if (option != nullptr) {
        return option;
    }
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool settleWait(const CommandLine::Command& command, std::string& problem) {
    bool fromOption = false;
    const char* word = valueOf(command, CommandLine::Wait, "UARTFLASH_WAIT", fromOption);
    if (word == nullptr) {
        return true;
    }
    if (!waitModeFromWord(word, settings.wait.mode)) {
        problem = std::string(fromOption ? "--wait" : "UARTFLASH_WAIT") +
                  " takes poll or fixed, not " + word;
        return false;
    }
    settings.wait.word = word;
    settings.wait.fromOption = fromOption;
    return true;
}

// A child reads the bytes its parent checked against the hash: it has nothing to compare.
bool settleReleasedImage(const CommandLine::Command& command, std::string& problem) {
    if ((command.options & CommandLine::ImageOnStdin) != 0) {
        return true;
    }
    bool fromOption = false;
    const char* hex =
        valueOf(command, CommandLine::ImageSha256, "UARTFLASH_IMAGE_SHA256", fromOption);
    if (hex == nullptr) {
        return true;
    }
    settings.releasedSha256.clear();
    for (const char* c = hex; *c != '\0' && HexDigits::value(*c) >= 0; ++c) {
        settings.releasedSha256 += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    if (settings.releasedSha256.size() != Os::Sha256HexLength || hex[Os::Sha256HexLength] != '\0') {
        problem = std::string(fromOption ? "--image-sha256" : "UARTFLASH_IMAGE_SHA256") +
                  " takes the released image's SHA-256 as 64 hex digits";
        return false;
    }
    settings.releasedFromOption = fromOption;
    return true;
}

bool settleUnitId(const CommandLine::Command& command, std::string& problem) {
    const char* how = CommandLine::optionValue(command, CommandLine::UnitId);
    if (how == nullptr) {
        return true;
    }
    if (std::strcmp(how, "scan") != 0) {
        problem = std::string("--unit-id takes scan, not ") + how;
        return false;
    }
    settings.scanCodes = true;
    return true;
}

// A number as an address is written: decimal, or hex after 0x; false beyond 32 bits.
bool readNumber(const char* text, uint32_t& value) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    uint64_t number = 0;
    if (*digits == '\0') {
        return false;
    }
    for (const char* c = digits; *c != '\0'; ++c) {
        const int digit = hex || (*c >= '0' && *c <= '9') ? HexDigits::value(*c) : -1;
        number = number * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (digit < 0 || number > 0xFFFFFFFFu) {
            return false;
        }
    }
    value = static_cast<uint32_t>(number);
    return true;
}

bool settleConversion(const CommandLine::Command& command, std::string& problem) {
    if (const char* base = CommandLine::optionValue(command, CommandLine::Base)) {
        if (!readNumber(base, settings.conversion.base)) {
            problem = std::string("--base takes an address of 32 bits (0x08000000), not ") + base;
            return false;
        }
        settings.conversion.hasBase = true;
    }
    if (const char* bytes = CommandLine::optionValue(command, CommandLine::RecordBytes)) {
        if (!readNumber(bytes, settings.conversion.recordBytes) ||
            settings.conversion.recordBytes == 0) {
            problem = std::string("--record-bytes takes a number of data bytes, not ") + bytes;
            return false;
        }
    }
    const char* origin = CommandLine::optionValue(command, CommandLine::ImageOrigin);
    if (origin != nullptr && !FirmwareImage::originFromText(origin, settings.origin)) {
        problem = std::string("--image-origin takes FORMAT:SHA256:BYTES, not ") + origin;
        return false;
    }
    return true;
}

bool settleDashboard(const CommandLine::Command& command, std::string& problem) {
    const char* address = CommandLine::optionValue(command, CommandLine::DashboardAddress);
    if (address == nullptr) {
        return true;
    }
    std::string why;
    if (!Dashboard::parseAddress(address, settings.dashboardHost, settings.dashboardPort, why)) {
        problem = std::string("--dashboard takes [HOST:]PORT (8080, 0.0.0.0:8080): ") + why;
        return false;
    }
    return true;
}

} // namespace

bool settle(const CommandLine::Command& command, std::string& problem) {
    // --check reads an image and updates nothing: a station's settings for its updates
    // (UARTFLASH_WAIT, UARTFLASH_IMAGE_SHA256) do not concern it.
    if ((command.options & CommandLine::Check) != 0) {
        return settleConversion(command, problem);
    }
    return settleWait(command, problem) && settleReleasedImage(command, problem) &&
           settleUnitId(command, problem) && settleConversion(command, problem) &&
           settleDashboard(command, problem);
}

const Settings& current() {
    return settings;
}

} // namespace OptionSettings
