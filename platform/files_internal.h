#pragma once
#include <cstddef>
#include <cstdio>

#include "platform/files.h"

// Shared by the systems' file services (files.cpp).

// A SafeOutput that holds nothing: no file, no temporary, nothing to undo.
void SafeOutputClear(SafeOutput* o);

// The start of SafeOutputOpen on every system: `o` cleared, the target checked (its
// name in o->path, *exists and *st filled in) and a taken name refused for SAFE_CREATE.
int SafeOutputStart(SafeOutput* o, const char* name, SafeOutputMode mode, FileFailure* failure, bool devicesInPlace,
                    bool* exists, struct stat* st);

// Each system's own.
// Writes all of `bytes` to `file` and flushes it: 0, or the system's error code.
unsigned long WriteAllFlushed(std::FILE* file, const void* bytes, size_t size);
// Makes the entry of a file just put in place durable in its folder, where the system
// does not on its own.
void SyncFolderOf(const char* path);
