#include "platform/library.h"

#include <dlfcn.h>

void* LibraryOpen(const char* path, std::string* why) {
    // Local: the emulator library's symbols must not satisfy another library's.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library && why) {
        const char* text = dlerror();
        *why = text ? text : "";
    }
    return library;
}

void* LibrarySymbol(void* library, const char* name) {
    dlerror();
    return dlsym(library, name);
}
