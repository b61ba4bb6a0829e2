// TLS certificate bindings and TLS listeners: the binding table's results, a certificate that
// is in no store, a full request over TLS with the bound certificate, and writes to a peer that
// has gone, which must fail without raising SIGPIPE.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <atomic>
#include <thread>
#include <vector>

#include "HttpTestSupport.h"
#include "platform/httpapi/CertStore.h"
#include "platform/httpapi/http.h"

namespace {

using namespace httptest;
namespace fs = std::filesystem;

struct Binding {
  sockaddr_in address{};
  quillon::platform::Thumbprint hash{};
  HTTP_SERVICE_CONFIG_SSL_SET set{};
  std::string store;
  Binding(std::uint16_t port, const quillon::platform::Thumbprint& thumbprint, std::string storeName)
      : hash(thumbprint), store(std::move(storeName)) {
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    set.KeyDesc.pIpPort = reinterpret_cast<PSOCKADDR>(&address);
    set.ParamDesc.SslHashLength = static_cast<ULONG>(hash.size());
    set.ParamDesc.pSslHash = hash.data();
    set.ParamDesc.pSslCertStoreName = store.c_str();
  }
  ULONG Set() { return HttpSetServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &set, sizeof set, nullptr); }
  ULONG Delete() {
    return HttpDeleteServiceConfiguration(nullptr, HttpServiceConfigSSLCertInfo, &set, sizeof set, nullptr);
  }
};

class ServiceConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quillon-stores-" + std::to_string(getpid()));
    fs::create_directories(root_);
    setenv("QUILLON_CERT_STORES", root_.c_str(), 1);
    thumbprintHex_ = quillon::platform::CreateSelfSignedCertificate("TestStore", "127.0.0.1");
    thumbprint_ = *quillon::platform::ParseThumbprint(thumbprintHex_);
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
  std::string thumbprintHex_;
  quillon::platform::Thumbprint thumbprint_{};
};

