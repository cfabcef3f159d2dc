#pragma once

// The session file "ZAM32.CFG". Reading and writing it arrive with the configuration
// issue; until then the session always starts from the defaults and nothing is saved,
// so tests never touch a user's file.

void LoadConfiguration(const char* programPath);
void SaveConfiguration(int quitCode);
