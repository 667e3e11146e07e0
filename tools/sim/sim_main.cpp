// uartflash-sim: a simulated product for trying and testing uartflash without hardware.
#include "sim_control.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_product.h"

#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopSignal = 0;
volatile pid_t sessionChild = 0;

void onStopSignal(int signal) {
    stopSignal = signal;
}

void forwardSignal(int signal) {
    if (sessionChild > 0)
        kill(sessionChild, signal);
}

void installHandlers(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler; // no SA_RESTART: a signal must end a waiting poll
    sigemptyset(&action.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaction(s, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// The pseudo-terminal becomes our controlling terminal, which takes a session of our own. A process
// group leader (started by an interactive shell) cannot start one, so it forks a child that can and
// waits for it, passing on stop signals. Returns in the process that should serve the line.
bool leadOwnSession() {
    if (setsid() >= 0)
        return true;
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0)
        return setsid() >= 0;
    sessionChild = child;
    installHandlers(forwardSignal);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

bool openLine(const SimOptions& options) {
    if (options.portPath)
        return SimLine::openDevice(options.portPath, options.baud ? options.baud : 115200);
    char path[256];
    if (!leadOwnSession() || !SimLine::openPseudoTerminal(path, sizeof path))
        return false;
    std::printf("%s\n", path);
    std::fflush(stdout);
    return true;
}

// Carries out the fixture commands written so far. Read after the line's bytes, so that a command
// written before them takes effect first.
void followControl() {
    SimControl::Order order{};
    while (SimControl::next(order)) {
        if (order.command == SimControl::Command::Place)
            SimProduct::place(order.productId);
        else
            SimProduct::takeAway();
    }
}

// Serves the line until a stop signal, a vanishing fault, or (when asked) the other side's final
// close. True when the product vanished.
bool serve(const SimOptions& options) {
    uint8_t bytes[4096];
    while (stopSignal == 0) {
        size_t received = 0;
        uint64_t arrivalNs = 0;
        SimProduct::FeedResult late = SimProduct::FeedResult::Continue;
        const int timeoutMs = SimProduct::advance(late);
        if (late != SimProduct::FeedResult::Continue)
            return late == SimProduct::FeedResult::Vanish;
        const SimLine::WaitResult result =
            SimLine::receive(bytes, sizeof bytes, received, timeoutMs, arrivalNs);
        followControl();
        switch (result) {
        case SimLine::WaitResult::Data:
            if (options.exitAfterDone)
                SimLine::releaseOtherEnd(); // from now on the other side's close is visible
            switch (SimProduct::feed(bytes, received, arrivalNs)) {
            case SimProduct::FeedResult::Vanish:
                return true;
            case SimProduct::FeedResult::LineGone:
                return false;
            case SimProduct::FeedResult::Continue:
                break;
            }
            break;
        case SimLine::WaitResult::Closed:
            if (options.portPath || (options.exitAfterDone && SimProduct::talked()))
                return false;
            usleep(20'000); // nobody has the other end open yet
            break;
        case SimLine::WaitResult::Idle:
        case SimLine::WaitResult::Interrupted:
            break;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    static SimOptions options;
    bool helpRequested = false;
    if (!SimOptionsParser::parse(argc, argv, options, helpRequested))
        return helpRequested ? 0 : 2;
    installHandlers(onStopSignal);
    prctl(PR_SET_TIMERSLACK, 1ul); // paced bytes need sleeps close to a UART's byte time
    // The control file exists before the port is named: a test writes to it as soon as it knows
    // the port.
    if (options.controlPath && !SimControl::open(options.controlPath))
        return 1;
    if (!openLine(options)) {
        SimControl::close();
        return 1;
    }
    SimLine::wakeAlsoOn(SimControl::descriptor());
    SimLine::configure(options.baud, options.split);
    if (!SimProduct::start(options)) {
        SimControl::close();
        return 1;
    }
    const bool vanished = serve(options);
    SimLine::close();
    SimControl::close();
    if (vanished) // a test measures the tool's reaction from here
        std::fprintf(stderr, "uartflash-sim: line closed at monotonic ns %llu\n",
                     static_cast<unsigned long long>(SimLine::nowNs()));
    SimProduct::finish();
    return 0;
}
