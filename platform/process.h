#pragma once
#include <cstdint>
#include <string>

// Process-wide odds and ends of a program's start and end: the standard descriptors,
// broken pipes, and the one output in the making that must not outlive the process
// unfinished (a temporary file to remove, or a file appended to, to cut back).

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, so that no file
// opened later takes one of them and passes for standard input or output.
void ProcessOpenMissingStandardStreams();

// A write to a pipe without a reader fails with EPIPE instead of ending the process.
void ProcessIgnoreBrokenPipe();

// The running program's own file, every link resolved, as the system reports it; ""
// when it cannot tell. What the program was started as (argv[0]) may name a link or
// nothing usable; this names the file itself.
std::string ProcessProgramPath();

// The system's path conventions: the characters that end a folder's name in a path, and
// the one between the folders of PATH.
#ifdef _WIN32
inline constexpr const char* PATH_SEPARATORS = "\\/";
inline constexpr char PATH_LIST_SEPARATOR = ';';
#else
inline constexpr const char* PATH_SEPARATORS = "/";
inline constexpr char PATH_LIST_SEPARATOR = ':';
#endif

// The operating-system class of the console program's rules: 0 for a system with
// direct printer-port access in the consumer family's manner (Linux, through ppdev),
// else the NT family's major version (every Windows this builds for).
uint32_t ProcessOsClass();

// Sets an environment variable of this process (and of the programs it starts).
bool ProcessSetEnvironment(const char* name, const char* value);

// The temporary file being written (a replace or a create in the making); removed by
// ProcessRemoveTemporary and at exit. One at a time; null or empty clears it.
void ProcessSetTemporary(const char* path);
// Forgets `path` if it is the registered temporary (it was renamed or removed).
void ProcessClearTemporary(const char* path);
// The existing file open as `fd` is being appended to: ProcessRemoveTemporary (and an
// exit) cuts it back to `length`, its length before. One at a time, beside the temporary.
void ProcessSetCutBack(int fd, long long length);
// Forgets the cut back if `fd` is the registered one (the append succeeded or was undone).
void ProcessClearCutBack(int fd);
// Removes the registered temporary and cuts back the registered append now. Safe
// inside a signal handler. While another thread holds the output (below), it first
// waits until that thread lets go.
void ProcessRemoveTemporary();
// Brackets a step that must not be cut short by an ending signal (new contents copied
// into a file in place, and put back on failure): the ending signals are blocked in the
// calling thread, and a handler running in another thread waits in
// ProcessRemoveTemporary until the step is over. Not nested.
void ProcessHoldOutput();
void ProcessReleaseOutput();
