// The debug stream: a log file named by "emucoredebug", one line per trace point.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "emucore/state.h"
#include "platform/files.h"
#include "platform/shutdown.h"

namespace emucore {
namespace {

enum class StreamState { LookUp, Off, Open };

StreamState g_state = StreamState::LookUp;
FILE* g_stream = nullptr;

// An unset variable switches tracing off for good; a path that cannot be
// opened (or is refused) is looked up and tried again at the next line.
bool StreamReady() {
    if (g_state == StreamState::Open) return true;
    if (g_state == StreamState::Off) return false;
    const char* path = std::getenv("emucoredebug");
    if (path == nullptr) {
        g_state = StreamState::Off;
        return false;
    }
    // Under the rules of every output file: only a regular file, never through a link
    // planted in a shared folder, and never waited on (a FIFO is refused at once).
    int result = 0;
    FileFailure failure;
    g_stream = OpenLogFile(path, &result, &failure);
    if (g_stream == nullptr) return false;
    g_state = StreamState::Open;
    ShutdownRegister(DebugStreamClose);
    std::fputs("***** Begin emucore debug stream ****************************\n", g_stream);
    std::fflush(g_stream);
    return true;
}

}  // namespace

void DebugStreamClose() {
    if (g_stream != nullptr) std::fclose(g_stream);
    g_stream = nullptr;
    g_state = StreamState::LookUp;
}

void Trace(const char* format, ...) {
    if (!StreamReady()) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(g_stream, format, args);
    va_end(args);
    std::fflush(g_stream);
}

}  // namespace emucore
