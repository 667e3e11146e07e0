// The program's front door: banner, argument checks, device word and the choice of the port.
#pragma once

#include "report/update_arguments.h"
#include "session/session_state.h"

enum class PrepareResult : int { Stop = 0, Proceed = 1 };

// Prints the banner and checks the arguments in order: count, firmware file readable, device
// word, product identifier, then the image (read once, checked whole), then opens the ledger
// asked for (LedgerRecord) and chooses the port. On
// Stop the reason has been printed and no port was listed or opened.
PrepareResult prepareSession(int argc, char** argv, UpdateRequest& request);
