// Child processes on POSIX: posix_spawn with a pipe for standard output, poll over every pipe and
// the wake event's descriptor.
#include "os/os_posix.h"
#include "os/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Os {

struct ChildObject {
    pid_t pid = -1;
    int output = -1; // read end of the child's standard output; -1 once it ended
    bool reaped = false;
};

namespace {

// Closes the descriptor it owns unless released.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

std::string failure(const char* what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

std::string executablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

ChildHandle startChild(const std::string& program, const std::vector<std::string>& args,
                       const std::string& errorPath, std::string& problem) {
    int ends[2];
    // Close-on-exec, so that no other child holds this pipe open and hides its end.
    if (pipe2(ends, O_CLOEXEC) != 0) {
        problem = failure("pipe", errno);
        return nullptr;
    }
    Descriptor readEnd{ends[0]}, writeEnd{ends[1]};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
    posix_spawn_file_actions_addopen(&actions, 2,
                                     errorPath.empty() ? "/dev/null" : errorPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A process group of its own: the terminal's Ctrl+C reaches the parent alone, which passes
    // it on once to every child. The parent's stop handler is not inherited: reset to default.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        problem = failure(program.c_str(), error);
        return nullptr;
    }
    auto* child = new ChildObject;
    child->pid = pid;
    child->output = readEnd.fd;
    readEnd.fd = -1;
    return child;
}

ReadResult readChildren(std::span<const ChildHandle> children, EventHandle wake, uint32_t timeoutMs,
                        const std::function<void(size_t, std::string_view)>& onOutput) {
    std::vector<pollfd> polled;
    std::vector<size_t> owners;
    for (size_t i = 0; i < children.size(); ++i) {
        if (children[i] != nullptr && children[i]->output >= 0) {
            polled.push_back({children[i]->output, POLLIN, 0});
            owners.push_back(i);
        }
    }
    const size_t wakeSlot = polled.size();
    if (wake != nullptr) {
        polled.push_back({eventDescriptor(wake), POLLIN, 0});
    }
    const int limit = timeoutMs > static_cast<uint32_t>(INT_MAX) ? -1 : static_cast<int>(timeoutMs);
    const int ready = poll(polled.data(), polled.size(), limit);
    if (ready <= 0) {
        return ReadResult::Timeout; // EINTR included: the caller looks at its flags and comes back
    }
    bool told = false;
    for (size_t slot = 0; slot < owners.size(); ++slot) {
        if (polled[slot].revents == 0) {
            continue;
        }
        ChildObject* child = children[owners[slot]];
        char bytes[8192];
        const ssize_t n = read(child->output, bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        told = true;
        if (n > 0) {
            onOutput(owners[slot], std::string_view(bytes, static_cast<size_t>(n)));
            continue;
        }
        close(child->output);
        child->output = -1;
        onOutput(owners[slot], std::string_view());
    }
    if (told) {
        return ReadResult::Output;
    }
    if (wake != nullptr && polled[wakeSlot].revents != 0) {
        uint64_t count = 0; // consumes the wake-up; a failed read leaves nothing to consume
        [[maybe_unused]] const ssize_t taken = read(eventDescriptor(wake), &count, sizeof count);
        return ReadResult::Woken;
    }
    return ReadResult::Timeout;
}

bool stopChild(ChildHandle child) {
    return child != nullptr && !child->reaped && kill(child->pid, SIGINT) == 0;
}

void killChild(ChildHandle child) {
    if (child != nullptr && !child->reaped) {
        kill(child->pid, SIGKILL);
    }
}

int finishChild(ChildHandle child) {
    if (child == nullptr) {
        return -1;
    }
    int status = 0;
    pid_t done = -1;
    do {
        done = waitpid(child->pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    child->reaped = true;
    if (child->output >= 0) {
        close(child->output);
    }
    delete child;
    if (done < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

unsigned long childId(ChildHandle child) {
    return child == nullptr ? 0 : static_cast<unsigned long>(child->pid);
}

std::string quoteArgument(std::string_view argument) {
    const bool plain =
        !argument.empty() &&
        argument.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789,._+-:/=@%") == std::string_view::npos;
    if (plain) {
        return std::string(argument);
    }
    std::string quoted = "'";
    for (const char c : argument) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace Os
