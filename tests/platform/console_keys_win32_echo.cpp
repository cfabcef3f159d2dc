// Prints the code of every key typed on the console, one line each, until 'q': what a
// terminal's sequences become on their way through the console into the key reader.
#include <windows.h>

#include <cstdio>

#include "platform/console_keys_win32.h"

int main() {
    if (!ConsoleWin32Open()) {
        std::printf("no-console\n");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        const int key = ConsoleWin32ReadKey(true);
        std::printf("key=%04X\n", static_cast<unsigned>(key));
        std::fflush(stdout);
        if (key == 'q' || key == 0) break;
    }
    ConsoleWin32Restore();
    return ConsoleWin32EndStatus();
}
