// The program's front door: banner, argument checks, device word and the choice of the port.
#pragma once

#include "session/report.h"
#include "session/session_state.h"

#include <cstddef>
#include <cstdint>

enum class PrepareResult : int { Stop = 0, Proceed = 1 };

// The UPDATE argument "<product id> ARM" and its NUL must fit updateArgs.
inline constexpr size_t MaxProductIdLength = UpdateArgsSize - sizeof(" ARM");

// Prints the banner and checks the arguments in order: count, firmware file readable, device
// word, product identifier, then the image (read once, checked whole), then opens the ledger
// asked for (LedgerRecord) and chooses the port. On
// Stop the reason has been printed and no port was listed or opened.
PrepareResult prepareSession(int argc, char** argv, UpdateRequest& request);

// The arguments every form checks before it touches a port, in this order: the image file can be
// read, the device word, the product identifier, then the image itself (read once, checked whole
// and held by FirmwareImage). On false the reason has been printed and refusal says which.
bool checkUpdateArguments(const char* productId, const char* deviceWord, const char* imagePath,
                          UpdateRequest& request, EndReason& refusal);

// A signed decimal as the baud-rate argument is read: leading blanks, optional sign, digits up to
// the first other character; no digits gives 0, numbers beyond 32 bits saturate.
int32_t readBaudRate(const char* text);
