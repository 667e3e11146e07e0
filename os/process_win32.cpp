// Child processes on Windows: CreateProcess with anonymous pipes for standard output and error.
// Anonymous pipes have no overlapped reads, so one thread per pipe reads it into a shared queue
// and sets one event; readChildren waits for that event or the wake event.
#include "os/process.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <mutex>

namespace Os {

// One pipe from the child and the thread that reads it.
struct ChildPipe {
    ChildObject* child = nullptr;
    ChildStream stream = ChildStream::Output;
    HANDLE readEnd = nullptr; // owned by the reader thread until it ends
    HANDLE reader = nullptr;
};

struct ChildObject {
    HANDLE process = nullptr;
    ChildPipe pipes[2];
    DWORD id = 0;
};

struct SharedInputObject {
    HANDLE file = nullptr;
};

namespace {

struct Chunk {
    ChildObject* child;
    ChildStream stream;
    std::string bytes; // empty: the stream ended
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

void push(const ChildPipe& pipe, std::string bytes) {
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> guard(q.lock);
        q.chunks.push_back({pipe.child, pipe.stream, std::move(bytes)});
    }
    SetEvent(q.ready);
}

DWORD WINAPI readPipe(LPVOID argument) {
    const auto* pipe = static_cast<const ChildPipe*>(argument);
    char bytes[8192];
    DWORD n = 0;
    while (ReadFile(pipe->readEnd, bytes, sizeof bytes, &n, nullptr) && n > 0) {
        push(*pipe, std::string(bytes, n));
    }
    push(*pipe, std::string()); // broken pipe: the child and every copy of the write end are gone
    return 0;
}

// Chunks of a child still queued would name freed memory once it is released.
void dropChunks(const ChildObject* child) {
    Queue& q = queue();
    std::lock_guard<std::mutex> guard(q.lock);
    std::erase_if(q.chunks, [child](const Chunk& chunk) { return chunk.child == child; });
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
std::string quotedArgument(std::string_view argument) {
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

std::string commandLineArgument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
        return std::string(argument);
    }
    return quotedArgument(argument);
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

namespace {

// Only the handles of the child being started are inheritable while it starts (children are
// started one at a time from one thread), so no child holds another's pipe open.
bool openPipe(HANDLE& readEnd, HANDLE& writeEnd, std::string& problem) {
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) {
        problem = lastError("CreatePipe");
        return false;
    }
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return true;
}

HANDLE inheritableInput(SharedInput input) {
    if (input == nullptr) {
        return openInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
    }
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), input->file, GetCurrentProcess(), &copy, GENERIC_READ,
                         TRUE, 0)) {
        return INVALID_HANDLE_VALUE;
    }
    return copy;
}

void closeHandleIfValid(HANDLE handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
}

bool startReaders(ChildObject* child, std::string& problem) {
    for (ChildPipe& pipe : child->pipes) {
        pipe.child = child;
        if (pipe.readEnd == nullptr) {
            continue;
        }
        pipe.reader = CreateThread(nullptr, 0, readPipe, &pipe, 0, nullptr);
        if (pipe.reader == nullptr) {
            problem = lastError("CreateThread");
            return false;
        }
    }
    return true;
}

// A child that has ended: its readers end at their pipes' ends, which came with the child's end;
// then everything of it is released.
void release(ChildObject* child) {
    for (ChildPipe& pipe : child->pipes) {
        if (pipe.reader != nullptr) {
            WaitForSingleObject(pipe.reader, INFINITE);
            CloseHandle(pipe.reader);
        }
        closeHandleIfValid(pipe.readEnd);
    }
    CloseHandle(child->process);
    dropChunks(child);
    delete child;
}

// A child whose readers could not all start.
void discard(ChildObject* child) {
    TerminateProcess(child->process, 1);
    WaitForSingleObject(child->process, INFINITE);
    release(child);
}

} // namespace

SharedInput makeSharedInput(std::span<const char> bytes, std::string& problem) {
    char folder[MAX_PATH + 1] = {};
    char path[MAX_PATH + 1] = {};
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "ufi", 0, path) == 0) {
        problem = lastError("GetTempFileName");
        return nullptr;
    }
    // Deleted when its last handle closes, the children's included, whatever ends them.
    HANDLE file = CreateFileA(
        path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        problem = lastError(path);
        DeleteFileA(path);
        return nullptr;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        DWORD n = 0;
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
        if (!WriteFile(file, bytes.data() + written, piece, &n, nullptr) || n == 0) {
            problem = lastError("the image's private copy");
            CloseHandle(file);
            return nullptr;
        }
        written += n;
    }
    auto* input = new SharedInputObject;
    input->file = file;
    return input;
}

void closeSharedInput(SharedInput input) {
    if (input != nullptr) {
        CloseHandle(input->file);
        delete input;
    }
}

ChildHandle startChild(const std::string& program, const std::vector<std::string>& args,
                       const ChildStreams& streams, std::string& problem) {
    HANDLE outputRead = nullptr, outputWrite = nullptr;
    HANDLE errorsRead = nullptr, errorsWrite = nullptr;
    if (!openPipe(outputRead, outputWrite, problem)) {
        return nullptr;
    }
    if (streams.keepErrors && !openPipe(errorsRead, errorsWrite, problem)) {
        CloseHandle(outputRead);
        CloseHandle(outputWrite);
        return nullptr;
    }
    HANDLE input = inheritableInput(streams.input);
    HANDLE errors =
        streams.keepErrors ? errorsWrite : openInheritable("NUL", GENERIC_WRITE, OPEN_EXISTING);
    std::string commandLine = commandLineArgument(program);
    for (const std::string& arg : args) {
        commandLine.append(" ").append(commandLineArgument(arg));
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = outputWrite;
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
    CloseHandle(outputWrite);
    closeHandleIfValid(input);
    closeHandleIfValid(errors);
    if (!started) {
        CloseHandle(outputRead);
        closeHandleIfValid(errorsRead);
        return nullptr;
    }
    CloseHandle(info.hThread);
    auto* child = new ChildObject;
    child->process = info.hProcess;
    child->id = info.dwProcessId;
    child->pipes[0].readEnd = outputRead;
    child->pipes[1].readEnd = errorsRead;
    child->pipes[1].stream = ChildStream::Errors;
    if (!startReaders(child, problem)) {
        discard(child);
        return nullptr;
    }
    return child;
}

ReadResult
readChildren(std::span<const ChildHandle> children, EventHandle wake, uint32_t timeoutMs,
             const std::function<void(size_t, ChildStream, std::string_view)>& onOutput) {
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
                    onOutput(i, chunk.stream, chunk.bytes);
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
    release(child);
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
    return quotedArgument(argument);
}

} // namespace Os
