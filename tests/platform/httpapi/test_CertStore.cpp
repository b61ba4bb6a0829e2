// Certificate stores: folder naming, thumbprints, lookup failures, self-signed certificates
// and a real TLS handshake with the context made from a store.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/httpapi/CertStore.h"

namespace fs = std::filesystem;
using namespace quillon::platform;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& p, const std::string& data) {
  std::ofstream out(p, std::ios::binary);
  out << data;
}

X509* FirstCert(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  return cert;
}

std::string Sha1Hex(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  X509_digest(cert, EVP_sha1(), md, &len);
  Thumbprint t{};
  std::copy(md, md + t.size(), t.begin());
  return ThumbprintToHex(t);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The PEM block of one kind ("CERTIFICATE", "PRIVATE KEY") from a store file.
std::string PemBlock(const std::string& pem, const std::string& label) {
  auto begin = pem.find("-----BEGIN " + label + "-----");
  std::string endMark = "-----END " + label + "-----\n";
  auto end = pem.find(endMark, begin);
  return pem.substr(begin, end + endMark.size() - begin);
}

class CertStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quillon-certstore-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setenv("QUILLON_CERT_STORES", (root_ / "stores").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUILLON_CERT_STORES");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  fs::path Stores() const { return root_ / "stores"; }

  template <typename F>
  static CertStoreError Catch(F&& f) {
    try {
      f();
    } catch (const CertStoreError& e) {
      return e;
    }
    ADD_FAILURE() << "no CertStoreError thrown";
    return CertStoreError(CertErrorKind::Crypto, "none");
  }

  fs::path root_;
};

TEST_F(CertStoreTest, StoreFolderNaming) {
  EXPECT_EQ(CertStoreFolder(""), (Stores() / "MY").string());
  EXPECT_EQ(CertStoreFolder("WebHosting"), (Stores() / "WebHosting").string());
  EXPECT_EQ(CertStoreFolder("/srv/certs/"), "/srv/certs/");
  EXPECT_EQ(CertStoreFolder("/srv/x/../certs"), "/srv/certs");

  // A differently cased folder that exists is the store; otherwise the name is taken as is.
  fs::create_directories(Stores() / "MY");
  EXPECT_EQ(CertStoreFolder("my"), (Stores() / "MY").string());
  EXPECT_EQ(CertStoreFolder("Root"), (Stores() / "Root").string());

  auto e = Catch([] { CertStoreFolder("a/../../etc"); });
  EXPECT_EQ(e.kind(), CertErrorKind::InvalidStore);
  EXPECT_EQ(e.win32Code(), ERROR_INVALID_PARAMETER);

  unsetenv("QUILLON_CERT_STORES");
  const char* oldHome = std::getenv("HOME");
  std::string saved = oldHome ? oldHome : "";
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(CertStoreFolder(""), "/home/someone/.config/quillon/certstores/MY");
  if (oldHome) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

TEST(Thumbprint, ParsesHexInEitherCaseIgnoringSeparators) {
  const std::string hex = "0A1B2C3D4E5F60718293A4B5C6D7E8F90A1B2C3D";
  auto want = ParseThumbprint(hex);
  ASSERT_TRUE(want);
  EXPECT_EQ(ThumbprintToHex(*want), hex);
  EXPECT_EQ((*want)[0], 0x0A);
  EXPECT_EQ((*want)[19], 0x3D);

  for (const std::string& text :
       {Lower(hex), std::string("0a 1b 2c 3d 4e 5f 60 71 82 93 a4 b5 c6 d7 e8 f9 0a 1b 2c 3d"),
        std::string("0A:1B:2C:3D:4E:5F:60:71:82:93:A4:B5:C6:D7:E8:F9:0A:1B:2C:3D"),
        "\xE2\x80\x8E" + hex}) {
    auto got = ParseThumbprint(text);
    ASSERT_TRUE(got) << text;
    EXPECT_EQ(*got, *want) << text;
  }
  for (const std::string& bad : {std::string(), hex.substr(1), hex + "0", hex.substr(0, 39) + "g",
                                 std::string(40, 'x'), hex + "00"}) {
    EXPECT_FALSE(ParseThumbprint(bad)) << bad;
  }

  unsigned char raw[21] = {};
  raw[0] = 0xAB;
  auto fromBytes = ThumbprintFromBytes(raw, 20);
  ASSERT_TRUE(fromBytes);
  EXPECT_EQ(ThumbprintToHex(*fromBytes).substr(0, 4), "AB00");
  EXPECT_FALSE(ThumbprintFromBytes(raw, 21));
  EXPECT_FALSE(ThumbprintFromBytes(raw, 19));
  EXPECT_FALSE(ThumbprintFromBytes(nullptr, 20));
}

TEST_F(CertStoreTest, SelfSignedCertificateIsWrittenPrivatelyAndFoundByThumbprint) {
  const std::string hex = CreateSelfSignedCertificate("", "127.0.0.1");
  ASSERT_EQ(hex.size(), 40u);
  EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);

  const fs::path file = Stores() / "MY" / (hex + ".pem");
  ASSERT_TRUE(fs::exists(file));
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((Stores() / "MY").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(std::distance(fs::directory_iterator(Stores() / "MY"), fs::directory_iterator()), 1)
      << "no temporary file may stay behind";

  const std::string pem = ReadFile(file);
  X509* cert = FirstCert(pem);
  ASSERT_NE(cert, nullptr);
  EXPECT_EQ(Sha1Hex(cert), hex);
  EXPECT_EQ(X509_check_ip_asc(cert, "127.0.0.1", 0), 1);
  EXPECT_EQ(X509_check_host(cert, "127.0.0.1", 0, 0, nullptr), 1);
  char cn[128] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
  EXPECT_STREQ(cn, "127.0.0.1");
  int days = 0, secs = 0;
  ASSERT_EQ(ASN1_TIME_diff(&days, &secs, nullptr, X509_get0_notAfter(cert)), 1);
  EXPECT_GE(days, 364);
  EXPECT_LE(X509_cmp_current_time(X509_get0_notBefore(cert)), 0) << "valid from now";
  X509_free(cert);

  EXPECT_EQ(FindCertificateFile("", *ParseThumbprint(hex)), file.string());
  EXPECT_EQ(FindCertificateFile("MY", *ParseThumbprint(Lower(hex))), file.string());
  EXPECT_TRUE(CreateServerSslContext("", Lower(hex)));
  EXPECT_TRUE(CreateServerSslContext("my", hex));
}

TEST_F(CertStoreTest, FindsByContentNotByFileNameAndSkipsForeignFiles) {
  const std::string hex = CreateSelfSignedCertificate("Web", "localhost");
  const fs::path dir = Stores() / "Web";
  fs::rename(dir / (hex + ".pem"), dir / "server.pem");
  WriteFile(dir / "aaa-junk.pem", "not a certificate\n");
  WriteFile(dir / "notes.txt", "ignored\n");
  EXPECT_EQ(FindCertificateFile("Web", *ParseThumbprint(hex)), (dir / "server.pem").string());
  EXPECT_TRUE(CreateServerSslContext("Web", hex));
}

TEST_F(CertStoreTest, AbsoluteStorePath) {
  const std::string store = (root_ / "elsewhere" / "certs").string();
  const std::string hex = CreateSelfSignedCertificate(store, "example.test",
                                                      {.days = 30, .keyType = CertKeyType::EcP256});
  EXPECT_TRUE(fs::exists(fs::path(store) / (hex + ".pem")));
  EXPECT_FALSE(fs::exists(Stores())) << "an absolute store does not touch the stores root";
  EXPECT_TRUE(CreateServerSslContext(store, hex));
}

TEST_F(CertStoreTest, LookupFailuresCarryKindAndWin32Code) {
  const std::string hex = CreateSelfSignedCertificate("MY", "localhost");
  const std::string other = CreateSelfSignedCertificate("Other", "localhost");
  const fs::path my = Stores() / "MY";
  const std::string pem = ReadFile(my / (hex + ".pem"));
  const std::string otherPem = ReadFile(Stores() / "Other" / (other + ".pem"));

  // A certificate with the key of another one, and a certificate without any key.
  fs::create_directories(Stores() / "Broken");
  WriteFile(Stores() / "Broken" / "mismatch.pem",
            PemBlock(pem, "CERTIFICATE") + PemBlock(otherPem, "PRIVATE KEY"));
  fs::create_directories(Stores() / "NoKey");
  WriteFile(Stores() / "NoKey" / "cert.pem", PemBlock(pem, "CERTIFICATE"));

  // A key protected by a passphrase must fail, never wait for one on the terminal.
  {
    BIO* in = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
    BIO_free(in);
    ASSERT_NE(key, nullptr);
    BIO* out = BIO_new(BIO_s_mem());
    static char pass[] = "secret";
    ASSERT_EQ(PEM_write_bio_PKCS8PrivateKey(out, key, EVP_aes_128_cbc(), pass, 6, nullptr, nullptr),
              1);
    char* data = nullptr;
    long len = BIO_get_mem_data(out, &data);
    fs::create_directories(Stores() / "Encrypted");
    WriteFile(Stores() / "Encrypted" / "enc.pem",
              PemBlock(pem, "CERTIFICATE") + std::string(data, static_cast<std::size_t>(len)));
    BIO_free(out);
    EVP_PKEY_free(key);
  }

  struct Case {
    const char* what;
    std::string store;
    std::string thumbprint;
    CertErrorKind kind;
    ULONG code;
  };
  const Case cases[] = {
      {"missing store", "Nowhere", hex, CertErrorKind::StoreNotFound, ERROR_PATH_NOT_FOUND},
      {"unknown thumbprint", "MY", std::string(40, '0'), CertErrorKind::NotFound, ERROR_NOT_FOUND},
      {"certificate of another store", "MY", other, CertErrorKind::NotFound, ERROR_NOT_FOUND},
      {"malformed thumbprint", "MY", hex.substr(2), CertErrorKind::InvalidThumbprint,
       ERROR_INVALID_PARAMETER},
      {"key of another certificate", "Broken", hex, CertErrorKind::KeyMismatch, ERROR_INVALID_DATA},
      {"no key", "NoKey", hex, CertErrorKind::BadKey, ERROR_INVALID_DATA},
      {"encrypted key", "Encrypted", hex, CertErrorKind::BadKey, ERROR_INVALID_DATA},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto e = Catch([&] { CreateServerSslContext(c.store, c.thumbprint); });
    EXPECT_EQ(e.kind(), c.kind) << e.what();
    EXPECT_EQ(e.win32Code(), c.code);
    EXPECT_NE(std::string(e.what()), "");
  }
  auto notFound = Catch([&] { CreateServerSslContext("MY", std::string(40, 'a')); });
  EXPECT_NE(std::string(notFound.what()).find(std::string(40, 'A')), std::string::npos)
      << "the message names the thumbprint: " << notFound.what();
  EXPECT_EQ(ERR_peek_error(), 0u) << "no OpenSSL errors left queued for the next caller";
}

TEST_F(CertStoreTest, RejectsHostsAndValiditiesThatCannotBeCertified) {
  for (std::string host : std::vector<std::string>{"", "a b", "evil,DNS:other", "x..y", "-", "a/b",
                                                   std::string(65, 'a')}) {
    auto e = Catch([&] { CreateSelfSignedCertificate("MY", host); });
    EXPECT_EQ(e.kind(), CertErrorKind::InvalidHost) << host;
  }
  for (int days : {0, -1, 36501}) {
    auto e = Catch([&] { CreateSelfSignedCertificate("MY", "localhost", {.days = days}); });
    EXPECT_EQ(e.win32Code(), ERROR_INVALID_PARAMETER) << days;
  }
  EXPECT_FALSE(fs::exists(Stores() / "MY")) << "nothing is written for a refused request";
  // Accepted forms: IPv6 in brackets, wildcard, trailing dot.
  for (const char* host : {"[::1]", "*.example.test", "example.test."}) {
    EXPECT_NO_THROW(CreateSelfSignedCertificate("MY", host, {.keyType = CertKeyType::EcP256}))
        << host;
  }
}

// A TLS client over a socket pair that trusts exactly the store's certificate.
struct HandshakeResult {
  bool ok = false;
  long verify = -1;
  int version = 0;
  std::string alpn;
  std::string peerThumbprint;
  std::string echoed;
};

HandshakeResult Handshake(SSL_CTX* serverCtx, const std::string& certPem, const char* host,
                          bool isIp, int clientMaxVersion = 0) {
  // Both ends are plain socketpair fds written by OpenSSL with write(): a peer that has
  // already closed must fail the write, not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return {};
  timeval tv{5, 0};
  for (int fd : fds) {
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }

  std::thread server([&] {
    SSL* ssl = SSL_new(serverCtx);
    SSL_set_fd(ssl, fds[1]);
    if (SSL_accept(ssl) == 1) {
      char buf[64];
      int n = SSL_read(ssl, buf, sizeof buf);
      if (n > 0) SSL_write(ssl, buf, n);
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    ERR_clear_error();
    close(fds[1]);
  });

  HandshakeResult r;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (clientMaxVersion != 0) SSL_CTX_set_max_proto_version(ctx, clientMaxVersion);
  SSL_CTX_set_security_level(ctx, 0);  // let an old-protocol client try; the server must refuse
  X509* anchor = FirstCert(certPem);
  X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), anchor);
  X509_free(anchor);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  static const unsigned char kProtos[] = {2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  SSL_CTX_set_alpn_protos(ctx, kProtos, sizeof kProtos);
  SSL* ssl = SSL_new(ctx);
  if (isIp) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host);
  } else {
    SSL_set1_host(ssl, host);
    SSL_set_tlsext_host_name(ssl, host);
  }
  SSL_set_fd(ssl, fds[0]);
  if (SSL_connect(ssl) == 1) {
    r.ok = true;
    r.verify = SSL_get_verify_result(ssl);
    r.version = SSL_version(ssl);
    const unsigned char* proto = nullptr;
    unsigned protoLen = 0;
    SSL_get0_alpn_selected(ssl, &proto, &protoLen);
    r.alpn.assign(reinterpret_cast<const char*>(proto), protoLen);
    if (X509* peer = SSL_get1_peer_certificate(ssl)) {
      r.peerThumbprint = Sha1Hex(peer);
      X509_free(peer);
    }
    SSL_write(ssl, "ping", 4);
    char buf[16];
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) r.echoed.assign(buf, static_cast<std::size_t>(n));
  }
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  ERR_clear_error();
  close(fds[0]);
  server.join();
  return r;
}

