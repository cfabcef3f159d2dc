// The rules every write and save of a named file follows (image files, the console
// configuration, the windowed application's settings): links planted in shared sticky
// folders are never followed, a link is written through only to a regular file, a file
// the user may not write is never replaced, a replaced file keeps its owner, group and
// mode, a file with several hard links is written in place only once its new contents
// are complete, and an output left unfinished is undone on every way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
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

// A file's bytes against what they should be, without printing megabytes on a failure.
bool Holds(const std::string& path, const std::vector<uint8_t>& bytes) { return testsupport::ReadFile(path) == bytes; }

// A Unix socket bound at `path`, or -1.
int BoundSocket(const std::string& path) {
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(sock);
        return -1;
    }
    return sock;
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
    const int sock = BoundSocket(dir.file("sock"));
    ASSERT_GE(sock, 0);
    ASSERT_EQ(symlink("fifo", dir.file("hop").c_str()), 0);
    struct Case {
        const char* link;
        std::string target;
        const char* kind;
    } cases[] = {
        {"to-device", device, "a character device"}, {"to-fifo", dir.file("fifo"), "a FIFO"},
        {"to-folder", "folder", "a directory"},      {"to-socket", dir.file("sock"), "a socket"},
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

// The same rule for every link met on the way, not only the last name: a planted link
// used as a folder, one reached through the user's own link, and one in a link's
// text. The refusal names the link that was not followed; nothing is written.
TEST(OutputRules, PlantedLinkAnywhereInThePathIsNotFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a link to another user (lchown)";
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string shared = dir.file("shared"), victims = dir.file("root-folder"), own = dir.file("own");
    for (const std::string& d : {shared, victims, own}) ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string victim = victims + "/out.bin";
    // shared/evil -> root-folder, planted by another user.
    ASSERT_EQ(symlink(victims.c_str(), (shared + "/evil").c_str()), 0);
    ASSERT_EQ(lchown((shared + "/evil").c_str(), kOther, kOther), 0);
    // The user's own links that lead through it.
    ASSERT_EQ(symlink((shared + "/evil/out.bin").c_str(), (own + "/via-text").c_str()), 0);
    ASSERT_EQ(symlink("../shared", (own + "/shared-folder").c_str()), 0);
    struct Case {
        const char* what;
        std::string name;
    } cases[] = {
        {"a planted link used as a folder", shared + "/evil/out.bin"},
        {"through the user's own link to the shared folder", own + "/shared-folder/evil/out.bin"},
        {"in the text of the user's own link", own + "/via-text"},
        {"a new file in a folder reached through it", shared + "/evil/new.bin"},
    };
    for (const Case& c : cases) {
        for (SafeOutputMode mode : {SAFE_REPLACE, SAFE_APPEND, SAFE_CREATE}) {
            WriteText(victim, "root's own\n");
            FileFailure failure;
            const int result = Replace(c.name, "new\n", &failure, true, mode);
            EXPECT_EQ(result, FILE_LINK_REFUSED) << c.what << " mode " << mode;
            EXPECT_EQ(failure.refusal, LINK_PLANTED) << c.what;
            EXPECT_EQ(std::string(failure.link).substr(std::string(failure.link).rfind('/')), "/evil") << c.what;
            EXPECT_EQ(
                FileFailureText(result, failure),
                std::string(failure.link) + " is a link in a shared sticky folder, owned by another user: not followed")
                << c.what;
            EXPECT_EQ(ReadText(victim), "root's own\n") << c.what;
            EXPECT_EQ(Listing(victims), "out.bin\n") << c.what;
        }
    }
    // Once the folder's owner owns the link, it is followed like the kernel does.
    ASSERT_EQ(lchown((shared + "/evil").c_str(), 0, 0), 0);
    FileFailure failure;
    EXPECT_EQ(Replace(shared + "/evil/out.bin", "new\n", &failure), FILE_READ_OK);
    EXPECT_EQ(ReadText(victim), "new\n");
}

// Walking the path one name at a time, as any user: links used as folders (relative,
// absolute, with ".." after them) are followed to the real folder, the file is made
// or replaced there and no link on the way is changed; a link to a device at the end
// is refused even behind a folder link, a device named through a folder link is named
// directly, and a name on the way that is no folder or does not exist fails.
TEST(OutputRules, LinksOnTheWayAreWalkedOneByOne) {
    TempDir dir;
    const std::string real = dir.file("real"), sub = dir.file("real/sub");
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", dir.file("rel").c_str()), 0);
    ASSERT_EQ(symlink(sub.c_str(), dir.file("abs").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", dir.file("real/to-null").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("real/fifo").c_str(), 0600), 0);
    WriteText(dir.file("real/plain"), "a file\n");
    struct Case {
        const char* name;
        int result;
        std::string written;  // where the text went (FILE_READ_OK)
        unsigned long error;  // FILE_OPEN_FAILED
    } cases[] = {
        {"rel/new.bin", FILE_READ_OK, real + "/new.bin", 0},
        {"abs/new.bin", FILE_READ_OK, sub + "/new.bin", 0},
        {"abs/../new2.bin", FILE_READ_OK, real + "/new2.bin", 0},
        {"rel/sub/../plain", FILE_READ_OK, real + "/plain", 0},
        {"rel/to-null", FILE_LINK_REFUSED, "", 0},
        {"rel/fifo", FILE_NOT_REGULAR, "", 0},  // named directly: refused only when not allowed
        {"rel/plain/x", FILE_OPEN_FAILED, "", ENOTDIR},
        {"rel/missing/x", FILE_OPEN_FAILED, "", ENOENT},
        {"rel/plain/", FILE_OPEN_FAILED, "", ENOTDIR},
    };
    for (const Case& c : cases) {
        FileFailure failure;
        const int result = Replace(dir.file(c.name), "walked\n", &failure, false);
        EXPECT_EQ(result, c.result) << c.name;
        if (c.result == FILE_READ_OK) { EXPECT_EQ(ReadText(c.written), "walked\n") << c.name; }
        if (c.result == FILE_OPEN_FAILED) {
            EXPECT_EQ(failure.error, c.error) << c.name << ": " << std::strerror(static_cast<int>(failure.error));
        }
        if (c.result == FILE_LINK_REFUSED) {
            EXPECT_EQ(FileFailureText(result, failure),
                      dir.file(c.name) + " is a link to a character device, not to a regular file");
        }
    }
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("rel").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(dir.file("abs").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Listing(real), "fifo\nnew.bin\nnew2.bin\nplain\nsub\nto-null\n");
    EXPECT_EQ(Listing(sub), "new.bin\n");
}

// The debug stream's log: appended to as a regular file, created when missing; a FIFO
// (named or through a link) is refused at once instead of waited on.
TEST(OutputRules, LogFileIsOnlyARegularFile) {
    TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink("fifo", dir.file("to-fifo").c_str()), 0);
    WriteText(dir.file("old.log"), "before\n");
    int result = 0;
    FileFailure failure;
    EXPECT_EQ(OpenLogFile(dir.file("fifo").c_str(), &result, &failure), nullptr);
    EXPECT_EQ(result, FILE_NOT_REGULAR);
    EXPECT_EQ(OpenLogFile(dir.file("to-fifo").c_str(), &result, &failure), nullptr);
    EXPECT_EQ(result, FILE_LINK_REFUSED);
    for (const char* name : {"old.log", "new.log"}) {
        FILE* f = OpenLogFile(dir.file(name).c_str(), &result, &failure);
        ASSERT_NE(f, nullptr) << name << FileFailureText(result, failure);
        std::fputs("line\n", f);
        std::fclose(f);
    }
    EXPECT_EQ(ReadText(dir.file("old.log")), "before\nline\n");
    EXPECT_EQ(ReadText(dir.file("new.log")), "line\n");
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
        if (root) { ASSERT_EQ(chown(name.c_str(), kOther, kOther), 0); }
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
    if (root) { ASSERT_EQ(chown(name.c_str(), kOther, kOther), 0); }
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
// image, but only at commit: while the new image is being made, and after it is
// abandoned, both names hold the old contents untouched, and the only file beside them
// is the registered temporary.
TEST(OutputRules, HardLinkedFileIsWrittenInPlace) {
    TempDir dir;
    const std::string name = dir.file("image.bin"), other = dir.file("other-name.bin");
    const std::vector<uint8_t> old = testsupport::RandomBytes(200000, 7);
    testsupport::WriteFile(name, old);
    ASSERT_EQ(chmod(name.c_str(), 0640), 0);
    ASSERT_EQ(link(name.c_str(), other.c_str()), 0);
    struct stat before {};
    ASSERT_EQ(stat(name.c_str(), &before), 0);
    const std::string listing = Listing(dir.path());

    // Abandoned after part of the new image was written and flushed.
    SafeOutput output;
    FileFailure failure;
    ASSERT_EQ(SafeOutputOpen(&output, name.c_str(), SAFE_REPLACE, &failure), FILE_READ_OK);
    std::fputs("half", output.file);
    std::fflush(output.file);
    EXPECT_TRUE(Holds(name, old));  // not touched before the image is complete
    EXPECT_TRUE(Holds(other, old));
    const std::string during = Listing(dir.path());
    EXPECT_NE(during.find(".pelmo-write-"), std::string::npos) << during;
    EXPECT_EQ(during.find(".pelmo-keep-"), std::string::npos) << during;
    SafeOutputAbandon(&output);
    EXPECT_TRUE(Holds(name, old));
    EXPECT_TRUE(Holds(other, old));
    EXPECT_EQ(Listing(dir.path()), listing);

    ASSERT_EQ(Replace(name, "new image\n", &failure), FILE_READ_OK);
    EXPECT_EQ(ReadText(name), "new image\n");
    EXPECT_EQ(ReadText(other), "new image\n");
    struct stat after {};
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(Listing(dir.path()), listing);
}

// A process that ends while an output is unfinished (an exit, or the path a second
// ending signal takes: the registered output undone, then _exit) leaves every file as
// it was and nothing beside it: the temporary goes, an append is cut back (a new file
// goes), and a hard-linked file was never touched.
TEST(OutputRules, UnfinishedOutputIsUndoneOnTheWayOut) {
    const std::vector<uint8_t> old = testsupport::RandomBytes(50000, 9);
    struct Case {
        const char* what;
        SafeOutputMode mode;
        bool exists, hardLinked;
    } cases[] = {
        {"replace", SAFE_REPLACE, true, false},
        {"replace of a hard-linked file", SAFE_REPLACE, true, true},
        {"create", SAFE_CREATE, false, false},
        {"append", SAFE_APPEND, true, false},
        {"append to a new file", SAFE_APPEND, false, false},
    };
    for (const Case& c : cases) {
        for (bool handlerPath : {false, true}) {
            TempDir dir;
            const std::string name = dir.file("image.bin");
            if (c.exists) testsupport::WriteFile(name, old);
            if (c.hardLinked) { ASSERT_EQ(link(name.c_str(), dir.file("other.bin").c_str()), 0); }
            const std::string listing = Listing(dir.path());
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                SafeOutput output;
                FileFailure failure;
                if (SafeOutputOpen(&output, name.c_str(), c.mode, &failure) != FILE_READ_OK) _exit(10);
                const std::vector<uint8_t> part(70000, 0xA5);
                std::fwrite(part.data(), 1, part.size(), output.file);
                std::fflush(output.file);
                std::fwrite(part.data(), 1, 100, output.file);  // still in the stream
                if (handlerPath) {
                    ProcessRemoveTemporary();
                    _exit(0);
                }
                std::exit(0);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.what << " " << status;
            const char* path = handlerPath ? " (signal path)" : " (exit)";
            if (c.exists) { EXPECT_TRUE(Holds(name, old)) << c.what << path; }
            if (c.hardLinked) { EXPECT_TRUE(Holds(dir.file("other.bin"), old)) << c.what << path; }
            EXPECT_EQ(Listing(dir.path()), listing) << c.what << path;
        }
    }
}

// Written in place, the new image goes into the file only once it is complete. Should
// that last copy fail (here: the file size limit, set after the image was made), the
// old contents are put back and the commit says so; should even the copy of the old
// contents fail first, the file is never touched. Run in a child, which the limit
// binds alone.
TEST(OutputRules, FailedCopyIntoAHardLinkedFilePutsTheOldContentsBack) {
    struct Case {
        const char* what;
        size_t oldSize;
        int undo;
    } cases[] = {
        {"the copy of the new image fails", 1000, SAFE_UNDO_RESTORED},
        {"the copy of the old contents fails", 6000, SAFE_UNDO_NONE},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string name = dir.file("image.bin"), other = dir.file("other.bin");
        const std::vector<uint8_t> old = testsupport::RandomBytes(c.oldSize, 11);
        testsupport::WriteFile(name, old);
        ASSERT_EQ(link(name.c_str(), other.c_str()), 0);
        const std::string listing = Listing(dir.path());
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            SafeOutput output;
            FileFailure failure;
            if (SafeOutputOpen(&output, name.c_str(), SAFE_REPLACE, &failure) != FILE_READ_OK) _exit(10);
            const std::vector<uint8_t> image(9000, 0x5A);
            if (std::fwrite(image.data(), 1, image.size(), output.file) != image.size() || std::fflush(output.file))
                _exit(11);
            const rlimit limit{4096, RLIM_INFINITY};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(12);
            const unsigned long error = SafeOutputCommit(&output);
            if (error != EFBIG) _exit(13);
            if (output.undo != c.undo) _exit(14);
            if (std::string(SafeOutputUndoText(output)) !=
                (c.undo == SAFE_UNDO_RESTORED ? name + " has its old contents back" : ""))
                _exit(15);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << c.what << " " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.what;
        EXPECT_TRUE(Holds(name, old)) << c.what;
        EXPECT_TRUE(Holds(other, old)) << c.what;
        struct stat st {};
        ASSERT_EQ(stat(name.c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 2u) << c.what;
        EXPECT_EQ(Listing(dir.path()), listing) << c.what;
    }
}

// Where a regular file is to be read, anything else is refused at once (a FIFO without
// a writer would otherwise block), told apart by its kind and type; a failed open keeps
// its own error even when what it met was no regular file (a socket cannot be opened).
// Links are followed to whatever they lead to.
TEST(RegularFiles, OnlyARegularFileIsRead) {
    TempDir dir;
    WriteText(dir.file("plain"), "text\n");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    const int sock = BoundSocket(dir.file("sock"));
    ASSERT_GE(sock, 0);
    ASSERT_EQ(symlink("plain", dir.file("to-plain").c_str()), 0);
    ASSERT_EQ(symlink("fifo", dir.file("to-fifo").c_str()), 0);
    ASSERT_EQ(symlink("folder", dir.file("to-folder").c_str()), 0);
    ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
    struct Case {
        std::string name;
        int result;
        int type;
        int error;
        const char* text;
    } cases[] = {
        {dir.file("plain"), FILE_READ_OK, FILE_TYPE_NONE, 0, ""},
        {dir.file("to-plain"), FILE_READ_OK, FILE_TYPE_NONE, 0, ""},
        {dir.file("missing"), FILE_OPEN_FAILED, FILE_TYPE_NONE, ENOENT, "No such file or directory"},
        {dir.file("dangling"), FILE_OPEN_FAILED, FILE_TYPE_NONE, ENOENT, "No such file or directory"},
        {dir.file("plain/below"), FILE_OPEN_FAILED, FILE_TYPE_NONE, ENOTDIR, "Not a directory"},
        {dir.file("fifo"), FILE_NOT_REGULAR, FILE_TYPE_FIFO, 0, "Is a FIFO, not a regular file"},
        {dir.file("to-fifo"), FILE_NOT_REGULAR, FILE_TYPE_FIFO, 0, "Is a FIFO, not a regular file"},
        {dir.file("folder"), FILE_NOT_REGULAR, FILE_TYPE_DIRECTORY, 0, "Is a directory, not a regular file"},
        {dir.file("to-folder"), FILE_NOT_REGULAR, FILE_TYPE_DIRECTORY, 0, "Is a directory, not a regular file"},
        {dir.file("sock"), FILE_NOT_REGULAR, FILE_TYPE_SOCKET, ENXIO, "Is a socket, not a regular file"},
        {"/dev/null", FILE_NOT_REGULAR, FILE_TYPE_CHARACTER_DEVICE, 0, "Is a character device, not a regular file"},
    };
    for (const Case& c : cases) {
        int result = -1;
        FileFailure failure;
        FILE* f = OpenRegularFile(c.name.c_str(), &result, &failure);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(f != nullptr, c.result == FILE_READ_OK) << c.name;
        if (f) {
            char line[16] = {};
            EXPECT_NE(std::fgets(line, sizeof line, f), nullptr) << c.name;
            EXPECT_STREQ(line, "text\n") << c.name;
            std::fclose(f);
            continue;
        }
        EXPECT_EQ(failure.type, c.type) << c.name;
        EXPECT_EQ(failure.error, static_cast<unsigned long>(c.error)) << c.name;
        EXPECT_STREQ(FileFailureText(result, failure), c.text) << c.name;

        // Read whole, the same refusals.
        FileFailure whole;
        uint8_t* bytes = nullptr;
        uint32_t size = 0;
        EXPECT_EQ(ReadRegularFile(c.name.c_str(), 1000, 0, &bytes, &size, &whole), c.result) << c.name;
        EXPECT_EQ(bytes, nullptr) << c.name;
        EXPECT_EQ(whole.type, c.type) << c.name;
    }
    close(sock);
}

// Something is there under a name when stat finds it through every link; readable when
// the user may read it, else the error says why (nothing there is ENOENT).
TEST(RegularFiles, ExistsAndReadable) {
    TempDir dir;
    WriteText(dir.file("plain"), "text\n");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(symlink("plain", dir.file("to-plain").c_str()), 0);
    ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
    struct Case {
        const char* name;
        bool exists;
        int readable;
    } cases[] = {
        {"plain", true, 0},
        {"to-plain", true, 0},
        {"fifo", true, 0},
        {"folder", true, 0},
        {"missing", false, ENOENT},
        {"dangling", false, ENOENT},
        {"plain/below", false, ENOTDIR},
    };
    for (const Case& c : cases) {
        const std::string name = dir.file(c.name);
        EXPECT_EQ(FileExists(name.c_str()), c.exists) << c.name;
        EXPECT_EQ(FileReadableError(name.c_str()), static_cast<unsigned long>(c.readable)) << c.name;
    }

    // A file its owner keeps to himself, asked by someone else (nobody, when root).
    WriteText(dir.file("private"), "private\n");
    ASSERT_EQ(chmod(dir.file("private").c_str(), 0000), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const bool root = geteuid() == 0;
    const pid_t child = root ? fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (root && (setgid(kOther) != 0 || setuid(kOther) != 0)) _exit(10);
        const std::string name = dir.file("private");
        const int status = (FileExists(name.c_str()) ? 0 : 1) | (FileReadableError(name.c_str()) == EACCES ? 0 : 2);
        if (root) _exit(status);
        EXPECT_EQ(status, 0);
    } else {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
}

// A whole small file put in place: new or replacing, through a link to a regular file
// too, with or without the folder synced; nothing else is written over, and a failure
// leaves the old file and no temporary behind, the reason in words.
TEST(RegularFiles, ReplaceWhole) {
    TempDir dir;
    WriteText(dir.file("old"), "old contents\n");
    ASSERT_EQ(symlink("old", dir.file("to-old").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/dev/null", dir.file("to-device").c_str()), 0);
    const std::string text = "new contents\n";
    for (bool sync : {false, true}) {
        const std::string fresh = dir.file(sync ? "fresh-synced" : "fresh");
        std::string why = "untouched";
        EXPECT_TRUE(FileReplaceWhole(fresh.c_str(), text.data(), text.size(), sync, &why)) << why;
        EXPECT_EQ(why, "untouched");
        EXPECT_EQ(ReadText(fresh), text);
        WriteText(dir.file("old"), "old contents\n");
        EXPECT_TRUE(FileReplaceWhole(dir.file("to-old").c_str(), text.data(), text.size(), sync, nullptr));
        EXPECT_EQ(ReadText(dir.file("old")), text);
        struct stat st {};
        ASSERT_EQ(lstat(dir.file("to-old").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself is not replaced";
    }
    const std::string listing = Listing(dir.path());
    struct Case {
        std::string name;
        std::string why;
    } refused[] = {
        {dir.file("fifo"), "Is a FIFO, not a regular file"},
        {dir.file("folder"), "Is a directory, not a regular file"},
        {dir.file("to-device"), dir.file("to-device") + " is a link to a character device, not to a regular file"},
        {dir.file("nowhere/file"), "No such file or directory"},
    };
    for (const Case& c : refused) {
        std::string why;
        EXPECT_FALSE(FileReplaceWhole(c.name.c_str(), text.data(), text.size(), true, &why)) << c.name;
        EXPECT_EQ(why, c.why) << c.name;
        EXPECT_FALSE(FileReplaceWhole(c.name.c_str(), text.data(), text.size(), false, nullptr)) << c.name;
    }
    EXPECT_EQ(Listing(dir.path()), listing);
    struct stat st {};
    ASSERT_EQ(lstat(dir.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A write that fails: straight from fwrite (a large block) or at the flush of the
    // commit (a small one, still buffered). Under a file size limit, in a child.
    struct Failing {
        size_t size;
        rlim_t limit;
    } failing[] = {{65536, 4096}, {100, 10}};
    for (const Failing& c : failing) {
        const std::string name = dir.file("old");
        WriteText(name, "old contents\n");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{c.limit, RLIM_INFINITY};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
            const std::vector<uint8_t> bytes(c.size, 0x5A);
            std::string why;
            if (FileReplaceWhole(name.c_str(), bytes.data(), bytes.size(), true, &why)) _exit(11);
            _exit(why == "File too large" ? 0 : 12);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << c.size;
        EXPECT_EQ(WEXITSTATUS(status), 0) << c.size;
        EXPECT_EQ(ReadText(name), "old contents\n") << c.size;
        EXPECT_EQ(Listing(dir.path()), listing) << c.size;
    }
}

// The running program's own file: absolute, no link on the way, the very file running.
TEST(ProgramPath, NamesTheRunningFile) {
    const std::string path = ProcessProgramPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/') << path;
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "files_tests") << path;
    char* real = realpath(path.c_str(), nullptr);
    ASSERT_NE(real, nullptr) << path;
    EXPECT_EQ(std::string(real), path);
    std::free(real);
    struct stat named {
    }, running{};
    ASSERT_EQ(stat(path.c_str(), &named), 0);
    ASSERT_EQ(stat("/proc/self/exe", &running), 0);
    EXPECT_EQ(named.st_dev, running.st_dev);
    EXPECT_EQ(named.st_ino, running.st_ino);
}

}  // namespace
