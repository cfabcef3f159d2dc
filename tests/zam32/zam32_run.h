#pragma once
// Running the built console program in a scratch directory.
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace zam32test {

struct Run {
    int status = -1;
    std::string out;
};

struct Options {
    const char* zam32arg = nullptr;  // ZAM32ARG, or null for unset
    const char* osClass = nullptr;   // ZAM32OSCLASS, or null for unset
    std::vector<std::string> args;
    const char* input = nullptr;  // standard input text; null: stdin closed
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// `env` adds NAME=value assignments; `timeoutSeconds` puts the run under a guard whose
// time limit shows a hang as status 124 (0: no guard).
inline Run RunZam32(const std::string& dir, const Options& o, const std::string& env = "", int timeoutSeconds = 0) {
    std::string cmd = "cd " + Quote(dir) +
                      " && env -u ZAM32ARG -u ZAM32OSCLASS -u PELMO_SIM_USB -u PELMO_SIM_LPT -u PELMO_SIM_LPT_TRACE"
                      " -u ZAMBPS " +
                      env;
    if (o.zam32arg) cmd += " ZAM32ARG=" + Quote(o.zam32arg);
    if (o.osClass) cmd += std::string(" ZAM32OSCLASS=") + o.osClass;
    if (timeoutSeconds > 0) cmd += " timeout " + std::to_string(timeoutSeconds);
    cmd += " " + Quote(std::string(PELMO_BIN_DIR) + "/zam32");
    for (const std::string& a : o.args) cmd += " " + Quote(a);
    if (o.input) {
        testsupport::WriteText(dir + "/stdin.txt", o.input);
        cmd += " < stdin.txt";
    } else {
        cmd += " <&-";
    }
    Run r;
    r.status = testsupport::RunCommand(cmd, &r.out);
    return r;
}

}  // namespace zam32test
