// Detached program start: arguments reach the program verbatim (no shell), a missing
// program is reported, and our descriptors are not inherited.
#include "platform/win32/Shell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using quillon::platform::OpenURLInBrowser;
using quillon::platform::detail::SpawnDetached;

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-shell-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }

  // Detached programs finish on their own time.
  static bool WaitFor(const fs::path& p) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (fs::exists(p)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  fs::path dir;
};

TEST_F(ShellTest, ArgumentIsPassedVerbatim) {
  fs::path target = dir / "a b;$(echo no)&c";
  ASSERT_TRUE(SpawnDetached({"touch", target.string()}));
  EXPECT_TRUE(WaitFor(target));
}

TEST_F(ShellTest, MissingProgramIsReported) {
  EXPECT_FALSE(SpawnDetached({"quillon-no-such-program"}));
  EXPECT_FALSE(SpawnDetached({(dir / "absent").string()}));
  EXPECT_FALSE(SpawnDetached({}));
  EXPECT_FALSE(OpenURLInBrowser(""));
}

TEST_F(ShellTest, OurDescriptorsAreNotInherited) {
  int pair[2];
  ASSERT_EQ(pipe(pair), 0);
  // Moved high, clear of what the listing program opens itself; no close-on-exec.
  int fds[2] = {fcntl(pair[0], F_DUPFD, 100), fcntl(pair[1], F_DUPFD, 100)};
  close(pair[0]);
  close(pair[1]);
  ASSERT_GE(fds[0], 100);
  ASSERT_GE(fds[1], 100);
  fs::path listing = dir / "fds";
  fs::path done = dir / "done";
  std::string script = "ls /proc/self/fd > '" + listing.string() + "'; touch '" +
                       done.string() + "'";
  ASSERT_TRUE(SpawnDetached({"/bin/sh", "-c", script}));
  ASSERT_TRUE(WaitFor(done));
  close(fds[0]);
  close(fds[1]);

  std::ifstream in(listing);
  std::string fd;
  while (in >> fd) {
    EXPECT_NE(fd, std::to_string(fds[0]));
    EXPECT_NE(fd, std::to_string(fds[1]));
  }
}

}  // namespace
