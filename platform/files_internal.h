#pragma once
#include "platform/files.h"

// Shared by the systems' file services (files.cpp).

// A SafeOutput that holds nothing: no file, no temporary, nothing to undo.
void SafeOutputClear(SafeOutput* o);
