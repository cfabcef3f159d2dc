#include <chrono>
#include <thread>

#include "platform/clock_wall.h"

uint64_t WallNow() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void WallSleep(uint32_t ms) {
    if (ms == 0) std::this_thread::yield();
    else std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