TEST_F(CertStoreTest, TlsHandshakeWithTheStoreCertificate) {
  struct Case {
    const char* host;
    bool isIp;
    CertKeyType key;
  };
  for (const Case& c : {Case{"localhost", false, CertKeyType::Rsa2048},
                        Case{"127.0.0.1", true, CertKeyType::EcP256}}) {
    SCOPED_TRACE(c.host);
    const std::string hex = CreateSelfSignedCertificate("MY", c.host, {.keyType = c.key});
    const std::string pem = ReadFile(Stores() / "MY" / (hex + ".pem"));
    SslCtxPtr ctx = CreateServerSslContext("MY", hex);
    ASSERT_TRUE(ctx);

    HandshakeResult r = Handshake(ctx.get(), pem, c.host, c.isIp);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.verify, X509_V_OK);
    EXPECT_GE(r.version, TLS1_2_VERSION);
    EXPECT_EQ(r.alpn, "http/1.1");
    EXPECT_EQ(r.peerThumbprint, hex);
    EXPECT_EQ(r.echoed, "ping");

    // The client's name check really runs: a different name fails verification.
    HandshakeResult wrong = Handshake(ctx.get(), pem, c.isIp ? "127.0.0.2" : "other.test", c.isIp);
    EXPECT_FALSE(wrong.ok);

    // Protocols older than TLS 1.2 are refused.
    HandshakeResult old = Handshake(ctx.get(), pem, c.host, c.isIp, TLS1_1_VERSION);
    EXPECT_FALSE(old.ok);
  }
}

}  // namespace
