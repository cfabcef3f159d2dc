#include "platform/shutdown.h"

#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::mutex g_lock;
std::vector<void (*)()>* g_list = nullptr;  // made at the first registration, freed when run empty:
                                            // not a static object, which exit handlers could outlive
bool g_hooked = false;

}  // namespace

void ShutdownRegister(void (*cleanUp)()) {
    if (cleanUp == nullptr) return;
    std::lock_guard<std::mutex> g(g_lock);
    if (g_list == nullptr) g_list = new std::vector<void (*)()>;
    for (auto f : *g_list)
        if (f == cleanUp) return;
    g_list->push_back(cleanUp);
    if (!g_hooked) g_hooked = std::atexit(ShutdownRunAll) == 0;
}

void ShutdownRunAll() {
    for (;;) {
        void (*next)() = nullptr;
        {
            std::lock_guard<std::mutex> g(g_lock);
            if (g_list == nullptr) return;
            if (g_list->empty()) {
                // Gone once empty: a library unloaded with its copy of this list keeps nothing.
                delete g_list;
                g_list = nullptr;
                return;
            }
            next = g_list->back();
            g_list->pop_back();
        }
        next();  // outside the lock: it may register or run into other layers
    }
}
