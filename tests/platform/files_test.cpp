// The rules every write and save of a named file follows (image files, the console
// configuration, the windowed application's settings): links planted in shared sticky
// folders are never followed, a link is written through only to a regular file, a file
// the user may not write is never replaced, a replaced file keeps its owner, group and
// mode, and a file with several hard links is written in place with its old contents
// kept beside it until the write has succeeded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/files.h"
#include "tests/support/test_support.h"

using testsupport::ReadText;
using testsupport::TempDir;
using testsupport::WriteText;

namespace {

constexpr uid_t kOther = 65534;  // nobody

std::string Listing(const std::string& dir) {
    std::string out;
    testsupport::RunCommand("ls -A " + dir, &out);
    return out;
}

// Replaces `name` with `text` through the safe output; the open's result.
int Replace(const std::string& name, const std::string& text, FileFailure* failure, bool devicesInPlace = true,
            SafeOutputMode mode = SAFE_REPLACE) {
    SafeOutput output;
    const int opened = SafeOutputOpen(&output, name.c_str(), mode, failure, devicesInPlace);
    if (opened != FILE_READ_OK) return opened;
    std::fputs(text.c_str(), output.file);
    const unsigned long error = SafeOutputCommit(&output);
    return error == 0 ? FILE_READ_OK : -static_cast<int>(error);
}

// A character device of our own where the system lets us make one (a null device
// made in the folder), else /dev/null itself.
std::string CharacterDevice(const TempDir& dir) {
    const std::string node = dir.file("null-device");
    if (mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) return node;
    return "/dev/null";
}

bool IsCharacterDevice(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Through a link, only a regular file is written: a device node, a FIFO, a socket or a
// folder at the link's end is refused, naming the link, and nothing is made beside it.
TEST(OutputRules, LinkToAnythingButARegularFileIsRefused) {
    TempDir dir;
    const std::string device = CharacterDevice(dir);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("sock").c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(symlink("fifo", dir.file("hop").c_str()), 0);
    struct Case {
        const char* link;
        std::string target;
        const char* kind;
    } cases[] = {
        {"to-device", device, "a character device"},
        {"to-fifo", dir.file("fifo"), "a FIFO"},
        {"to-folder", "folder", "a directory"},
        {"to-socket", dir.file("sock"), "a socket"},
        {"two-hops-to-fifo", "hop", "a FIFO"},
    };
    for (const Case& c : cases) ASSERT_EQ(symlink(c.target.c_str(), dir.file(c.link).c_str()), 0) << c.link;
    const std::string before = Listing(dir.path());
    for (const Case& c : cases) {
        for (SafeOutputMode mode : {SAFE_REPLACE, SAFE_APPEND}) {
            for (bool inPlace : {true, false}) {
                FileFailure failure;
                const std::string name = dir.file(c.link);
                EXPECT_EQ(Replace(name, "text\n", &failure, inPlace, mode), FILE_LINK_REFUSED) << c.link;
                EXPECT_EQ(failure.refusal, LINK_NOT_REGULAR) << c.link;
                EXPECT_STREQ(failure.kind, c.kind) << c.link;
                EXPECT_EQ(FileFailureText(FILE_LINK_REFUSED, failure),
                          name + " is a link to " + c.kind + ", not to a regular file");
            }
        }
    }
    EXPECT_EQ(Listing(dir.path()), before);
    EXPECT_TRUE(IsCharacterDevice(device)) << device;
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    close(sock);
}

// Named directly, a character device or FIFO is written in place where the caller
// allows it (an image written to a pipe) and refused where it does not (a settings
// file); a folder never.
TEST(OutputRules, DeviceNamedDirectly) {
    TempDir dir;
    const std::string device = CharacterDevice(dir);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    FileFailure failure;
    EXPECT_EQ(Replace(device, "text\n", &failure, true), FILE_READ_OK);
    EXPECT_EQ(Replace(device, "text\n", &failure, false), FILE_NOT_REGULAR);
    EXPECT_STREQ(NotRegularFileText(failure), "Is a character device, not a regular file");
    EXPECT_EQ(Replace(dir.file("folder"), "text\n", &failure, true), FILE_NOT_REGULAR);
    EXPECT_TRUE(IsCharacterDevice(device));
    // No name at all: nothing is made anywhere.
    EXPECT_EQ(Replace("", "text\n", &failure), FILE_OPEN_FAILED);
    EXPECT_EQ(failure.error, static_cast<unsigned long>(ENOENT));
}

// The kernel's rule for links in shared folders (fs.protected_symlinks), applied to
// every write whether or not the kernel has it switched on: in a sticky world-writable
// folder a link is followed only when it is the user's own or the folder owner's.
TEST(OutputRules, PlantedLinkInASharedStickyFolderIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user (lchown)";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string shared = dir.file("shared");
    const std::string plain = dir.file("plain");
    for (const std::string& d : {shared, plain}) ASSERT_EQ(mkdir(d.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(plain.c_str(), 0777), 0);
    const std::string victim = dir.file("root-owned.txt");
    struct Case {
        const char* what;
        std::string folder;
        uid_t linkOwner, folderOwner;
        bool followed;
    } cases[] = {
        {"another user's link in a sticky shared folder", shared, kOther, 0, false},
        {"own link in a sticky shared folder", shared, 0, 0, true},
        {"the folder owner's link", shared, kOther, kOther, true},
        {"another user's link in a folder that is not sticky", plain, kOther, 0, true},
    };
    for (const Case& c : cases) {
        WriteText(victim, "root's own\n");
        const std::string link = c.folder + "/out.bin";
        unlink(link.c_str());
        ASSERT_EQ(chown(c.folder.c_str(), c.folderOwner, c.folderOwner), 0);
        ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.linkOwner, c.linkOwner), 0);
        for (SafeOutputMode mode : {SAFE_REPLACE, SAFE_APPEND}) {
            FileFailure failure;
            const int result = Replace(link, "new\n", &failure, true, mode);
            if (c.followed) {
                EXPECT_EQ(result, FILE_READ_OK) << c.what;
                WriteText(victim, "root's own\n");
                continue;
            }
            EXPECT_EQ(result, FILE_LINK_REFUSED) << c.what;
            EXPECT_EQ(failure.refusal, LINK_PLANTED) << c.what;
            EXPECT_EQ(FileFailureText(result, failure),
                      link + " is a link in a shared sticky folder, owned by another user: not followed");
            EXPECT_EQ(ReadText(victim), "root's own\n") << c.what;
        }
        // The link itself stays as it was; nothing was made beside it.
        struct stat st {};
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.what;
        EXPECT_EQ(Listing(c.folder), "out.bin\n") << c.what;
    }
}

// A file the user may not write is never replaced, even in a folder the user may
// write (where a rename would succeed). Run as the unprivileged user itself, or as
// nobody in a child process when the tests run as root.
TEST(OutputRules, ProtectedFileIsNotReplaced) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const bool root = geteuid() == 0;
    for (mode_t mode : {0444, 0000}) {
        const std::string name = dir.file("protected.bin");
        unlink(name.c_str());
        WriteText(name, "protected\n");
        ASSERT_EQ(chmod(name.c_str(), mode), 0);
        if (root) {
            ASSERT_EQ(chown(name.c_str(), kOther, kOther), 0);
        }
        const pid_t child = root ? fork() : 0;
        ASSERT_GE(child, 0);
        if (child == 0) {
            // As nobody (when forked), the checks answer through the exit status.
            if (root && (setgid(kOther) != 0 || setuid(kOther) != 0)) _exit(10);
            int status = 0;
            for (SafeOutputMode m : {SAFE_REPLACE, SAFE_APPEND}) {
                FileFailure failure;
                if (Replace(name, "new\n", &failure, true, m) != FILE_OPEN_FAILED) status |= 1;
                if (failure.error != static_cast<unsigned long>(EACCES)) status |= 2;
            }
            if (root) _exit(status);
            EXPECT_EQ(status, 0) << std::oct << mode;
        } else {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0) << std::oct << mode;
        }
        ASSERT_EQ(chmod(name.c_str(), 0600), 0);
        EXPECT_EQ(ReadText(name), "protected\n") << std::oct << mode;
        EXPECT_EQ(Listing(dir.path()), "protected.bin\n");
    }
}

