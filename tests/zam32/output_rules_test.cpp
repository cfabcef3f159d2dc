// The built program's writes and saves of named files: W and the ZAM32.CFG save never
// replace a device or FIFO through a link, never follow a link planted in a shared
// sticky folder, never replace a file the user may not write or a configuration the
// program could not read, keep the owner, mode and hard links of what they replace, and
// W with an empty name writes nothing. A fresh virtual unit holds FF, never old memory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <csignal>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/zam32/zam32_run.h"

using testsupport::ReadFile;
using testsupport::ReadText;
using testsupport::TempDir;
using testsupport::WriteText;
using zam32test::Options;
using zam32test::Quote;
using zam32test::RunZam32;

namespace {

constexpr uid_t kOther = 65534;  // nobody

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Listing(const std::string& dir) {
    std::string out;
    testsupport::RunCommand("ls -A " + Quote(dir), &out);
    return out;
}

// A character device of the test's own (a null device made in the folder) where the
// system allows it, else /dev/null.
std::string CharacterDevice(const TempDir& dir) {
    const std::string node = dir.file("null-device");
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) return node;
    return "/dev/null";
}

bool Is(const std::string& path, mode_t type) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

// A session that changes the configuration and saves it without asking, after a W.
constexpr const char* kSaveInput = "p v\nt 27256\nqy\n";

// ZAM32.CFG as a link to a character device or a FIFO (and as such a node itself):
// the save says why it cannot write, and the node is still what it was. Bounded runs:
// a read or write that blocked on the FIFO would show as status 124.
TEST(OutputRules, ConfigurationSaveNeverReplacesADevice) {
    TempDir dir;
    const std::string device = CharacterDevice(dir);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    struct Case {
        const char* what;
        std::string link;  // ZAM32.CFG links here; empty: ZAM32.CFG is the node itself
        mode_t type;
        std::string reason;
    } cases[] = {
        {"link to a character device", device, S_IFCHR,
         "ZAM32.CFG is a link to a character device, not to a regular file\n"},
        {"link to a FIFO", dir.file("fifo"), S_IFIFO, "ZAM32.CFG is a link to a FIFO, not to a regular file\n"},
        {"a FIFO itself", "", S_IFIFO, "ZAM32.CFG: Is a FIFO, not a regular file\n"},
    };
    for (const Case& c : cases) {
        const std::string cfg = dir.file("ZAM32.CFG");
        unlink(cfg.c_str());
        if (c.link.empty()) ASSERT_EQ(mkfifo(cfg.c_str(), 0600), 0);
        else ASSERT_EQ(symlink(c.link.c_str(), cfg.c_str()), 0);
        const std::string listing = Listing(dir.path());
        const zam32test::Run r = RunZam32(dir.path(), Options{nullptr, nullptr, {}, kSaveInput}, "", 60);
        EXPECT_EQ(r.status, 0) << c.what << r.out;
        EXPECT_TRUE(Has(r.out, "No config file found, using internal defaults\n")) << c.what << r.out;
        EXPECT_TRUE(Has(r.out, "UNABLE TO WRITE CONFIGURATION FILE\a\n" + c.reason)) << c.what << r.out;
        EXPECT_TRUE(Is(c.link.empty() ? cfg : c.link, c.type)) << c.what;
        if (!c.link.empty()) { EXPECT_TRUE(Is(cfg, S_IFLNK)) << c.what; }
        unlink(dir.file("stdin.txt").c_str());
        EXPECT_EQ(Listing(dir.path()), listing) << c.what;
    }
}

// W in mode R (and A) through a link to a device or a FIFO is refused, naming the link;
// nothing is written and the node stays.
TEST(OutputRules, WriteNeverReplacesADeviceThroughALink) {
    TempDir dir;
    const std::string device = CharacterDevice(dir);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(device.c_str(), dir.file("dev.bin").c_str()), 0);
    ASSERT_EQ(symlink("fifo", dir.file("fifo.bin").c_str()), 0);
    struct Case {
        const char* command;
        const char* error;
    } cases[] = {
        {"w dev.bin,,,r", "ERROR OPENING OUTPUT FILE (dev.bin is a link to a character device, not to a regular file)"},
        {"w dev.bin,,,a,h",
         "ERROR OPENING OUTPUT FILE (dev.bin is a link to a character device, not to a regular file)"},
        {"w fifo.bin,,,r,s", "ERROR OPENING OUTPUT FILE (fifo.bin is a link to a FIFO, not to a regular file)"},
    };
    const std::string listing = Listing(dir.path());
    for (const Case& c : cases) {
        const std::string line = std::string("/b /n p v;t 27256;f 5a;") + c.command;
        const zam32test::Run r = RunZam32(dir.path(), Options{line.c_str(), nullptr, {}, nullptr}, "", 60);
        EXPECT_EQ(r.status, 3) << c.command << r.out;
        EXPECT_TRUE(Has(r.out, c.error)) << c.command << r.out;
        EXPECT_FALSE(Has(r.out, "records written")) << c.command << r.out;
        EXPECT_EQ(Listing(dir.path()), listing) << c.command;
    }
    EXPECT_TRUE(Is(device, S_IFCHR));
    EXPECT_TRUE(Is(dir.file("fifo"), S_IFIFO));
}

