// Ending signals, cancel keys during transfers and broken standard streams, with the
// built program on simulated USB and serial units: what runs after a signal, what
// becomes of a file being replaced, how the program ends and how long it takes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "tests/zam32/pelmosim_process.h"
#include "tests/zam32/pty_terminal.h"
#include "tests/zam32/zam32_run.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using zam32test::PelmoSim;
using zam32test::PtyTerminal;
using zam32test::TerminalOptions;

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// Generous for a loaded machine under the sanitizers, yet far below what the work
// would need if the signal or key were not seen (each case says how long that is).
constexpr uint32_t kEndWithinMs = 4000;

// Files in `dir` whose names start with `prefix`.
std::vector<std::string> FilesStartingWith(const std::string& dir, const char* prefix) {
    std::vector<std::string> found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, prefix, std::strlen(prefix)) == 0) found.push_back(e->d_name);
        closedir(d);
    }
    return found;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The built program as a child without a terminal: standard input from /dev/null or
// from a pipe of lines, standard output and error into a pipe we read.
class Child {
public:
    enum Input { DEV_NULL, PIPED };
    // `smallOutput`: standard output a pipe of one page, whose write end the test keeps
    // too (Fill), so that the program's next line can be made to wait.
    Child(const std::string& dir, const Env& env, Input input, const std::string& lines = "",
          const std::vector<std::string>& args = {}, bool smallOutput = false) {
        int out[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0) return;
        if (smallOutput) {
            pipeSize_ = fcntl(out[0], F_SETPIPE_SZ, 4096);
            keep_ = fcntl(out[1], F_DUPFD_CLOEXEC, 3);
        }
        if (input == PIPED && pipe2(in, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            if (input == PIPED) dup2(in[0], STDIN_FILENO);
            else dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            for (const char* v : {"ZAM32ARG", "ZAM32OSCLASS", "PELMO_SIM_USB", "PELMO_SIM_LPT", "ZAMBPS", "COMSPEC"})
                unsetenv(v);
            setenv("SHELL", "/bin/sh", 1);  // the same command processor wherever the suite runs
            for (const auto& kv : env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
            if (chdir(dir.c_str()) != 0) _exit(126);
            std::vector<char*> argv{const_cast<char*>("zam32")};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(PELMO_BIN_DIR "/zam32", argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        if (input == PIPED) {
            close(in[0]);
            in_ = in[1];
            if (!lines.empty() && write(in_, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) {
                ADD_FAILURE() << "lines not written";
            }
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (in_ >= 0) close(in_);
        if (keep_ >= 0) close(keep_);
    }
    pid_t pid() const { return pid_; }
    // Bytes of the output pipe: its size, and those written and not yet read.
    int PipeSize() const { return pipeSize_; }
    int Unread() const {
        int n = -1;
        return ioctl(out_, FIONREAD, &n) == 0 ? n : -1;
    }
    // Writes `n` filler bytes into the output pipe (the test's own write end), then
    // lets go of that end, so that the pipe holds `n` bytes more than the program wrote.
    bool Fill(int n) {
        const std::string dots(static_cast<size_t>(n), '.');
        const bool ok = n >= 0 && keep_ >= 0 && write(keep_, dots.data(), dots.size()) == n;
        if (keep_ >= 0) close(keep_);
        keep_ = -1;
        return ok;
    }
    // Waits, reading nothing, until `condition` holds (true) or `seconds` have passed.
    bool WaitUntil(const std::function<bool()>& condition, uint32_t seconds = 30) {
        const uint32_t start = ClockMilliseconds();
        while (!condition()) {
            if (ClockMilliseconds() - start > seconds * 1000) return false;
            poll(nullptr, 0, 5);
        }
        return true;
    }
    // Waits for the end reading nothing: the status, or -1 after `seconds`.
    int EndWithoutReading(uint32_t* elapsedMs, uint32_t seconds = 30) {
        const uint32_t start = ClockMilliseconds();
        int st = 0;
        if (!WaitUntil([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, seconds)) return -1;
        *elapsedMs = ClockMilliseconds() - start;
        pid_ = -1;
        while (ReadSome(10)) {}
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    // Stops the program (SIGSTOP) and waits until it is stopped; Continue goes on.
    bool Stop() {
        int st = 0;
        return kill(pid_, SIGSTOP) == 0 && waitpid(pid_, &st, WUNTRACED) == pid_ && WIFSTOPPED(st);
    }
    void Continue() { kill(pid_, SIGCONT); }
    // Reads the output until `text` has appeared (true) or `seconds` have passed.
    bool WaitFor(const std::string& text, uint32_t seconds = 30) {
        const uint32_t start = ClockMilliseconds();
        while (text_.find(text) == std::string::npos) {
            if (ClockMilliseconds() - start > seconds * 1000) return false;
            if (!ReadSome(100)) return text_.find(text) != std::string::npos;
        }
        return true;
    }
    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);  // an ended child is a zombie until reaped: no other process
    }
    // Waits for the end; the exit status (128 + signal when killed) or -1 after `seconds`.
    // `elapsedMs` gets the time from the call to the end of the output: to the end of
    // the program and of every process it started that still held it.
    int Status(uint32_t* elapsedMs = nullptr, uint32_t seconds = 60) {
        const uint32_t start = ClockMilliseconds();
        for (;;) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                while (ReadSome(10) && ClockMilliseconds() - start <= seconds * 1000) {}
                if (elapsedMs) *elapsedMs = ClockMilliseconds() - start;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            if (ClockMilliseconds() - start > seconds * 1000) return -1;
            ReadSome(20);
        }
    }
    const std::string& output() const { return text_; }

private:
    bool ReadSome(int ms) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        text_.append(buf, static_cast<size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1, keep_ = -1, pipeSize_ = -1;
    std::string text_;
};

// True while `pid` waits in a write to its standard output (the pipe is full).
bool BlockedWritingOutput(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string fd;
    if (!(f >> number >> fd)) return false;
    return number == SYS_write && fd == "0x1";
}

// True while signal `sig` waits to be taken by `pid` (its handler has yet to run).
bool SignalPending(pid_t pid, int sig) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("SigPnd:", 0) != 0 && line.rfind("ShdPnd:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        if (mask & (1ULL << (sig - 1))) return true;
    }
    return false;
}

// True while `pid` holds `path` open.
bool HoldsOpen(pid_t pid, const std::string& path) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    bool found = false;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            char target[256];
            const ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) found = true;
        }
        closedir(d);
    }
    return found;
}

// A scratch folder with the old output file, a 1 MB image and a unit environment.
struct Scene {
    TempDir dir;
    std::vector<uint8_t> old = testsupport::RandomBytes(70000, 7);
    Scene() {
        WriteFile(dir.file("out.img"), old);
        WriteFile(dir.file("big.bin"), testsupport::RandomBytes(1 << 20, 3));
    }
    // The old file byte for byte, no temporary beside it, no later command run.
    void ExpectUntouched(const std::string& what) const {
        EXPECT_EQ(ReadFile(dir.file("out.img")), old) << what << ": the old file is kept";
        EXPECT_TRUE(FilesStartingWith(dir.path(), ".pelmo-write-").empty()) << what << ": no temporary left";
        EXPECT_FALSE(Exists(dir.file("ran-after-signal"))) << what << ": nothing after the signal ran";
    }
};

// 32 banks of 1 MB at 300 ms each: a load or a device read takes about 10 s.
const Env kSlowUsb = {{"PELMO_SIM_USB", "unit=0,ram=1024,bulkdelay=300"}};

const char* SignalName(int sig) { return sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "SIGHUP"; }

// ---- a first signal cancels, nothing more runs ----

struct StopCase {
    const char* name;
    const char* line;     // the start-up line (batch) or the lines typed / piped, ';'-joined
    const char* running;  // text that shows the operation is under way
    const char* cancelled;
};

const StopCase kUsbCases[] = {
    {"load", "p u;t 27080;l big.bin;e 0,AA;w out.img,,,r,b;!touch ran-after-signal", "Binary-File Load of 100000 bytes",
     "[CANCELLED SUBCODE 502-4]"},
    {"write", "p u;t 27080;w out.img,,,r,h;!touch ran-after-signal", "Putting 100000 bytes into HEX",
     "[CANCELLED SUBCODE 504-4]"},
    // Seen by the poll before a piece ("[CANCELLED]") or in the transfer ("[CANCELLED SUBCODE 506-4]").
    {"checksum", "p u;t 27080;s;w out.img,,,r,b;!touch ran-after-signal", "Computing Checksum", "[CANCELLED"},
};

// Batch mode and piped input, each ending signal: the operation stops within a bank.
TEST(SignalStops, UsbOperationsWithoutTerminal) {
    for (const StopCase& c : kUsbCases) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
            for (Child::Input input : {Child::DEV_NULL, Child::PIPED}) {
                const std::string what =
                    std::string(c.name) + " " + SignalName(sig) + (input == Child::PIPED ? " piped" : " batch");
                Scene s;
                Env env = kSlowUsb;
                std::string lines;
                if (input == Child::DEV_NULL) {
                    env.push_back({"ZAM32ARG", std::string("/b /n ") + c.line});
                } else {
                    // One command a line, as typed; the rest waits in the pipe.
                    for (const char* p = c.line; *p; ++p) lines += *p == ';' ? '\n' : *p;
                    lines += "\nq n\n";
                }
                Child z(s.dir.path(), env, input, lines,
                        input == Child::PIPED ? std::vector<std::string>{"/n"} : std::vector<std::string>{});
                ASSERT_TRUE(z.WaitFor(c.running)) << what << "\n" << z.output();
                z.Signal(sig);
                uint32_t ms = 0;
                EXPECT_EQ(z.Status(&ms), 128 + sig) << what << "\n" << z.output();
                EXPECT_LT(ms, kEndWithinMs) << what << ": the operation has about 10 s to go";
                EXPECT_NE(z.output().find(c.cancelled), std::string::npos) << what << "\n" << z.output();
                EXPECT_EQ(z.output().find("Checking"), z.output().rfind("Checking")) << what << " no later command";
                s.ExpectUntouched(what);
            }
        }
    }
}