// A replaced file is a new file under the old name with the old one's permissions and,
// where the process may give them, its owner and group.
TEST(OutputRules, ReplaceKeepsOwnerGroupAndMode) {
    TempDir dir;
    const std::string name = dir.file("kept.bin");
    WriteText(name, "old\n");
    ASSERT_EQ(chmod(name.c_str(), 0640), 0);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(name.c_str(), kOther, kOther), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(name.c_str(), &before), 0);
    FileFailure failure;
    ASSERT_EQ(Replace(name, "new\n", &failure), FILE_READ_OK);
    struct stat after {};
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    EXPECT_EQ(ReadText(name), "new\n");
    EXPECT_NE(after.st_ino, before.st_ino);  // replaced, not rewritten
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    if (!root) std::printf("[ NOTE ] not root: the owner kept is the user's own\n");
}

// With a second hard link the file is written in place, so both names see the new
// image; a write abandoned half way puts the old contents back under both names. The
// copy of the old contents is gone either way.
TEST(OutputRules, HardLinkedFileIsWrittenInPlace) {
    TempDir dir;
    const std::string name = dir.file("image.bin"), other = dir.file("other-name.bin");
    const std::vector<uint8_t> old = testsupport::RandomBytes(200000, 7);
    testsupport::WriteFile(name, old);
    ASSERT_EQ(link(name.c_str(), other.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(stat(name.c_str(), &before), 0);
    const std::string listing = Listing(dir.path());

    // Abandoned after part of the new image was written and flushed.
    SafeOutput output;
    FileFailure failure;
    ASSERT_EQ(SafeOutputOpen(&output, name.c_str(), SAFE_REPLACE, &failure), FILE_READ_OK);
    EXPECT_EQ(Listing(dir.path()).find(".pelmo-keep-") != std::string::npos, true);
    std::fputs("half", output.file);
    std::fflush(output.file);
    EXPECT_EQ(ReadText(other), "half");  // in place: the other name sees the write
    SafeOutputAbandon(&output);
    EXPECT_EQ(testsupport::ReadFile(name), old);
    EXPECT_EQ(testsupport::ReadFile(other), old);
    EXPECT_EQ(Listing(dir.path()), listing);

    ASSERT_EQ(Replace(name, "new image\n", &failure), FILE_READ_OK);
    EXPECT_EQ(ReadText(name), "new image\n");
    EXPECT_EQ(ReadText(other), "new image\n");
    struct stat after {};
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(Listing(dir.path()), listing);
}

}  // namespace
