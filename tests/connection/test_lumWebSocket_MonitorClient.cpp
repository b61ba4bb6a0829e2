// The watchdog's client against real peers on the loopback: a Python websockets server (plain
// and TLS with a self-signed certificate), peers that answer wrongly or never, a refused port.
#include "connection/lumWebSocket_MonitorClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/httpapi/CertStore.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const fs::path kPeerScript = fs::path(QUILLON_TESTS_DIR) / "connection" / "monitor_peer.py";

// The peer script as a child process: its stdin keeps it alive, its stdout reports.
class TPeer {
 public:
  explicit TPeer(std::vector<std::string> aArgs) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    FPid = fork();
    if (FPid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      std::vector<std::string> argv = {"/usr/bin/python3", kPeerScript.string()};
      argv.insert(argv.end(), aArgs.begin(), aArgs.end());
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    FIn = in[1];
    FOut = out[0];
    std::string ready = ReadLine(20s);
    if (ready.rfind("ready ", 0) != 0) throw std::runtime_error("peer did not start: " + ready);
    Port = static_cast<std::uint16_t>(std::stoi(ready.substr(6)));
  }
  ~TPeer() {
    close(FIn);  // the peer ends when its stdin closes
    int status = 0;
    for (int i = 0; i < 100 && waitpid(FPid, &status, WNOHANG) == 0; ++i) usleep(50000);
    if (waitpid(FPid, &status, WNOHANG) == 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, &status, 0);
    }
    close(FOut);
  }

  // One line of the peer's output, or "" when none came in time.
  std::string ReadLine(std::chrono::milliseconds aLimit) {
    auto end = std::chrono::steady_clock::now() + aLimit;
    for (;;) {
      size_t nl = FBuffer.find('\n');
      if (nl != std::string::npos) {
        std::string line = FBuffer.substr(0, nl);
        FBuffer.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left <= 0ms) return "";
      pollfd p{FOut, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[512];
      ssize_t n = read(FOut, buf, sizeof buf);
      if (n <= 0) return "";
      FBuffer.append(buf, static_cast<size_t>(n));
    }
  }

  std::uint16_t Port = 0;

 private:
  pid_t FPid = -1;
  int FIn = -1, FOut = -1;
  std::string FBuffer;
};

std::uint16_t RefusedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);  // bound but never listened: connecting is refused
  return ntohs(a.sin_port);
}

TlumWSMonitorClient Client(std::string aHost, std::uint16_t aPort, std::string aPath = "/",
                           bool aSSL = false) {
  TlumWSMonitorClient c;
  c.Host = std::move(aHost);
  c.Port = aPort;
  c.Path = std::move(aPath);
  c.SSL = aSSL;
  return c;
}

TEST(MonitorClient, HandshakesAndClosesCleanlyWithARealServer) {
  TPeer peer({"ws"});
  struct {
    std::string host, path, seen;
  } cases[] = {
      {"127.0.0.1", "/watchdog/0123456789ABCDEF0123456789ABCDEF",
       "/watchdog/0123456789ABCDEF0123456789ABCDEF"},
      {"+", "chat/SECRET", "/chat/SECRET"},  // wildcard host via loopback, "/" added
      {"localhost", "", "/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + " " + c.path);
    auto client = Client(c.host, peer.Port, c.path);
    ASSERT_TRUE(client.Connect(5s)) << client.LastError();
    EXPECT_EQ(client.LastResult(), TlumWSMonitorResult::mrSuccess);
    // The server accepted our masked close frame with code 1000.
    EXPECT_EQ(peer.ReadLine(5s), "closed " + c.seen + " 1000");
  }
}

TEST(MonitorClient, ReportsEachKindOfFailure) {
  TPeer badAccept({"badaccept"});
  TPeer notFound({"notfound"});
  struct {
    const char* name;
    std::uint16_t port;
    TlumWSMonitorResult result;
    const char* text;
  } cases[] = {
      {"wrong accept key", badAccept.Port, TlumWSMonitorResult::mrHandshake, "Sec-WebSocket-Accept"},
      {"not an upgrade", notFound.Port, TlumWSMonitorResult::mrHandshake, "404"},
      {"refused", RefusedPort(), TlumWSMonitorResult::mrConnect, "refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Client("127.0.0.1", c.port);
    EXPECT_FALSE(client.Connect(5s));
    EXPECT_EQ(client.LastResult(), c.result);
    EXPECT_NE(client.LastError().find(c.text), std::string::npos) << client.LastError();
  }
}

TEST(MonitorClient, GivesUpOnASilentServerWithinTheLimit) {
  TPeer silent({"silent"});
  for (bool ssl : {false, true}) {
    SCOPED_TRACE(ssl ? "TLS" : "plain");
    auto client = Client("127.0.0.1", silent.Port, "/", ssl);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Connect(400ms));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(client.LastResult(), TlumWSMonitorResult::mrTimeOut) << client.LastError();
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 2s);
  }
}

TEST(MonitorClient, ConnectsOverTLSWithASelfSignedCertificate) {
  fs::path store = fs::temp_directory_path() /
                   ("quillon-monitor-" + std::to_string(getpid()));
  fs::create_directories(store);
  std::string thumb = platform::CreateSelfSignedCertificate(store.string(), "127.0.0.1");
  std::string pem = (store / (thumb + ".pem")).string();
  {
    TPeer peer({"ws", "--cert", pem});

    auto client = Client("127.0.0.1", peer.Port, "/secure", true);
    ASSERT_TRUE(client.Connect(5s)) << client.LastError();
    EXPECT_EQ(peer.ReadLine(5s), "closed /secure 1000");

    client.SSLHash = thumb;  // pinned to the server's own certificate
    ASSERT_TRUE(client.Connect(5s)) << client.LastError();
    EXPECT_EQ(peer.ReadLine(5s), "closed /secure 1000");

    client.SSLHash = std::string(40, 'A');
    EXPECT_FALSE(client.Connect(5s));
    EXPECT_EQ(client.LastResult(), TlumWSMonitorResult::mrTLS);
    EXPECT_NE(client.LastError().find("hash"), std::string::npos) << client.LastError();
  }
  {
    // TLS spoken to a plain server fails as TLS, promptly.
    TPeer plain({"ws"});
    auto client = Client("127.0.0.1", plain.Port, "/", true);
    EXPECT_FALSE(client.Connect(5s));
    EXPECT_EQ(client.LastResult(), TlumWSMonitorResult::mrTLS) << client.LastError();
  }
  fs::remove_all(store);
}

}  // namespace
}  // namespace quillon