// Sends `sig` to the program on the terminal and waits for its end: its status, the
// milliseconds that took and what it wrote; the terminal must have its start settings back.
void SignalTerminal(PtyTerminal& t, int sig, int* status, uint32_t* ms, std::string* output) {
    const uint32_t start = ClockMilliseconds();
    kill(t.pid(), sig);
    *status = t.Status();
    *ms = ClockMilliseconds() - start;
    EXPECT_EQ(t.Settings().c_lflag, t.StartSettings().c_lflag) << SignalName(sig) << ": terminal restored";
    *output = t.output();
}

// On a terminal too: the signal cancels, the terminal gets its settings back.
TEST(SignalStops, UsbLoadOnATerminal) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Scene s;
        TerminalOptions o;
        o.dir = s.dir.path();
        o.env = kSlowUsb;
        o.args = {"/n"};
        PtyTerminal t(o);
        ASSERT_TRUE(t.started());
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type("p u;t 27080;l big.bin;e 0,AA;w out.img,,,r,b;!touch ran-after-signal\r");
        ASSERT_TRUE(t.WaitFor("Binary-File Load of 100000 bytes")) << t.output();
        int status = -1;
        uint32_t ms = 0;
        std::string output;
        SignalTerminal(t, sig, &status, &ms, &output);
        EXPECT_EQ(status, 128 + sig) << SignalName(sig) << "\n" << output;
        EXPECT_LT(ms, kEndWithinMs) << SignalName(sig);
        EXPECT_NE(output.find("[CANCELLED SUBCODE 502-4]"), std::string::npos) << output;
        s.ExpectUntouched(SignalName(sig));
    }
}

