#include "zam32/config.h"

void LoadConfiguration(const char*) {}
void SaveConfiguration(int) {}
