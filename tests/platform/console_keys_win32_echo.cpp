// Prints the code of every key typed on the console, one line each, until the reader
// gives 0 (the program is to end): what a terminal's sequences become on their way
// through the console into the key reader. Ends with the end status.
#include <cstdio>

#include "platform/console.h"

int main() {
    ConsoleOpen();
    if (!ConsoleIsTerminal()) {
        std::printf("no-console\n");
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        const int key = ConsoleReadKey(true);
        std::printf("key=%04X\n", static_cast<unsigned>(key));
        std::fflush(stdout);
        if (key == 0) break;
    }
    ConsoleRestore();
    return ConsoleEndStatus();
}