// Two different signals at once during a replace: the second ends the program in its
// handler, before the write could be abandoned the normal way; the temporary goes
// with it, and what was printed before is all in the redirected output.
TEST(SignalStops, SecondSignalEndsAtOnceWithoutTemporary) {
    Scene s;
    Env env = kSlowUsb;
    env.push_back({"ZAM32ARG", "/b /n p u;t 27080;w out.img,,,r,h;!touch ran-after-signal"});
    Child z(s.dir.path(), env, Child::DEV_NULL);
    ASSERT_TRUE(z.WaitFor("Putting 100000 bytes into HEX")) << z.output();
    ASSERT_EQ(FilesStartingWith(s.dir.path(), ".pelmo-write-").size(), 1u) << "the write is under way";
    z.Signal(SIGTERM);
    z.Signal(SIGINT);
    uint32_t ms = 0;
    const int status = z.Status(&ms);
    EXPECT_TRUE(status == 130 || status == 143) << status << "\n" << z.output();
    EXPECT_LT(ms, kEndWithinMs);
    EXPECT_NE(z.output().find("Checking PuU0 as 27080\n"), std::string::npos) << z.output();
    s.ExpectUntouched("two signals");
}

// A second signal while the clean-up after the first waits ends the program at once:
// here the clean-up waits to print its cancelled line, standard output being full, so
// the normal way would not end before the test reads. The status is the second
// signal's; the temporary goes with the program.
TEST(SignalStops, SecondSignalWhileTheCleanUpWaits) {
    for (const auto& pair : {std::make_pair(SIGTERM, SIGINT), std::make_pair(SIGHUP, SIGTERM)}) {
        const std::string what = std::string(SignalName(pair.first)) + " then " + SignalName(pair.second);
        SCOPED_TRACE(what);
        Scene s;
        Env env = kSlowUsb;
        env.push_back({"ZAM32ARG", "/b /n p u;t 27080;w out.img,,,r,h;!touch ran-after-signal"});
        Child z(s.dir.path(), env, Child::DEV_NULL, "", {}, true);
        ASSERT_TRUE(z.WaitFor("Putting 100000 bytes into HEX")) << z.output();
        ASSERT_EQ(FilesStartingWith(s.dir.path(), ".pelmo-write-").size(), 1u) << "the write is under way";
        ASSERT_TRUE(z.Fill(z.PipeSize() - z.Unread()));
        z.Signal(pair.first);
        ASSERT_TRUE(z.WaitUntil([&] { return BlockedWritingOutput(z.pid()); })) << "the clean-up waits to print";
        z.Signal(pair.second);
        uint32_t ms = 0;
        EXPECT_EQ(z.EndWithoutReading(&ms), 128 + pair.second) << z.output();
        EXPECT_LT(ms, kEndWithinMs) << "ended " << ms << " ms after the second signal";
        s.ExpectUntouched(what);
    }
}

