#pragma once
// Runs console command lines inside the test process, as the command loop would,
// with the console's output captured.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "link/link.h"
#include "zam32/commands.h"
#include "zam32/screen.h"

class ConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ResetLinks();
        SetOsClass(0);
        SessionDefaults();
        SetErrorStatus(0);
        CaptureOutput(&out);
    }
    void TearDown() override {
        CaptureOutput(nullptr);
        SessionDefaults();
        ResetLinks();
    }
    // Closes what the previous case left open; fixtures with more to undo add to it.
    virtual void ResetLinks() { ZAMCloseAll(); }
    // Runs one command line; returns what it printed.
    std::string Run(const char* text) {
        out.clear();
        std::snprintf(LineBuffer(), LINE_SIZE, "%s", text);
        RunCommandLine(LineBuffer(), false);
        return out;
    }
    std::string out;
};
