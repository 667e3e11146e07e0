// The arguments every form that updates checks before it touches a port, and the baud rate as
// the command line reads it: a single update, a port list and a watch share them.
#pragma once

#include "session/report.h"
#include "session/session_state.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The UPDATE argument "<product id> ARM" and its NUL must fit updateArgs.
inline constexpr size_t MaxProductIdLength = UpdateArgsSize - sizeof(" ARM");

// The arguments every form checks before it touches a port, in this order: the image file can be
// read, the device word, the product identifier, then the image itself (read once, checked whole
// and held by FirmwareImage). On false the reason has been printed and refusal says which.
bool checkUpdateArguments(const char* productId, const char* deviceWord, const char* imagePath,
                          UpdateRequest& request, EndReason& refusal);

namespace UpdateArguments {

// The released image's SHA-256 in lower-case hex: an image whose file hashes otherwise is
// refused by checkUpdateArguments. Empty: any image.
void requireImage(const std::string& sha256Hex);

} // namespace UpdateArguments

// A signed decimal as the baud-rate argument is read: leading blanks, optional sign, digits up to
// the first other character; no digits gives 0, numbers beyond 32 bits saturate.
int32_t readBaudRate(const char* text);
