// Files that L and W meet. A W that fails never destroys or half-writes a file: a full
// disk, a unit that stops answering while it is read and an argument error found late
// all leave the old file byte for byte and no new or temporary file behind. L refuses
// what is not a regular file at once instead of blocking on it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "link/link.h"
#include "link/usb.h"
#include "platform/devio.h"
#include "sim/usb_unit.h"
#include "tests/support/test_support.h"
#include "tests/zam32/console_fixture.h"
#include "tests/zam32/zam32_run.h"

using testsupport::ReadFile;
using testsupport::RunCommand;
using zam32test::Quote;

namespace {

std::string Listing(const std::string& dir) {
    std::string out;
    RunCommand("ls -A " + Quote(dir), &out);
    return out;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The built program, on a file system that fills up: a small tmpfs mounted in a mount
// namespace of its own (root only; skipped elsewhere).
TEST(WriteSafety, FullDiskKeepsTheOldFile) {
    testsupport::TempDir dir;
    std::string probe;
    if (RunCommand("unshare -m sh -c " + Quote("mount -t tmpfs -o size=64k tmpfs " + Quote(dir.path())), &probe) != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << probe;

    const std::vector<uint8_t> old = testsupport::RandomBytes(20000, 3);
    testsupport::WriteFile(dir.file("old.bin"), old);
    struct Case {
        const char* what;
        const char* command;  // writes keep.* on a 1 MB virtual unit
        bool exists;          // keep.* is there before
        const char* failure;  // the line the failure prints
    } cases[] = {
        {"hex, replace", "w keep.out,,,r,h", true, "OUTPUT DISK FULL"},
        {"binary, replace", "w keep.out,,,r,b", true, "OUTPUT DISK FULL"},
        {"s, append", "w keep.out,,,a,s", true, "OUTPUT DISK FULL"},
        {"hex, create", "w keep.out,,,c,h", false, "OUTPUT DISK FULL"},
    };
    for (const Case& c : cases) {
        testsupport::TempDir mnt;
        const std::string zam32 = std::string(PELMO_BIN_DIR) + "/zam32";
        const std::string setup = c.exists ? "cp " + Quote(dir.file("old.bin")) + " keep.out && " : "";
        // Inside the namespace: mount, run, copy what is left back out for the checks.
        const std::string script =
            "mount -t tmpfs -o size=64k tmpfs " + Quote(mnt.path()) + " && cd " + Quote(mnt.path()) + " && " + setup +
            "env -u ZAM32ARG -u PELMO_SIM_USB ZAM32ARG=" + Quote(std::string("/b p v;t 27080;f 5a;") + c.command) +
            " " + Quote(zam32) + " <&- > " + Quote(dir.file("out.txt")) + " 2>&1; echo $? > " +
            Quote(dir.file("status")) + "; ls -A > " + Quote(dir.file("listing")) +
            "; if [ -e keep.out ]; then cp keep.out " + Quote(dir.file("after")) + "; fi";
        unlink(dir.file("after").c_str());
        ASSERT_EQ(RunCommand("unshare -m sh -c " + Quote(script)), 0) << c.what;
        const std::string out = testsupport::ReadText(dir.file("out.txt"));
        EXPECT_EQ(testsupport::ReadText(dir.file("status")), "3\n") << c.what << out;
        EXPECT_TRUE(Contains(out, c.failure)) << c.what << out;
        if (c.exists) {
            EXPECT_EQ(ReadFile(dir.file("after")), old) << c.what;
            EXPECT_EQ(testsupport::ReadText(dir.file("listing")), "keep.out\n") << c.what;
        } else {
            EXPECT_NE(access(dir.file("after").c_str(), F_OK), 0) << c.what;
            EXPECT_EQ(testsupport::ReadText(dir.file("listing")), "") << c.what;
        }
    }
}

// An argument error only the S28 writer could see used to come after the file was
// truncated; now every such check comes first.
TEST(WriteSafety, LateArgumentErrorsKeepTheOldFile) {
    testsupport::TempDir dir;
    const std::vector<uint8_t> old = testsupport::RandomBytes(500, 4);
    struct Case {
        const char* command;
        const char* error;
    } cases[] = {
        {"w keep.out,0,100,r,s28,,,,1000000", "ADDRESSING REQUIRES S37 FORMAT"},
        {"w keep.out,0,100,r,s28,,,FFFFFE00", "ADDRESSING REQUIRES S37 FORMAT"},
        {"w keep.out,0,100,r,h32,,,FFFFFF80", "RECORD ADDRESSES RUN PAST FFFFFFFF"},
        {"w keep.out,0,100,a,s37,,,FFFFFFF0", "RECORD ADDRESSES RUN PAST FFFFFFFF"},
    };
    for (const Case& c : cases) {
        testsupport::WriteFile(dir.file("keep.out"), old);
        const std::string line = std::string("/b p v;t 27256;") + c.command;
        zam32test::Run r = zam32test::RunZam32(dir.path(), {line.c_str(), nullptr, {}, nullptr});
        EXPECT_EQ(r.status, 3) << c.command << r.out;
        EXPECT_TRUE(Contains(r.out, c.error)) << c.command << r.out;
        EXPECT_EQ(ReadFile(dir.file("keep.out")), old) << c.command;
        EXPECT_EQ(Listing(dir.path()), "keep.out\n") << c.command;
    }
}

// A FIFO without a writer used to block L forever; now every kind of file that is not
// a plain file is refused at once, naming what it is.
TEST(LoadSafety, OddFilesAreRefusedAtOnce) {
    testsupport::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string sockPath = dir.file("sock");
    ASSERT_LT(sockPath.size(), sizeof address.sun_path);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", sockPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    struct Case {
        const char* name;
        const char* text;
    } cases[] = {
        {"fifo", "CAN'T OPEN LOAD FILE (Is a FIFO, not a regular file)"},
        {"sock", "CAN'T OPEN LOAD FILE (Is a socket, not a regular file)"},
        {"/dev/null", "CAN'T OPEN LOAD FILE (Is a character device, not a regular file)"},
        {"folder", "CAN'T OPEN LOAD FILE (Is a directory, not a regular file)"},
    };
    for (const Case& c : cases) {
        std::string out;
        // Bounded: a load that blocks fails the test instead of hanging it.
        const int status = RunCommand("cd " + Quote(dir.path()) + " && env -u ZAM32ARG -u PELMO_SIM_USB ZAM32ARG=" +
                                          Quote(std::string("/b p v;t 27256;l ") + c.name) + " timeout 30 " +
                                          Quote(std::string(PELMO_BIN_DIR) + "/zam32") + " <&-",
                                      &out);
        EXPECT_EQ(status, 3) << c.name << out;
        EXPECT_TRUE(Contains(out, c.text)) << c.name << out;
    }
    close(sock);
}

// A unit that stops answering while W reads it: the device failure line, and the old
// file as it was.
class UsbWriteSafety : public ConsoleFixture {
protected:
    void SetUp() override {
        UsbSetConsole(-1);
        ConsoleFixture::SetUp();
    }
    void ResetLinks() override {
        ZAMCloseAll();
        DevHostStop();
        sim::DetachAllUsbUnits();
    }
};

TEST_F(UsbWriteSafety, LostAnswerWhileReadingKeepsTheOldFile) {
    testsupport::TempDir dir;
    const std::vector<uint8_t> old = testsupport::RandomBytes(700, 5);
    std::string error;
    const int id = sim::AttachUsbUnit("unit=0,ram=256", &error);
    ASSERT_GE(id, 0) << error;
    auto unit = sim::FindUsbUnit(id);
    ASSERT_TRUE(unit);
    EXPECT_EQ(Run("p u;t 27256"), "Checking PuU0 as 27256\n");
    struct Case {
        const char* mode;
        bool exists;
    } cases[] = {{"r", true}, {"a", true}, {"c", false}};
    for (const Case& c : cases) {
        const std::string name = dir.file(std::string("keep_") + c.mode + ".hex");
        if (c.exists) testsupport::WriteFile(name, old);
        // The second command of the write's RAM read loses its answer.
        unit->addFault({sim::USBF_LOST_ANSWER, unit->commands() + 2});
        const std::string text = Run(("w \"" + name + "\",,," + c.mode + ",h").c_str());
        EXPECT_TRUE(Contains(text, "DEVICE FAILURE (SUBCODE 504-")) << c.mode << text;
        if (c.exists) EXPECT_EQ(ReadFile(name), old) << c.mode;
        else EXPECT_NE(access(name.c_str(), F_OK), 0) << c.mode;
    }
    EXPECT_EQ(Listing(dir.path()), "keep_a.hex\nkeep_r.hex\n");
}

}  // namespace
