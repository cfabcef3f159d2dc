#include "zam32/cmdfile.h"

namespace {
int g_depth = 0;  // number of open command files
}

bool CommandFileOpen() { return g_depth > 0; }
bool CommandFileQuiet() { return false; }
void CloseAllCommandFiles() { g_depth = 0; }
bool ReadCommandFileLine(char*, size_t) { return false; }
