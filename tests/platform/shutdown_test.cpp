// The shutdown list: newest first, each clean-up once, a clean-up registered while the
// list runs still runs, and an emptied list runs nothing; at process exit the list runs
// by itself (checked in a child process).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/shutdown.h"

namespace {

std::string g_order;

void A() { g_order += 'a'; }
void B() { g_order += 'b'; }
void C() { g_order += 'c'; }
void RegistersC() {
    g_order += 'r';
    ShutdownRegister(C);
}

TEST(Shutdown, RunsNewestFirstOnceEach) {
    g_order.clear();
    ShutdownRegister(A);
    ShutdownRegister(B);
    ShutdownRegister(A);  // keeps its first place
    ShutdownRunAll();
    EXPECT_EQ(g_order, "ba");
    ShutdownRunAll();
    EXPECT_EQ(g_order, "ba") << "a list that ran is empty";
}

TEST(Shutdown, CleanUpRegisteredWhileRunningRunsToo) {
    g_order.clear();
    ShutdownRegister(A);
    ShutdownRegister(RegistersC);
    ShutdownRunAll();
    EXPECT_EQ(g_order, "rca");
}

TEST(Shutdown, RunsAtProcessExit) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFds[0]);
        static int fd = pipeFds[1];
        ShutdownRegister([] { (void)!write(fd, "1", 1); });
        ShutdownRegister([] { (void)!write(fd, "2", 1); });
        std::exit(0);
    }
    close(pipeFds[1]);
    std::string got;
    char c;
    while (read(pipeFds[0], &c, 1) == 1) got += c;
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(got, "21");
}

}  // namespace
