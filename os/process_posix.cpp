// Child processes on POSIX: posix_spawn with pipes for standard output and error, poll over every
// pipe and the wake event's descriptor; their shared input is an unnamed file.
#include "os/os_posix.h"
#include "os/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
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
    int streams[2] = {-1, -1}; // read ends of its standard output and error; -1 once ended
    bool reaped = false;
};

struct SharedInputObject {
    int fd = -1;
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

namespace {

int privateFile(std::string& problem) {
    const char* folder = std::getenv("TMPDIR");
    const std::string dir = folder != nullptr && folder[0] != '\0' ? folder : "/tmp";
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
    // Where the file system has no unnamed files: a named one, unlinked before use.
    std::string path = dir + "/uartflash-image-XXXXXX";
    const int named = mkostemp(path.data(), O_CLOEXEC);
    if (named < 0) {
        problem = failure(dir.c_str(), errno);
        return -1;
    }
    unlink(path.c_str());
    return named;
}

bool writeAll(int fd, std::span<const char> bytes, std::string& problem) {
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            problem = failure("the image's private copy", n < 0 ? errno : ENOSPC);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

// The read end stays here, close-on-exec, so that no other child holds the pipe open and hides
// its end; the write end becomes the child's descriptor target.
bool openPipe(Descriptor& readEnd, Descriptor& writeEnd, std::string& problem) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        problem = failure("pipe", errno);
        return false;
    }
    readEnd.fd = ends[0];
    writeEnd.fd = ends[1];
    return true;
}

void defaultSignals(posix_spawnattr_t& attributes) {
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
}

} // namespace

SharedInput makeSharedInput(std::span<const char> bytes, std::string& problem) {
    Descriptor file{privateFile(problem)};
    if (file.fd < 0 || !writeAll(file.fd, bytes, problem)) {
        return nullptr;
    }
    auto* input = new SharedInputObject;
    input->fd = file.fd;
    file.fd = -1;
    return input;
}

void closeSharedInput(SharedInput input) {
    if (input != nullptr) {
        close(input->fd);
        delete input;
    }
}

ChildHandle startChild(const std::string& program, const std::vector<std::string>& args,
                       const ChildStreams& streams, std::string& problem) {
    Descriptor outputRead, outputWrite, errorsRead, errorsWrite;
    if (!openPipe(outputRead, outputWrite, problem) ||
        (streams.keepErrors && !openPipe(errorsRead, errorsWrite, problem))) {
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (streams.input != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, streams.input->fd, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outputWrite.fd, 1);
    if (streams.keepErrors) {
        posix_spawn_file_actions_adddup2(&actions, errorsWrite.fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    defaultSignals(attributes);
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
    child->streams[0] = outputRead.fd;
    child->streams[1] = errorsRead.fd;
    outputRead.fd = errorsRead.fd = -1;
    return child;
}

ReadResult
readChildren(std::span<const ChildHandle> children, EventHandle wake, uint32_t timeoutMs,
             const std::function<void(size_t, ChildStream, std::string_view)>& onOutput) {
    std::vector<pollfd> polled;
    struct Owner {
        size_t child;
        int stream;
    };
    std::vector<Owner> owners;
    for (size_t i = 0; i < children.size(); ++i) {
        for (int stream = 0; children[i] != nullptr && stream < 2; ++stream) {
            if (children[i]->streams[stream] >= 0) {
                polled.push_back({children[i]->streams[stream], POLLIN, 0});
                owners.push_back({i, stream});
            }
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
        int& fd = children[owners[slot].child]->streams[owners[slot].stream];
        const auto stream = static_cast<ChildStream>(owners[slot].stream);
        char bytes[8192];
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        told = true;
        if (n > 0) {
            onOutput(owners[slot].child, stream, std::string_view(bytes, static_cast<size_t>(n)));
            continue;
        }
        close(fd);
        fd = -1;
        onOutput(owners[slot].child, stream, std::string_view());
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
    for (int fd : child->streams) {
        if (fd >= 0) {
            close(fd);
        }
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