TEST_F(ServiceConfig, BindingTableAnswersLikeTheRealOne) {
  std::uint16_t port = FreePort();
  Binding binding(port, thumbprint_, "TestStore");
  EXPECT_EQ(binding.Set(), NO_ERROR);
  EXPECT_EQ(binding.Set(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(binding.Delete(), NO_ERROR);
  EXPECT_EQ(binding.Delete(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(binding.Set(), NO_ERROR);  // delete-then-set replaces a binding
  EXPECT_EQ(binding.Delete(), NO_ERROR);
  quillon::platform::Thumbprint unknown{};
  unknown.fill(0xAB);
  Binding missing(port, unknown, "TestStore");
  EXPECT_EQ(missing.Set(), ERROR_NOT_FOUND);
  Binding noStore(port, thumbprint_, "NoSuchStore");
  EXPECT_NE(noStore.Set(), NO_ERROR);
}

TEST_F(ServiceConfig, RequestsOverTlsWithTheBoundCertificate) {
  std::uint16_t port = FreePort();
  Binding binding(port, thumbprint_, "TestStore");
  ASSERT_EQ(binding.Set(), NO_ERROR);
  Server server("/", "https", "+", port);
  ASSERT_FALSE(server.prefix.empty());
  // The 0.0.0.0 binding serves the wildcard's IPv6 peers too.
  std::vector<const char*> addresses{"127.0.0.1"};
  if (HasIpv6Loopback()) addresses.push_back("::1");
  std::thread responder([&] {
    for (std::size_t i = 0; i < addresses.size(); ++i) {
      Received r = Receive(server.queue);
      if (r.rc == NO_ERROR) Respond(server.queue, r.request->RequestId, 200, "secret");
    }
  });

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  for (const char* address : addresses) {
    SCOPED_TRACE(address);
    Client tcp(port, address);
    ASSERT_TRUE(tcp.connected());
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, tcp.fd());
    ASSERT_EQ(SSL_connect(ssl), 1);
    // The peer presents the certificate with the bound thumbprint.
    X509* cert = SSL_get1_peer_certificate(ssl);
    ASSERT_NE(cert, nullptr);
    unsigned char md[20];
    unsigned int mdLength = 0;
    X509_digest(cert, EVP_sha1(), md, &mdLength);
    X509_free(cert);
    EXPECT_EQ(0, std::memcmp(md, thumbprint_.data(), 20));
    std::string request = Get("/");
    ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())),
              static_cast<int>(request.size()));
    std::string response;
    char buf[4096];
    while (response.find("secret") == std::string::npos) {
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n <= 0) break;
      response.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(response.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(response.find("secret"), std::string::npos);
    SSL_free(ssl);
  }
  SSL_CTX_free(ctx);
  responder.join();

  // Plain text to the TLS port gets nowhere and harms nothing.
  Client plain(port);
  plain.Send(Get("/"));
  EXPECT_TRUE(plain.WaitClosed());
  binding.Delete();
}

std::atomic<int> g_sigpipes{0};

// Counts SIGPIPE instead of dying of it, for the life of the object.
class SigpipeCounter {
 public:
  SigpipeCounter() {
    struct sigaction counting {};
    counting.sa_handler = [](int) { g_sigpipes.fetch_add(1); };
    sigemptyset(&counting.sa_mask);
    sigaction(SIGPIPE, &counting, &saved_);
    g_sigpipes = 0;
  }
  ~SigpipeCounter() { sigaction(SIGPIPE, &saved_, nullptr); }
  int count() const { return g_sigpipes.load(); }

 private:
  struct sigaction saved_ {};
};

// A client that asked for something and left before the answer: the engine sees the end of its
// input, the first write of the answer draws a reset, and the next one fails with EPIPE. That
// failure must come back as a failed call, never as a signal, over plain TCP and over TLS.
TEST_F(ServiceConfig, WritesToAPeerThatLeftFailWithoutSigpipe) {
  SigpipeCounter sigpipes;
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "plain");
    std::uint16_t port = FreePort();
    Binding binding(port, thumbprint_, "TestStore");
    if (tls) {
      ASSERT_EQ(binding.Set(), NO_ERROR);
    }
    Server server("/", tls ? "https" : "http", "+", port);
    ASSERT_FALSE(server.prefix.empty());
    {
      Client tcp(port);
      ASSERT_TRUE(tcp.connected());
      std::string request = Get("/");
      if (tls) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        // TLS 1.2 sends no tickets after the handshake: nothing unread makes the close a reset.
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, tcp.fd());
        ASSERT_EQ(SSL_connect(ssl), 1);
        ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())),
                  static_cast<int>(request.size()));
        SSL_shutdown(ssl);
        SSL_free(ssl);
        SSL_CTX_free(ctx);
      } else {
        ASSERT_TRUE(tcp.Send(request));
      }
    }  // closed
    Received r = Receive(server.queue);
    ASSERT_EQ(r.rc, NO_ERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    HTTP_RESPONSE_V2 response{};
    response.StatusCode = 200;
    ASSERT_EQ(HttpSendHttpResponse(server.queue, r.request->RequestId,
                                   HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &response, nullptr, nullptr,
                                   nullptr, 0, nullptr, nullptr),
              NO_ERROR);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reset comes back
    ULONG rc = NO_ERROR;
    for (int i = 0; i < 5 && rc == NO_ERROR; ++i)
      rc = SendBody(server.queue, r.request->RequestId, std::string(1000, 'x'),
                    HTTP_SEND_RESPONSE_FLAG_MORE_DATA);
    EXPECT_EQ(rc, ERROR_CONNECTION_INVALID);
    if (tls) binding.Delete();
  }
  EXPECT_EQ(sigpipes.count(), 0);
}

// Clients that finish the handshake and go at once: the tickets and alerts the server still
// writes meet a closed socket.
TEST_F(ServiceConfig, ClientsLeavingRightAfterTheHandshakeRaiseNoSigpipe) {
  SigpipeCounter sigpipes;
  std::uint16_t port = FreePort();
  Binding binding(port, thumbprint_, "TestStore");
  ASSERT_EQ(binding.Set(), NO_ERROR);
  {
    Server server("/", "https", "+", port);
    ASSERT_FALSE(server.prefix.empty());
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    for (int i = 0; i < 30; ++i) {
      Client tcp(port);
      ASSERT_TRUE(tcp.connected());
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, tcp.fd());
      EXPECT_EQ(SSL_connect(ssl), 1);
      SSL_free(ssl);
    }
    SSL_CTX_free(ctx);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the engine write
    // The listener still serves.
    Client after(port);
    EXPECT_TRUE(after.connected());
  }
  binding.Delete();
  EXPECT_EQ(sigpipes.count(), 0);
}

}  // namespace
