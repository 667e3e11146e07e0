// The values of the options that every update form takes, and of the environment variables that
// a station sets once for every run (UARTFLASH_WAIT, UARTFLASH_IMAGE_SHA256): settled before the
// update starts, and a value that names nothing the tool knows refuses the command line.
#pragma once

#include "app/command_line.h"
#include "session/firmware_image.h"
#include "session/session_state.h"

#include <string>

namespace OptionSettings {

// --wait, else UARTFLASH_WAIT, else the fixed pauses. The word as given (nullptr: neither) goes on
// to the children of a port list or a watch.
struct WaitChoice {
    WaitMode mode = WaitMode::Fixed;
    const char* word = nullptr;
    bool fromOption = false;
};

struct Settings {
    WaitChoice wait;
    // --image-sha256, else UARTFLASH_IMAGE_SHA256: the released image's hash in lower-case hex;
    // empty when any image goes.
    std::string releasedSha256;
    bool releasedFromOption = false;
    bool scanCodes = false; // --unit-id scan
    // --base and --record-bytes: how an image that is not S-records becomes S-records.
    ImageConversion::Options conversion;
    // --image-origin: the facts of the file a parent made this child's records from.
    FirmwareImage::Origin origin;
    // --dashboard: where the station's page is served; port 0: no page.
    std::string dashboardHost;
    uint16_t dashboardPort = 0;
};

// False with problem set (one line, without its line end) when a value is refused.
bool settle(const CommandLine::Command& command, std::string& problem);
const Settings& current();

} // namespace OptionSettings