// Another user plants out.bin and ZAM32.CFG in a sticky world-writable folder as links
// to files root owns elsewhere; root writes, appends and saves there: both files stay.
TEST(OutputRules, PlantedLinksAreNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant links owned by another user (lchown)";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string shared = dir.file("shared");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string image = dir.file("root-image.bin"), config = dir.file("root-config");
    WriteText(image, "root's image\n");
    WriteText(config, "root's configuration\n");
    for (const auto& [target, link] : {std::pair{image, "out.bin"}, std::pair{config, "ZAM32.CFG"}}) {
        const std::string path = shared + "/" + link;
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        ASSERT_EQ(lchown(path.c_str(), kOther, kOther), 0);
    }
    const std::string listing = Listing(shared);
    for (const char* mode : {"r", "a"}) {
        const std::string line = std::string("/n p v;t 27256;f 5a;w out.bin,,,") + mode;
        const zam32test::Run r = RunZam32(shared, Options{line.c_str(), nullptr, {}, "qy\n"}, "", 60);
        EXPECT_TRUE(Has(r.out,
                        "ERROR OPENING OUTPUT FILE (out.bin is a link in a shared sticky folder, owned by "
                        "another user: not followed)"))
            << r.out;
        EXPECT_TRUE(Has(r.out,
                        "UNABLE TO WRITE CONFIGURATION FILE\a\nZAM32.CFG is a link in a shared sticky folder, "
                        "owned by another user: not followed\n"))
            << r.out;
        unlink((shared + "/stdin.txt").c_str());
        EXPECT_EQ(Listing(shared), listing) << mode;
    }
    EXPECT_EQ(ReadText(image), "root's image\n");
    EXPECT_EQ(ReadText(config), "root's configuration\n");
}