// The end by a second signal writes out what standard output still holds of a line:
// here the scan's row of the port whose unit is being tried at 50 baud. Stopped while
// it tries, the program gets both signals before it goes on: the second ends it in
// its handler, before anything more is printed.
TEST(SignalStops, SecondSignalWritesThePartLine) {
    TempDir dir;
    PelmoSim unit({"ram=64"});
    ASSERT_FALSE(unit.path().empty());
    Child z(dir.path(), {{"ZAMCOM1", unit.path()}, {"ZAMBPS", "50"}, {"ZAM32ARG", "/b /n p c?"}}, Child::DEV_NULL);
    ASSERT_TRUE(z.WaitFor("P \\\n")) << z.output();
    // The row's port name is printed before the port is opened.
    ASSERT_TRUE(z.WaitUntil([&] { return HoldsOpen(z.pid(), unit.path()); })) << z.output();
    ASSERT_TRUE(z.Stop());
    ASSERT_TRUE(HoldsOpen(z.pid(), unit.path())) << "stopped while the unit is tried";
    z.Signal(SIGINT);
    z.Signal(SIGTERM);
    z.Continue();
    uint32_t ms = 0;
    const int status = z.Status(&ms);
    EXPECT_TRUE(status == 130 || status == 143) << status << "\n" << z.output();
    EXPECT_LT(ms, kEndWithinMs) << "ended " << ms << " ms after the signals";
    const std::string& out = z.output();
    EXPECT_EQ(out.substr(out.size() < 12 ? 0 : out.size() - 12), "P \\\nc1      ")
        << "the part line, and nothing after it\n"
        << out;
}

// A replace from a 64 KB serial unit at 19200 baud (a bank of 32 KB takes 17 s on the
// line), with a second SIGTERM 0.3 s after the first.
TEST(SignalStops, SerialWriteAt19200) {
    Scene s;
    PelmoSim unit({"ram=64"});
    ASSERT_FALSE(unit.path().empty());
    Child z(s.dir.path(),
            {{"ZAMCOM1", unit.path()},
             {"ZAMBPS", "19200"},
             {"ZAM32ARG", "/b /n p c1;t 27512;w out.img,,,r,b;!touch ran-after-signal"}},
            Child::DEV_NULL);
    ASSERT_TRUE(z.WaitFor("Writing 10000 bytes to binary file")) << z.output();
    z.Signal(SIGTERM);
    usleep(300000);  // the second signal's timing is the point here, not a wait for a condition
    z.Signal(SIGTERM);
    uint32_t ms = 0;
    EXPECT_EQ(z.Status(&ms), 143) << z.output();
    EXPECT_LT(ms, kEndWithinMs);
    s.ExpectUntouched("serial write");
}

// At 110 baud the unit check takes many seconds a command; the signal ends it.
TEST(SignalStops, SerialUnitCheckAt110) {
    Scene s;
    PelmoSim unit({"ram=64"});
    ASSERT_FALSE(unit.path().empty());
    Child z(s.dir.path(),
            {{"ZAMCOM1", unit.path()}, {"ZAMBPS", "110"}, {"ZAM32ARG", "/b /n p c1;t 27512;!touch ran-after-signal"}},
            Child::DEV_NULL);
    ASSERT_TRUE(z.WaitFor("Checking Pc1U0 as 27512")) << z.output();
    z.Signal(SIGTERM);
    uint32_t ms = 0;
    EXPECT_EQ(z.Status(&ms), 143) << z.output();
    EXPECT_LT(ms, kEndWithinMs);
    EXPECT_NE(z.output().find("[CANCELLED SUBCODE 100-4]"), std::string::npos) << z.output();
    s.ExpectUntouched("110 baud");
}

// ---- each ending signal, each kind of input, each kind of unit: a load and a replace ----

// Intel hex records of `bytes` from address 0, 16 bytes a record, and the end record.
std::string HexRecords(const std::vector<uint8_t>& bytes) {
    std::string text;
    char rec[64];
    for (size_t at = 0; at < bytes.size(); at += 16) {
        const size_t n = bytes.size() - at < 16 ? bytes.size() - at : 16;
        unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF));
        std::snprintf(rec, sizeof rec, ":%02X%04X00", static_cast<unsigned>(n), static_cast<unsigned>(at & 0xFFFF));
        text += rec;
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(rec, sizeof rec, "%02X", bytes[at + i]);
            text += rec;
            sum += bytes[at + i];
        }
        std::snprintf(rec, sizeof rec, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += rec;
    }
    return text + ":00000001FF\n";
}

enum Input { BATCH, PIPED, TERMINAL, COMMAND_FILE };

const char* InputName(Input i) {
    return i == BATCH ? "batch" : i == PIPED ? "piped" : i == TERMINAL ? "terminal" : "command file";
}

enum UnitKindId { VIRTUAL, USB, SERIAL };

