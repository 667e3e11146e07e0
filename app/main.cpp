#include "app/command_line.h"
#include "os/interrupt.h"

int main(int argc, char** argv) {
    Os::ignoreBrokenPipe();
    return CommandLine::run(argc, argv);
}