// The rule holds for every link on the way, not only the last name: root writes
// through a planted link used as a folder, and saves a ZAM32.CFG that is root's own
// link into such a folder. Both refusals name the planted link; root's files stay.
TEST(OutputRules, PlantedLinksOnTheWayAreNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to plant links owned by another user (lchown)";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string shared = dir.file("shared"), root = dir.file("root-folder"), work = dir.file("work");
    for (const std::string& d : {shared, root, work}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    WriteText(root + "/out.bin", "root's image\n");
    WriteText(root + "/ZAM32.CFG", "root's configuration\n");
    ASSERT_EQ(symlink(root.c_str(), (shared + "/evil").c_str()), 0);
    ASSERT_EQ(lchown((shared + "/evil").c_str(), kOther, kOther), 0);
    ASSERT_EQ(symlink((shared + "/evil/ZAM32.CFG").c_str(), (work + "/ZAM32.CFG").c_str()), 0);
    const std::string line = "/n p v;t 27256;f 5a;w " + shared + "/evil/out.bin,,,r";
    const zam32test::Run r = RunZam32(work, Options{line.c_str(), nullptr, {}, "qy\n"}, "", 60);
    const std::string refusal =
        shared + "/evil is a link in a shared sticky folder, owned by another user: not followed";
    EXPECT_TRUE(Has(r.out, "ERROR OPENING OUTPUT FILE (" + refusal + ")")) << r.out;
    EXPECT_TRUE(Has(r.out, "UNABLE TO WRITE CONFIGURATION FILE\a\nZAM32.CFG: " + refusal + "\n")) << r.out;
    EXPECT_EQ(ReadText(root + "/out.bin"), "root's image\n");
    EXPECT_EQ(ReadText(root + "/ZAM32.CFG"), "root's configuration\n");
    EXPECT_EQ(Listing(root), "ZAM32.CFG\nout.bin\n");
}

// W onto a file with a second hard link that fails part way (the file size limit
// reached while the new image is written) or is cut short (the same limit, but the
// process killed by it, as by a crash): both names keep the old bytes, and no copy of
// them is left beside. A failed append is cut back. A killed process cannot remove its
// temporary; that is all it may leave.
TEST(OutputRules, FailedWriteKeepsAHardLinkedFile) {
    const std::vector<uint8_t> old = testsupport::RandomBytes(4096, 21);
    struct Case {
        const char* what;
        const char* command;
        bool killed;
    } cases[] = {
        {"replace fails", "w image.bin,,,r", false},
        {"replace killed", "w image.bin,,,r", true},
        {"hex replace fails", "w image.bin,,,r,h", false},
        {"append fails", "w image.bin,,,a", false},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string image = dir.file("image.bin"), other = dir.file("other.bin");
        testsupport::WriteFile(image, old);
        ASSERT_EQ(link(image.c_str(), other.c_str()), 0);
        const std::string listing = Listing(dir.path());
        // 16 blocks of 512 bytes: the 32 KB image cannot be written.
        const std::string zam32 = std::string(PELMO_BIN_DIR) + "/zam32";
        std::string out;
        const int status = testsupport::RunCommand(
            "cd " + Quote(dir.path()) + " && " + (c.killed ? "" : "trap '' XFSZ; ") +
                "ulimit -f 16; env -u PELMO_SIM_USB ZAM32ARG=" +
                Quote(std::string("/b /n p v;t 27256;f 5a;") + c.command) + " timeout 60 " + Quote(zam32) + " <&-",
            &out);
        if (c.killed) {
            EXPECT_EQ(status, 128 + SIGXFSZ) << c.what << out;
        } else {
            EXPECT_EQ(status, 3) << c.what << out;
            EXPECT_TRUE(Has(out, "OUTPUT DISK WRITE ERROR") || Has(out, "OUTPUT DISK FULL")) << c.what << out;
        }
        EXPECT_TRUE(ReadFile(image) == old) << c.what;
        EXPECT_TRUE(ReadFile(other) == old) << c.what;
        std::string left = Listing(dir.path());
        if (c.killed) {
            const size_t temp = left.find(".pelmo-write-");
            if (temp != std::string::npos) left.erase(temp, left.find('\n', temp) + 1 - temp);
        }
        EXPECT_EQ(left, listing) << c.what;
    }
}

// As an unprivileged user (the tests' own, or nobody through setpriv when they run as
// root): W in mode R never replaces a file the user may not write, even in a folder
// the user may write; the save never replaces a ZAM32.CFG the user could not read (its
// key texts were never seen) nor one the user may not write.
TEST(OutputRules, ProtectedFilesStayProtected) {
    std::string as;
    if (geteuid() == 0) {
        if (!testsupport::HaveProgram("setpriv"))
            GTEST_SKIP() << "root without setpriv: no unprivileged user to run as";
        as = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    }
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const std::string image = dir.file("image.bin"), cfg = dir.file("ZAM32.CFG");
    struct Case {
        const char* what;
        mode_t imageMode, cfgMode;
        const char* saveReason;
    } cases[] = {
        {"read-only image and configuration", 0444, 0444, "ZAM32.CFG: Permission denied\n"},
        {"image and configuration nobody may touch", 0000, 0000,
         "ZAM32.CFG could not be read and has been kept (Permission denied)\n"},
        {"writable image, configuration write-only", 0444, 0200,
         "ZAM32.CFG could not be read and has been kept (Permission denied)\n"},
    };
    for (const Case& c : cases) {
        for (const std::string& f : {image, cfg}) {
            unlink(f.c_str());
            WriteText(f, "protected " + f + "\n");
        }
        ASSERT_EQ(chmod(image.c_str(), c.imageMode), 0);
        ASSERT_EQ(chmod(cfg.c_str(), c.cfgMode), 0);
        if (!as.empty()) {
            ASSERT_EQ(chown(image.c_str(), kOther, kOther), 0);
            ASSERT_EQ(chown(cfg.c_str(), kOther, kOther), 0);
        }
        // A batch run that fails saves nothing; one that succeeds saves without asking.
        auto run = [&](const char* line, std::string* out) {
            const std::string zam32 = std::string(PELMO_BIN_DIR) + "/zam32";
            return testsupport::RunCommand("cd " + Quote(dir.path()) + " && env -u PELMO_SIM_USB ZAM32ARG=" +
                                               Quote(line) + " timeout 60 " + as + " " + Quote(zam32) + " <&-",
                                           out);
        };
        std::string out;
        EXPECT_EQ(run("/b /n p v;t 27256;f 5a;w image.bin,,,r", &out), 3) << c.what << out;
        EXPECT_TRUE(Has(out, "ERROR OPENING OUTPUT FILE (Permission denied)")) << c.what << out;
        EXPECT_EQ(run("/b p v;t 27256", &out), 0) << c.what << out;
        EXPECT_TRUE(Has(out, std::string("UNABLE TO WRITE CONFIGURATION FILE\a\n") + c.saveReason)) << c.what << out;
        for (const std::string& f : {image, cfg}) {
            ASSERT_EQ(chmod(f.c_str(), 0600), 0);
            EXPECT_EQ(ReadText(f), "protected " + f + "\n") << c.what;
        }
        EXPECT_EQ(Listing(dir.path()), "ZAM32.CFG\nimage.bin\n") << c.what;
    }
}

// Root replacing a user's file keeps it the user's, with its mode; a file with a second
// hard link is written in place, so both names hold the new image.
TEST(OutputRules, ReplaceKeepsOwnerModeAndLinks) {
    TempDir dir;
    const std::string image = dir.file("image.bin"), other = dir.file("other.bin");
    WriteText(image, "old image\n");
    ASSERT_EQ(chmod(image.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) { ASSERT_EQ(chown(image.c_str(), kOther, kOther), 0); }
    const zam32test::Run r =
        RunZam32(dir.path(), Options{"/b /n p v;t 27256;f 5a;w image.bin,,,r", nullptr, {}, nullptr}, "", 60);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadFile(image), std::vector<uint8_t>(0x8000, 0x5A));
    struct stat st {};
    ASSERT_EQ(stat(image.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, kOther);
        EXPECT_EQ(st.st_gid, kOther);
    }

    ASSERT_EQ(link(image.c_str(), other.c_str()), 0);
    const zam32test::Run again =
        RunZam32(dir.path(), Options{"/b /n p v;t 27256;f a5;w image.bin,,,r", nullptr, {}, nullptr}, "", 60);
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(ReadFile(other), std::vector<uint8_t>(0x8000, 0xA5));
    EXPECT_EQ(ReadFile(image), std::vector<uint8_t>(0x8000, 0xA5));
    EXPECT_EQ(Listing(dir.path()), "ZAM32.CFG\nimage.bin\nother.bin\n");  // batch runs save
}

// W with an empty name: the missing-name message at the name, nothing read or written.
TEST(OutputRules, EmptyFileNameWritesNothing) {
    TempDir dir;
    for (const char* command : {"w \"\"", "w \"\",,,r,h", "w \"\",0,100,c"}) {
        const std::string line = std::string("/b /n p v;t 27256;") + command;
        const zam32test::Run r = RunZam32(dir.path(), Options{line.c_str(), nullptr, {}, nullptr}, "", 60);
        EXPECT_EQ(r.status, 3) << command << r.out;
        EXPECT_TRUE(Has(r.out, "MISSING FILENAME ARGUMENT\a\n")) << command << r.out;
        EXPECT_FALSE(Has(r.out, "records written")) << command << r.out;
        EXPECT_FALSE(Has(r.out, "bytes to binary file")) << command << r.out;
        EXPECT_EQ(Listing(dir.path()), "") << command;
    }
}

// A fresh virtual unit reads as an erased EPROM, also after a damaged ZAM32.CFG was read
// into memory the unit's RAM may reuse.
TEST(OutputRules, FreshVirtualUnitHoldsFF) {
    TempDir dir;
    std::string text;
    while (text.size() < 0x9000) text += "DAMAGED CONFIGURATION TEXT ";
    WriteText(dir.file("ZAM32.CFG"), text);
    const zam32test::Run r =
        RunZam32(dir.path(), Options{"/b p v;t 27256;w fresh.bin,,,c;qn", nullptr, {}, nullptr}, "", 60);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(Has(r.out, "INVALID CONFIGURATION FILE")) << r.out;
    EXPECT_EQ(ReadFile(dir.file("fresh.bin")), std::vector<uint8_t>(0x8000, 0xFF));
}

}  // namespace