struct UnitKind {
    UnitKindId id;
    const char* name;
    const char* setup;   // the commands that make the unit current
    const char* prompt;  // the prompt then
    const char* loadFile;
    const char* loadRunning;  // what shows the load under way
    const char* loadCancelled;
    const char* write;  // a replace of out.img
    const char* writeRunning;
    const char* writeCancelled;
};

// A virtual unit's work takes no time: it is kept under way by standard output, which
// the test lets fill up in front of the operation's first line (or, on a terminal, by
// Ctrl+S). A USB unit takes about 10 s for either operation (kSlowUsb), a serial unit
// at 19200 baud 17 s a 32 KB bank.
const UnitKind kUnitKinds[] = {
    {VIRTUAL, "virtual", "p v;t 27512", "PvU0>", "image.hex", "Hex-File Load of all bytes", "[CANCELLED]",
     "w out.img,,,r,h", "Putting 10000 bytes into HEX", "[CANCELLED]"},
    {USB, "USB", "p u;t 27080", "PuU0>", "big.bin", "Binary-File Load of 100000 bytes", "[CANCELLED SUBCODE 502-4]",
     "w out.img,,,r,h", "Putting 100000 bytes into HEX", "[CANCELLED SUBCODE 504-4]"},
    {SERIAL, "serial", "p c1;t 27512", "Pc1U0>", "small.bin", "Binary-File Load of 10000 bytes",
     "[CANCELLED SUBCODE 502-4]", "w out.img,,,r,b", "Writing 10000 bytes to binary file", "[CANCELLED SUBCODE 503-4]"},
};

// "a;b;c" as one command a line, as typed.
std::string OneALine(const std::string& commands) {
    std::string lines;
    for (char c : commands) lines += c == ';' ? '\n' : c;
    return lines + "\n";
}

