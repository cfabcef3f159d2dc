#include "platform/library.h"

#include <windows.h>

#include "platform/syserror.h"

void* LibraryOpen(const char* path, std::string* why) {
    HMODULE library = LoadLibraryA(path);
    if (!library && why) *why = LastSystemErrorText();
    return reinterpret_cast<void*>(library);
}

void* LibrarySymbol(void* library, const char* name) {
    // A function's address, handed on as the POSIX side hands on dlsym's.
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
