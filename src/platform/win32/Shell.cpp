// Detached start by double fork: the intermediate child exits at once and is reaped
// here, so the program is adopted by init and never becomes our zombie. A close-on-exec
// pipe tells whether the exec itself succeeded. Between fork and exec only
// async-signal-safe calls are made, since other threads may hold locks.
#include "platform/win32/Shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/close_range.h>
#include <sys/syscall.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace quillon::platform {
namespace {

// PATH lookup done before forking, where allocation is still allowed.
std::string ResolveProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    std::size_t colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view{} : dirs.substr(colon + 1);
    std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + name;
    struct stat st {};
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

void WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

namespace detail {

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) return false;
  std::string program = ResolveProgram(argv[0]);
  if (program.empty()) return false;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  // The program must not inherit our sockets and files (a listening socket kept open by
  // a browser would outlive the server).
  long max_fd = sysconf(_SC_OPEN_MAX);
  int fd_limit = max_fd > 0 && max_fd < 65536 ? static_cast<int>(max_fd) : 65536;

  int status_pipe[2];
  if (pipe2(status_pipe, O_CLOEXEC) != 0) return false;

  pid_t child = fork();
  if (child < 0) {
    close(status_pipe[0]);
    close(status_pipe[1]);
    return false;
  }
  if (child == 0) {
    close(status_pipe[0]);
    setsid();
    pid_t grandchild = fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDOUT_FILENO);
      if (devnull > STDERR_FILENO) close(devnull);
    }
    if (syscall(SYS_close_range, 3u, UINT_MAX, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < fd_limit; ++fd) {
        if (fd != status_pipe[1]) fcntl(fd, F_SETFD, FD_CLOEXEC);
      }
    }
    execv(program.c_str(), args.data());
    int err = errno;
    WriteAll(status_pipe[1], &err, sizeof err);
    _exit(127);
  }

  close(status_pipe[1]);
  int child_status = 0;
  while (waitpid(child, &child_status, 0) < 0 && errno == EINTR) {
  }
  // EOF without data: the exec succeeded and closed the pipe.
  int exec_error = 0;
  ssize_t got;
  do {
    got = read(status_pipe[0], &exec_error, sizeof exec_error);
  } while (got < 0 && errno == EINTR);
  close(status_pipe[0]);
  bool forked = WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0;
  return forked && got == 0;
}

}  // namespace detail

bool OpenURLInBrowser(const std::string& url) {
  if (url.empty()) return false;
  return detail::SpawnDetached({"xdg-open", url});
}

}  // namespace quillon::platform