// One signal during one operation: the cancelled message, the old file kept, no
// temporary, nothing later run, the signal's status, and the time the end took.
void SignalDuring(const UnitKind& u, bool load, Input input, int sig) {
    const std::string what =
        std::string(u.name) + (load ? " load " : " replace ") + InputName(input) + " " + SignalName(sig);
    SCOPED_TRACE(what);
    Scene s;
    WriteFile(s.dir.file("small.bin"), testsupport::RandomBytes(0x10000, 5));
    testsupport::WriteText(s.dir.file("image.hex"), HexRecords(testsupport::RandomBytes(0x10000, 9)));
    std::unique_ptr<PelmoSim> unit;
    Env env;
    if (u.id == USB) env = kSlowUsb;
    if (u.id == SERIAL) {
        unit = std::make_unique<PelmoSim>(std::vector<std::string>{"ram=64"});
        ASSERT_FALSE(unit->path().empty());
        env = {{"ZAMCOM1", unit->path()}, {"ZAMBPS", "19200"}};
    }
    const std::string op = load ? std::string("l ") + u.loadFile + ";e 0,AA;w out.img,,,r,b" : u.write;
    const std::string line = op + ";!touch ran-after-signal";
    const std::string running = load ? u.loadRunning : u.writeRunning;
    const char* cancelled = load ? u.loadCancelled : u.writeCancelled;
    int status = -1;
    uint32_t ms = 0;
    std::string output;
    if (input == TERMINAL) {
        TerminalOptions o;
        o.dir = s.dir.path();
        o.env = env;
        o.args = {"/n"};
        PtyTerminal t(o);
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type(std::string(u.setup) + "\r");
        ASSERT_TRUE(t.WaitFor(u.prompt, 60)) << t.output();
        if (u.id == VIRTUAL) {
            // Ctrl+S waits in the terminal until the operation's first poll takes it.
            t.Type(line + "\r\x13");
            ASSERT_TRUE(t.WaitFor("[STOPPED]")) << t.output();
        } else {
            t.Type(line + "\r");
            ASSERT_TRUE(t.WaitFor(running, 60)) << t.output();
        }
        SignalTerminal(t, sig, &status, &ms, &output);
    } else {
        const bool gate = u.id == VIRTUAL;
        ASSERT_FALSE(gate && input == COMMAND_FILE) << "no gate in a command file";
        // A shell command that waits until the test has filled the output pipe.
        const std::string gateLine = "!echo GATE\"\"-OPEN; cat gate >/dev/null";
        if (gate) { ASSERT_EQ(mkfifo(s.dir.file("gate").c_str(), 0600), 0); }
        std::string lines, firstLine;
        std::vector<std::string> args;
        switch (input) {
        case BATCH:
            if (gate) {
                env.push_back({"ZAM32ARG", std::string("/b /n ") + u.setup + ";" + gateLine});
                args = {line};  // the second start-up line
            } else {
                env.push_back({"ZAM32ARG", std::string("/b /n ") + u.setup + ";" + line});
            }
            break;
        case PIPED:
            args = {"/n"};
            lines = OneALine(u.setup) + (gate ? gateLine + "\n" : "") + OneALine(line) + "q n\n";
            firstLine = line.substr(0, line.find(';'));
            break;
        default:
            testsupport::WriteText(s.dir.file("cmds"), OneALine(u.setup) + OneALine(line));
            env.push_back({"ZAM32ARG", "/b /n @cmds"});
            break;
        }
        Child z(s.dir.path(), env, input == PIPED ? Child::PIPED : Child::DEV_NULL, lines, args, gate);
        if (gate) {
            ASSERT_TRUE(z.WaitFor("GATE-OPEN\n")) << z.output();
            // Room for the prompt and the echo of the line (piped input), not for the
            // operation's first line: the program waits there, in the operation.
            const int room = input == PIPED ? static_cast<int>(std::strlen(u.prompt) + firstLine.size() + 1) : 0;
            ASSERT_EQ(z.PipeSize(), 4096);
            ASSERT_TRUE(z.Fill(z.PipeSize() - z.Unread() - room));
            const int g = open(s.dir.file("gate").c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(g, 0);
            close(g);
            ASSERT_TRUE(z.WaitUntil([&] { return z.Unread() == z.PipeSize() && BlockedWritingOutput(z.pid()); }))
                << "the program waits to print";
            if (!load) {
                ASSERT_EQ(FilesStartingWith(s.dir.path(), ".pelmo-write-").size(), 1u) << "the write is under way";
            }
        } else {
            ASSERT_TRUE(z.WaitFor(running, 60)) << z.output();
        }
        z.Signal(sig);
        if (gate) {
            // Read nothing until the handler has run: the signal then interrupts the
            // waiting write, rather than reaching a write the reader has let finish.
            ASSERT_TRUE(z.WaitUntil([&] { return !SignalPending(z.pid(), sig); })) << "the signal is taken";
        }
        status = z.Status(&ms);
        output = z.output();
        if (gate) { EXPECT_NE(output.find(running), std::string::npos) << "the line it waited in\n" << output; }
    }
    EXPECT_EQ(status, 128 + sig) << output;
    EXPECT_LT(ms, kEndWithinMs) << "ended " << ms << " ms after the signal";
    EXPECT_NE(output.find(cancelled), std::string::npos) << output;
    EXPECT_EQ(output.find("Completed"), std::string::npos) << output;
    s.ExpectUntouched(what);
}

void SignalsDuringOperations(UnitKindId id) {
    for (const UnitKind& u : kUnitKinds) {
        if (u.id != id) continue;
        for (bool load : {true, false})
            for (Input input : {BATCH, PIPED, TERMINAL, COMMAND_FILE}) {
                if (id == VIRTUAL && input == COMMAND_FILE) continue;  // its gate is a line of its own
                for (int sig : {SIGTERM, SIGINT, SIGHUP}) SignalDuring(u, load, input, sig);
            }
    }
}

TEST(SignalMatrix, VirtualUnit) { SignalsDuringOperations(VIRTUAL); }
TEST(SignalMatrix, UsbUnit) { SignalsDuringOperations(USB); }
TEST(SignalMatrix, SerialUnit) { SignalsDuringOperations(SERIAL); }

// The shell escape: the signal goes on to the whole job of the command processor, then
// the program ends; the next line does not run. In batch mode, with piped input and on
// a terminal (where the next line is typed ahead). A Ctrl+C typed on the terminal stays
// the job's. dash waits for its last command where bash runs it in its own place, so a
// signal that reached the shell alone would end bash's job and leave dash's running.
TEST(SignalStops, ShellEscape) {
    // SHELL-RUNS comes from tail, the shell's command, once it runs: a signal that came
    // while the shell had yet to start it would be the shell's alone.
    const std::string command = "!tail -f ready.txt; echo SHELL-GOES\"\"-ON";
    for (const char* shell : {"/bin/dash", "/bin/bash"}) {
        SCOPED_TRACE(shell);
        for (Input input : {PIPED, BATCH, TERMINAL}) {
            for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
                const std::string what = std::string(InputName(input)) + " " + SignalName(sig);
                SCOPED_TRACE(what);
                Scene s;
                testsupport::WriteText(s.dir.file("ready.txt"), "SHELL-RUNS\n");
                int status = -1;
                uint32_t ms = 0;
                std::string output;
                if (input == TERMINAL) {
                    TerminalOptions o;
                    o.dir = s.dir.path();
                    o.args = {"/n"};
                    o.env = {{"SHELL", shell}};
                    PtyTerminal t(o);
                    ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
                    t.Type(command + "\r");
                    ASSERT_TRUE(t.WaitFor("SHELL-RUNS\r\n")) << t.output();
                    t.Type("!touch ran-after-signal\r");
                    SignalTerminal(t, sig, &status, &ms, &output);
                } else {
                    const bool piped = input == PIPED;
                    Env env = {{"SHELL", shell}};
                    if (!piped) env.push_back({"ZAM32ARG", "/b /n " + command});
                    Child z(
                        s.dir.path(), env, piped ? Child::PIPED : Child::DEV_NULL,
                        piped ? command + "\n!touch ran-after-signal\nq n\n" : "",
                        piped ? std::vector<std::string>{"/n"} : std::vector<std::string>{"!touch ran-after-signal"});
                    ASSERT_TRUE(z.WaitFor("SHELL-RUNS\n")) << z.output();
                    z.Signal(sig);
                    status = z.Status(&ms);
                    output = z.output();
                }
                EXPECT_EQ(status, 128 + sig) << output;
                EXPECT_LT(ms, kEndWithinMs) << "tail goes on until a signal ends it; ended " << ms << " ms after it";
                EXPECT_EQ(output.find("SHELL-GOES-ON"), std::string::npos) << output;
                s.ExpectUntouched(what);
            }
        }
        Scene s;
        TerminalOptions o;
        o.dir = s.dir.path();
        o.args = {"/n"};
        o.env = {{"SHELL", shell}};
        PtyTerminal t(o);
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type("!echo SHELL-RUNS; cat; echo SHELL-GOES\"\"-ON\r");  // not found in its echo
        ASSERT_TRUE(t.WaitFor("SHELL-RUNS\r\n")) << t.output();
        // A line the job's cat reads from the terminal and writes back: cat runs now.
        // (A Ctrl+C that comes while the shell has yet to start its command is the
        // shell's alone, and dash then goes on.)
        t.Type("to-cat\r");
        ASSERT_TRUE(t.WaitFor("to-cat\r\nto-cat\r\n")) << t.output();
        t.Type("\x03");  // the terminal sends SIGINT to the shell's job
        ASSERT_TRUE(t.WaitFor("STATUS 130")) << t.output();
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type("= 5\r");
        EXPECT_TRUE(t.WaitFor("$0 <- 5 ")) << "the program goes on\n" << t.output();
        ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
        t.Type("q n\r");
        EXPECT_EQ(t.Status(), 0) << t.output();
        EXPECT_EQ(t.output().find("SHELL-GOES-ON"), std::string::npos) << t.output();
    }
}

