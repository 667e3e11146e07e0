#include "app/command_line.h"
#include "os/console.h"
#include "os/interrupt.h"

int main(int argc, char** argv) {
    // Before anything opens a descriptor: a port opened as descriptor 1 would get the texts.
    const unsigned closedStreams = Os::ensureStandardStreams();
    Os::ignoreBrokenPipe();
    return CommandLine::run(argc, argv, closedStreams);
}
