// Child processes on Windows: CreateProcess with an anonymous pipe for standard output. Anonymous
// pipes have no overlapped reads, so one thread per child reads its pipe into a shared queue and
// sets one event; readChildren waits for that event or the wake event.
#include "os/process.h"

#include <windows.h>

#include <deque>
#include <mutex>

namespace Os {

struct ChildObject {
    HANDLE process = nullptr;
    HANDLE output = nullptr; // read end, owned by the reader thread until it ends
    HANDLE reader = nullptr;
    DWORD id = 0;
};

namespace {

struct Chunk {
    ChildObject* child;
    std::string bytes; // empty: the output ended
};

// What the reader threads found and readChildren has not handed out yet.
struct Queue {
    std::mutex lock;
    std::deque<Chunk> chunks;
    HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
};

Queue& queue() {
    static Queue shared;
    return shared;
}

void push(ChildObject* child, std::string bytes) {
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> guard(q.lock);
        q.chunks.push_back({child, std::move(bytes)});
    }
    SetEvent(q.ready);
}

DWORD WINAPI readOutput(LPVOID argument) {
    auto* child = static_cast<ChildObject*>(argument);
    char bytes[8192];
    DWORD n = 0;
    while (ReadFile(child->output, bytes, sizeof bytes, &n, nullptr) && n > 0) {
        push(child, std::string(bytes, n));
    }
    push(child, std::string()); // broken pipe: the child and every copy of the write end are gone
    return 0;
}

std::string lastError(const char* what) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   GetLastError(), 0, text, sizeof text, nullptr);
    std::string message = std::string(what) + ": " + text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return message;
}

// The rules by which the C runtime splits a command line into argv: quotes around arguments with
// blanks, backslashes doubled only before a quote.
std::string commandLineArgument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
        return std::string(argument);
    }
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

HANDLE openInheritable(const char* path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

std::string executablePath() {
    char path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

ChildHandle startChild(const std::string& program, const std::vector<std::string>& args,
                       const std::string& errorPath, std::string& problem) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
        problem = lastError("CreatePipe");
        return nullptr;
    }
    // Children are started one at a time from one thread, so only this child's handles are
    // inheritable while it starts: no child holds another's pipe open.
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    HANDLE input = openInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE errors = openInheritable(errorPath.empty() ? "NUL" : errorPath.c_str(), GENERIC_WRITE,
                                    errorPath.empty() ? OPEN_EXISTING : CREATE_ALWAYS);
    std::string commandLine = commandLineArgument(program);
    for (const std::string& arg : args) {
        commandLine.append(" ").append(commandLineArgument(arg));
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = writeEnd;
    startup.hStdError = errors;
    PROCESS_INFORMATION info{};
    // A process group of its own: the console's Ctrl+C reaches the parent alone, which passes the
    // stop on to each child's group as CTRL_BREAK_EVENT (Ctrl+C cannot be sent to one group).
    // The child shares the parent's console, which that event needs.
    const BOOL started =
        CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info);
    if (!started) {
        problem = lastError(program.c_str());
    }
    CloseHandle(writeEnd);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (errors != INVALID_HANDLE_VALUE) {
        CloseHandle(errors);
    }
    if (!started) {
        CloseHandle(readEnd);
        return nullptr;
    }
    CloseHandle(info.hThread);
    auto* child = new ChildObject;
    child->process = info.hProcess;
    child->id = info.dwProcessId;
    child->output = readEnd;
    child->reader = CreateThread(nullptr, 0, readOutput, child, 0, nullptr);
    if (child->reader == nullptr) {
        problem = lastError("CreateThread");
        TerminateProcess(child->process, 1);
        WaitForSingleObject(child->process, INFINITE);
        CloseHandle(child->process);
        CloseHandle(readEnd);
        delete child;
        return nullptr;
    }
    return child;
}

ReadResult readChildren(std::span<const ChildHandle> children, EventHandle wake, uint32_t timeoutMs,
                        const std::function<void(size_t, std::string_view)>& onOutput) {
    Queue& q = queue();
    const auto handOut = [&] {
        std::deque<Chunk> taken;
        {
            std::lock_guard<std::mutex> guard(q.lock);
            taken.swap(q.chunks);
        }
        bool told = false;
        for (Chunk& chunk : taken) {
            for (size_t i = 0; i < children.size(); ++i) {
                if (children[i] == chunk.child) {
                    onOutput(i, chunk.bytes);
                    told = true;
                }
            }
        }
        return told;
    };
    if (handOut()) {
        return ReadResult::Output;
    }
    HANDLE waits[2] = {q.ready, reinterpret_cast<HANDLE>(wake)};
    const DWORD result = WaitForMultipleObjects(wake != nullptr ? 2 : 1, waits, FALSE,
                                                timeoutMs == Infinite ? INFINITE : timeoutMs);
    if (result == WAIT_OBJECT_0 + 1) {
        return ReadResult::Woken;
    }
    return handOut() ? ReadResult::Output : ReadResult::Timeout;
}

bool stopChild(ChildHandle child) {
    return child != nullptr && GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child->id) != 0;
}

void killChild(ChildHandle child) {
    if (child != nullptr) {
        TerminateProcess(child->process, 130);
    }
}

int finishChild(ChildHandle child) {
    if (child == nullptr) {
        return -1;
    }
    WaitForSingleObject(child->process, INFINITE);
    DWORD code = 0;
    const bool known = GetExitCodeProcess(child->process, &code) != 0;
    // The reader ends at the pipe's end, which came with the child's end.
    WaitForSingleObject(child->reader, INFINITE);
    CloseHandle(child->reader);
    CloseHandle(child->output);
    CloseHandle(child->process);
    // Chunks of this child still queued would name freed memory: drop them.
    {
        Queue& q = queue();
        std::lock_guard<std::mutex> guard(q.lock);
        std::erase_if(q.chunks, [child](const Chunk& chunk) { return chunk.child == child; });
    }
    delete child;
    return known ? static_cast<int>(code) : -1;
}

unsigned long childId(ChildHandle child) {
    return child == nullptr ? 0 : static_cast<unsigned long>(child->id);
}

std::string quoteArgument(std::string_view argument) {
    // cmd.exe splits at blanks and reads quotes; the rest reaches the program as the runtime
    // splits it.
    if (!argument.empty() && argument.find_first_of(" \t\"&|<>^()%!") == std::string_view::npos) {
        return std::string(argument);
    }
    return commandLineArgument(argument);
}

} // namespace Os