// ---- every cancel key during USB and serial transfers ----

struct KeyCase {
    const char* name;
    const char* command;
    const char* running;
};

const KeyCase kKeyCases[] = {
    {"w", "w out.img,,,r,b", "Writing "},
    {"l", "l big.bin,0,10000", "Binary-File Load"},
    {"f", "f 55", "Filling "},
    {"s", "s", "Computing Checksum"},
};

// Each key, each operation, typed while a bank or frame is on its way.
void CancelKeysDuringTransfers(const Env& usb, const char* setup, const char* prompt) {
    for (const KeyCase& c : kKeyCases) {
        for (const char* key : {"\x0c", "\x1b", "\x03"}) {
            // A serial unit of its own each time: a cancelled answer may still be on its way.
            std::unique_ptr<PelmoSim> unit;
            Env env = usb;
            if (env.empty()) {
                unit = std::make_unique<PelmoSim>(std::vector<std::string>{"ram=64"});
                ASSERT_FALSE(unit->path().empty());
                env = {{"ZAMCOM1", unit->path()}, {"ZAMBPS", "19200"}};
            }
            const std::string what = std::string(c.name) + (key[0] == 0x0c   ? " Ctrl+L"
                                                            : key[0] == 0x1b ? " Esc"
                                                                             : " Ctrl+C");
            Scene s;
            TerminalOptions o;
            o.dir = s.dir.path();
            o.env = env;
            o.args = {"/n"};
            PtyTerminal t(o);
            ASSERT_TRUE(t.WaitFor("Pl1U0>")) << t.output();
            t.Type(std::string(setup) + "\r");
            ASSERT_TRUE(t.WaitFor(prompt, 60)) << t.output();
            t.Type(std::string(c.command) + ";!touch ran-after-signal\r");
            ASSERT_TRUE(t.WaitFor(c.running)) << what << "\n" << t.output();
            const uint32_t start = ClockMilliseconds();
            t.Type(key);
            ASSERT_TRUE(t.WaitFor("CANCELLED", 30)) << what << "\n" << t.output();
            EXPECT_LT(ClockMilliseconds() - start, kEndWithinMs) << what;
            ASSERT_TRUE(t.WaitFor(prompt)) << what << "\n" << t.output();
            EXPECT_EQ(t.output().find("Completed"), std::string::npos) << what << "\n" << t.output();
            EXPECT_EQ(t.output().find("CHECKSUM ="), std::string::npos) << what << "\n" << t.output();
            s.ExpectUntouched(what);
            t.Type("q n\r");
            EXPECT_EQ(t.Status(), 0) << what << "\n" << t.output();
        }
    }
}

TEST(CancelKeys, DuringUsbTransfers) { CancelKeysDuringTransfers(kSlowUsb, "p u;t 27080", "PuU0>"); }

