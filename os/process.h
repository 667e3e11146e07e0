// Child processes for updating many products at once: each child is this program again, with its
// standard output coming back through a pipe. process_posix.cpp uses posix_spawn and poll;
// process_win32.cpp uses CreateProcess and one reader thread per pipe (anonymous pipes have no
// overlapped reads).
#pragma once

#include "os/os.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Os {

struct ChildObject;
using ChildHandle = ChildObject*;

// The path of the running executable; empty when the platform does not tell.
std::string executablePath();

// Bytes every child reads as its standard input: a private copy in a file that no other process
// can name (POSIX: unlinked at once; Windows: deleted when its last handle closes), so it is gone
// on every way out, a killed parent included. Children share it and read it by position.
struct SharedInputObject;
using SharedInput = SharedInputObject*;
SharedInput makeSharedInput(std::span<const char> bytes, std::string& problem);
// The children keep their own handles: closing it after they started leaves their input intact.
void closeSharedInput(SharedInput input);

struct ChildStreams {
    SharedInput input = nullptr; // nullptr: standard input reads nothing
    bool keepErrors = false;     // standard error comes back through readChildren too
};

// Starts program with args (without the program name). Standard output is a pipe read through
// readChildren; standard error likewise when streams.keepErrors, otherwise it is discarded. The
// child leads a process group of its own, so a console's Ctrl+C reaches only this process, which
// passes the stop on with stopChild. nullptr on failure, with problem saying why.
ChildHandle startChild(const std::string& program, const std::vector<std::string>& args,
                       const ChildStreams& streams, std::string& problem);

enum class ChildStream : uint8_t { Output, Errors };
enum class ReadResult : uint8_t { Output, Timeout, Woken };

// Waits up to timeoutMs for output of any child whose streams have not ended, or for wake
// (nullptr: none). For each child with something to tell calls onOutput(index, stream, bytes);
// empty bytes means that stream ended (each is told once). Output when onOutput was called;
// Woken when wake was set first (it is consumed); Timeout otherwise. Never spins: the wait sleeps
// in the kernel.
ReadResult readChildren(std::span<const ChildHandle> children, EventHandle wake, uint32_t timeoutMs,
                        const std::function<void(size_t, ChildStream, std::string_view)>& onOutput);

// Asks the child to stop as Ctrl+C would (POSIX: SIGINT; Windows: CTRL_BREAK_EVENT to its process
// group). False when the request could not be delivered.
bool stopChild(ChildHandle child);
// Ends the child at once (SIGKILL, TerminateProcess).
void killChild(ChildHandle child);
// Waits for the child's end and releases it. Returns its exit status; a child ended by a signal
// gives 128 + the signal number, as a shell shows it.
int finishChild(ChildHandle child);
// The child's process id, for messages.
unsigned long childId(ChildHandle child);

// One argument written so that the platform's shell (sh, cmd) reads it back unchanged.
std::string quoteArgument(std::string_view argument);

} // namespace Os