// A 32 KB bank takes 17 s at 19200 baud.
TEST(CancelKeys, DuringSerialTransfers) { CancelKeysDuringTransfers({}, "p c1;t 27512", "Pc1U0>"); }

// ---- standard streams ----

// Closed standard descriptors behave as /dev/null: no file the program opens takes
// their place (the help file read as commands, a temporary written with the screen).
TEST(StandardStreams, ClosedDescriptorsAreNull) {
    TempDir dir;
    const std::string zam32 = zam32test::Quote(PELMO_BIN_DIR "/zam32");
    std::string out;
    int status = testsupport::RunCommand(
        "cd " + zam32test::Quote(dir.path()) + " && env -u ZAM32ARG ZAM32ARG='/n h' timeout 20 " + zam32 + " <&-",
        &out);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out.find("UNRECOGNIZED COMMAND"), std::string::npos) << out;
    EXPECT_EQ(out.find("COMMAND ERROR"), std::string::npos) << out;
    EXPECT_NE(out.find("ZAM32 commands.  Type H and a command letter"), std::string::npos) << "the help was shown\n"
                                                                                           << out;
    // Standard output closed: the written file holds the image and nothing else.
    status =
        testsupport::RunCommand("cd " + zam32test::Quote(dir.path()) +
                                    " && (exec >&-; env -u ZAM32ARG ZAM32ARG='/b /n p v;t 2716;f 5A;w o.bin,,,c,b' "
                                    "timeout 20 " +
                                    zam32 + " </dev/null 2>err.txt)",
                                &out);
    EXPECT_EQ(status, 0) << testsupport::ReadText(dir.file("err.txt"));
    EXPECT_EQ(ReadFile(dir.file("o.bin")), std::vector<uint8_t>(2048, 0x5A));
}

// A FIFO whose reader quits: a write error with its line and status 3, not death by
// SIGPIPE; the same in both writer kinds.
TEST(StandardStreams, BrokenPipeIsAWriteError) {
    for (const char* format : {"b", "h"}) {
        TempDir dir;
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        const std::string cmd = "cd " + zam32test::Quote(dir.path()) +
                                // zam32 opens a FIFO without blocking, which needs its reader there:
                                // wait until head waits in its open for a writer.
                                " && { head -c 1000 fifo > /dev/null & reader=$!;"
                                " until [ \"$(cat /proc/$reader/wchan 2>/dev/null)\" = wait_for_partner ]; do :; done;"
                                " env -u ZAM32ARG ZAM32ARG='/b /n p v;t 27080;w fifo,,,r," +
                                format + "' timeout 20 " + zam32test::Quote(PELMO_BIN_DIR "/zam32") +
                                " </dev/null; echo \"STATUS=$?\"; wait; }";
        std::string out;
        testsupport::RunCommand(cmd, &out);
        EXPECT_NE(out.find("STATUS=3\n"), std::string::npos) << format << "\n" << out;
        EXPECT_NE(out.find("OUTPUT DISK WRITE ERROR"), std::string::npos) << format << "\n" << out;
    }
}

// Standard output a pipe that closes: the session ends the normal way (status 0) and
// the terminal gets its settings back.
TEST(StandardStreams, ClosedOutputEndsTheSession) {
    TempDir dir;
    TerminalOptions o;
    o.program = "/bin/sh";
    o.dir = dir.path();
    o.args = {"-c", "{ " + zam32test::Quote(PELMO_BIN_DIR "/zam32") +
                        " /n; echo \"ZAM32-STATUS=$?\" >&2; } | head -c 20 > /dev/null; sleep 30"};
    PtyTerminal t(o);
    ASSERT_TRUE(t.started());
    ASSERT_TRUE(t.WaitFor("ZAM32-STATUS=0", 20)) << t.output();
    const termios now = t.Settings();
    EXPECT_EQ(now.c_lflag, t.StartSettings().c_lflag) << "terminal restored";
}

// ---- ZAMBPS ----

TEST(SerialRate, RefusedRateIsNamed) {
    const struct {
        const char* value;
        const char* line;
    } cases[] = {
        {"4000000", "ZAMBPS '4000000' is not a rate between 50 and 921600\n"},
        {"", "ZAMBPS '' is not a rate between 50 and 921600\n"},
        {"115200 ", "ZAMBPS '115200 ' is not a rate between 50 and 921600\n"},
        {"49", "ZAMBPS '49' is not a rate between 50 and 921600\n"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        Child z(dir.path(), {{"ZAMBPS", c.value}, {"ZAMCOM1", "/dev/null"}, {"ZAM32ARG", "/b /n p c1;t 27512"}},
                Child::DEV_NULL);
        EXPECT_EQ(z.Status(), 3) << z.output();
        EXPECT_NE(z.output().find("DEVICE FAILURE (SUBCODE 100-5)\a\n" + std::string(c.line)), std::string::npos)
            << c.value << "\n"
            << z.output();
    }
}

}  // namespace
