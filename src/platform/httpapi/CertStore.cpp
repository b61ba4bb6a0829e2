// Certificate stores as folders of PEM files, server TLS contexts and self-signed certificates.
#include "platform/httpapi/CertStore.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace quillon::platform {

namespace {

constexpr ULONG kErrorOpenFailed = 110;
constexpr ULONG kErrorInternal = 1359;
// A store file bigger than this is not a certificate and key; do not read it.
constexpr std::uintmax_t kMaxPemFileSize = 1024 * 1024;

template <typename T, void (*Free)(T*)>
struct OsslDeleter {
  void operator()(T* p) const noexcept { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509, X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslDeleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, OsslDeleter<X509_EXTENSION, X509_EXTENSION_free>>;

// The newest OpenSSL error queue entry as text, and the queue cleared.
std::string OpenSslError() {
  unsigned long code = ERR_peek_last_error();
  std::string text;
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text = buf;
  } else {
    text = "unknown OpenSSL error";
  }
  ERR_clear_error();
  return text;
}

[[noreturn]] void ThrowCrypto(const std::string& what) {
  throw CertStoreError(CertErrorKind::Crypto, what + ": " + OpenSslError());
}

ULONG Win32FromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    default: return kErrorOpenFailed;
  }
}

[[noreturn]] void ThrowIo(const std::string& what, int err) {
  throw CertStoreError(CertErrorKind::Io, what + ": " + std::strerror(err), Win32FromErrno(err));
}

// Keys in a store carry no passphrase; an encrypted one must fail instead of prompting.
int NoPassphrase(char*, int, int, void*) { return -1; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string StoresRoot() {
  if (const char* env = std::getenv("QUILLON_CERT_STORES"); env != nullptr && *env != '\0') {
    return env;
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
    home = env;
  } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  } else {
    home = "/";
  }
  return (fs::path(home) / ".config" / "quillon" / "certstores").string();
}

std::optional<std::string> ReadSmallFile(const fs::path& path) {
  std::error_code ec;
  auto size = fs::file_size(path, ec);
  if (ec || size > kMaxPemFileSize) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string data(static_cast<std::size_t>(size), '\0');
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}

BioPtr MemBio(const std::string& data) {
  BioPtr bio(BIO_new_mem_buf(data.data(), static_cast<int>(data.size())));
  if (!bio) ThrowCrypto("cannot allocate a memory BIO");
  return bio;
}

std::optional<Thumbprint> DigestOf(X509* cert) {
  Thumbprint out{};
  unsigned int len = 0;
  if (X509_digest(cert, EVP_sha1(), out.data(), &len) != 1 || len != out.size()) {
    ERR_clear_error();
    return std::nullopt;
  }
  return out;
}

struct StoreFile {
  fs::path path;
  std::string pem;
};

// Store files in name order, so that duplicates resolve the same way every time.
std::vector<fs::path> PemFiles(const std::string& storeName, std::string* folderOut) {
  std::string folder = CertStoreFolder(storeName);
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    throw CertStoreError(CertErrorKind::StoreNotFound,
                         "certificate store \"" + (storeName.empty() ? "MY" : storeName) +
                             "\" not found (no folder " + folder + ")");
  }
  std::vector<fs::path> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& p = it->path();
    if (p.extension() == ".pem" && it->is_regular_file(ec)) files.push_back(p);
  }
  if (ec) ThrowIo("cannot list certificate store " + folder, ec.value());
  std::sort(files.begin(), files.end());
  if (folderOut != nullptr) *folderOut = folder;
  return files;
}

StoreFile FindFile(const std::string& storeName, const Thumbprint& thumbprint) {
  std::string folder;
  for (const fs::path& path : PemFiles(storeName, &folder)) {
    auto pem = ReadSmallFile(path);
    if (!pem) continue;
    BioPtr bio = MemBio(*pem);
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr));
    if (!cert) {
      // Not every file in a folder has to be ours; an unreadable one cannot match.
      ERR_clear_error();
      continue;
    }
    if (DigestOf(cert.get()) == thumbprint) return {path, std::move(*pem)};
  }
  throw CertStoreError(CertErrorKind::NotFound, "no certificate with thumbprint " +
                                                    ThumbprintToHex(thumbprint) +
                                                    " in certificate store " + folder);
}

int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in,
                 unsigned int inlen, void*) {
  static const unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned char* selected = nullptr;
  if (SSL_select_next_proto(&selected, outlen, kHttp11, sizeof kHttp11, in, inlen) !=
      OPENSSL_NPN_NEGOTIATED) {
    // A client offering only other protocols still gets HTTP/1.1, without ALPN.
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

struct HostKind {
  std::string name;  // without brackets
  bool ip = false;
};

HostKind CheckHost(const std::string& host) {
  auto bad = [&](const std::string& why) -> CertStoreError {
    return CertStoreError(CertErrorKind::InvalidHost, "invalid host \"" + host + "\": " + why);
  };
  std::string h = host;
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  unsigned char addr[16];
  if (inet_pton(AF_INET, h.c_str(), addr) == 1 || inet_pton(AF_INET6, h.c_str(), addr) == 1) {
    return {h, true};
  }
  if (!h.empty() && h.back() == '.') h.pop_back();
  if (h.empty()) throw bad("empty");
  if (h.size() > 64) throw bad("longer than the 64 characters of a common name");
  std::size_t start = 0;
  while (start <= h.size()) {
    std::size_t dot = h.find('.', start);
    if (dot == std::string::npos) dot = h.size();
    std::string_view label(h.data() + start, dot - start);
    if (label.empty()) throw bad("empty label");
    if (label.front() == '-' || label.back() == '-') throw bad("a label starts or ends with -");
    bool wildcard = start == 0 && label == "*";
    if (!wildcard) {
      for (char c : label) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') {
          throw bad("not a host name or IP address");
        }
      }
    }
    start = dot + 1;
  }
  return {h, false};
}

void AddExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str()));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) {
    ThrowCrypto(std::string("cannot add certificate extension ") + OBJ_nid2sn(nid));
  }
}

// Creates missing folders of `dir` with mode 0700, so nobody else can list the keys.
void MakePrivateFolders(const fs::path& dir) {
  fs::path partial;
  for (const fs::path& part : dir) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) == 0) {
      ::chmod(partial.c_str(), 0700);  // in case the umask took bits away
    } else if (errno != EEXIST) {
      ThrowIo("cannot create folder " + partial.string(), errno);
    }
  }
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    throw CertStoreError(CertErrorKind::Io, dir.string() + " is not a folder", kErrorOpenFailed);
  }
}

// Written to a temporary name and renamed, so a reader never sees half a key.
void WritePrivateFile(const fs::path& path, const std::string& data) {
  std::string tmp = path.string() + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) ThrowIo("cannot create " + tmp, errno);
  ::fchmod(fd, 0600);
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      ThrowIo("cannot write " + tmp, err);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    ThrowIo("cannot write " + tmp, err);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    ThrowIo("cannot rename " + tmp + " to " + path.string(), err);
  }
}

}  // namespace

CertStoreError::CertStoreError(CertErrorKind kind, const std::string& message, ULONG win32Code)
    : std::runtime_error(message), kind_(kind), win32Code_(win32Code) {}

ULONG CertStoreError::win32Code() const noexcept {
  if (win32Code_ != 0) return win32Code_;
  switch (kind_) {
    case CertErrorKind::StoreNotFound: return ERROR_PATH_NOT_FOUND;
    case CertErrorKind::NotFound: return ERROR_NOT_FOUND;
    case CertErrorKind::InvalidStore:
    case CertErrorKind::InvalidThumbprint:
    case CertErrorKind::InvalidHost: return ERROR_INVALID_PARAMETER;
    case CertErrorKind::BadKey:
    case CertErrorKind::KeyMismatch: return ERROR_INVALID_DATA;
    case CertErrorKind::Io: return kErrorOpenFailed;
    case CertErrorKind::Crypto: break;
  }
  return kErrorInternal;
}

void SslCtxDeleter::operator()(SSL_CTX* ctx) const noexcept { SSL_CTX_free(ctx); }

std::string CertStoreFolder(const std::string& storeName) {
  std::string name = storeName.empty() ? std::string("MY") : storeName;
  fs::path p(name);
  if (p.is_absolute()) return p.lexically_normal().string();
  for (const fs::path& part : p) {
    if (part == "..") {
      throw CertStoreError(CertErrorKind::InvalidStore,
                           "certificate store name \"" + name + "\" leaves the stores folder");
    }
  }
  fs::path root(StoresRoot());
  fs::path folder = (root / p).lexically_normal();
  std::error_code ec;
  if (fs::exists(folder, ec) || p.has_parent_path()) return folder.string();
  // Store names ignore letter case ("My" finds "MY"), as they do on the system they come from.
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (EqualsNoCase(it->path().filename().string(), name) && it->is_directory(ec)) {
      return it->path().string();
    }
  }
  return folder.string();
}

std::optional<Thumbprint> ParseThumbprint(std::string_view hex) {
  Thumbprint out{};
  std::size_t digits = 0;
  for (std::size_t i = 0; i < hex.size(); ++i) {
    char c = hex[i];
    if (c == ' ' || c == ':' || c == '\t') continue;
    // The left-to-right mark that certificate dialogs put in front of copied thumbprints.
    if (hex.substr(i, 3) == "\xE2\x80\x8E") {
      i += 2;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (digits >= out.size() * 2) return std::nullopt;
    out[digits / 2] = static_cast<unsigned char>(out[digits / 2] | (digits % 2 ? v : v << 4));
    ++digits;
  }
  if (digits != out.size() * 2) return std::nullopt;
  return out;
}

std::optional<Thumbprint> ThumbprintFromBytes(const void* bytes, std::size_t size) {
  Thumbprint out{};
  if (bytes == nullptr || size != out.size()) return std::nullopt;
  std::memcpy(out.data(), bytes, out.size());
  return out;
}

std::string ThumbprintToHex(const Thumbprint& thumbprint) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(thumbprint.size() * 2);
  for (unsigned char b : thumbprint) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 0xF];
  }
  return hex;
}

std::string FindCertificateFile(const std::string& storeName, const Thumbprint& thumbprint) {
  return FindFile(storeName, thumbprint).path.string();
}

SslCtxPtr CreateServerSslContext(const std::string& storeName, std::string_view thumbprintHex) {
  auto thumbprint = ParseThumbprint(thumbprintHex);
  if (!thumbprint) {
    throw CertStoreError(
        CertErrorKind::InvalidThumbprint,
        "\"" + std::string(thumbprintHex) + "\" is not a SHA-1 thumbprint (40 hexadecimal digits)");
  }
  return CreateServerSslContext(storeName, *thumbprint);
}

SslCtxPtr CreateServerSslContext(const std::string& storeName, const Thumbprint& thumbprint) {
  StoreFile file = FindFile(storeName, thumbprint);
  const std::string where = file.path.string();

  BioPtr bio = MemBio(file.pem);
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr));
  if (!cert) ThrowCrypto("cannot read the certificate in " + where);
  std::vector<X509Ptr> chain;
  while (X509* extra = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)) {
    chain.emplace_back(extra);
  }
  ERR_clear_error();  // the loop ends on "no start line"

  BioPtr keyBio = MemBio(file.pem);
  PkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, NoPassphrase, nullptr));
  if (!key) {
    std::string reason = OpenSslError();
    throw CertStoreError(CertErrorKind::BadKey, "no usable private key in " + where +
                                                    " (unencrypted PEM key expected): " + reason);
  }
  if (X509_check_private_key(cert.get(), key.get()) != 1) {
    ERR_clear_error();
    throw CertStoreError(CertErrorKind::KeyMismatch,
                         "the private key in " + where + " does not belong to its certificate");
  }

  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) ThrowCrypto("cannot create a TLS context");
  SSL_CTX* c = ctx.get();
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  SSL_CTX_set_options(
      c, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // TLS 1.2 suites: forward secrecy and AEAD only; TLS 1.3 keeps OpenSSL's defaults.
  if (SSL_CTX_set_cipher_list(c, "ECDHE+AESGCM:ECDHE+CHACHA20:DHE+AESGCM:DHE+CHACHA20:!aNULL") !=
      1) {
    ThrowCrypto("cannot set the TLS cipher list");
  }
  SSL_CTX_set_dh_auto(c, 1);
  SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_session_id_context(c, thumbprint.data(), static_cast<unsigned>(thumbprint.size()));
  SSL_CTX_set_alpn_select_cb(c, SelectHttp11, nullptr);

  if (SSL_CTX_use_certificate(c, cert.get()) != 1) {
    ThrowCrypto("the certificate in " + where + " cannot be used");
  }
  for (X509Ptr& extra : chain) {
    if (SSL_CTX_add1_chain_cert(c, extra.get()) != 1) {
      ThrowCrypto("a chain certificate in " + where + " cannot be used");
    }
  }
  if (SSL_CTX_use_PrivateKey(c, key.get()) != 1 || SSL_CTX_check_private_key(c) != 1) {
    std::string reason = OpenSslError();
    throw CertStoreError(CertErrorKind::KeyMismatch,
                         "the private key in " + where + " cannot be used: " + reason);
  }
  return ctx;
}

std::string CreateSelfSignedCertificate(const std::string& storeName, const std::string& host,
                                        const SelfSignedOptions& options) {
  HostKind hk = CheckHost(host);
  if (options.days < 1 || options.days > 36500) {
    throw CertStoreError(
        CertErrorKind::InvalidHost,
        "validity of " + std::to_string(options.days) + " days is outside 1 to 36500",
        ERROR_INVALID_PARAMETER);
  }
  const fs::path folder = CertStoreFolder(storeName);

  PkeyPtr key(options.keyType == CertKeyType::EcP256 ? EVP_EC_gen("P-256") : EVP_RSA_gen(2048));
  if (!key) ThrowCrypto("cannot generate a key");

  X509Ptr cert(X509_new());
  if (!cert) ThrowCrypto("cannot allocate a certificate");
  X509* x = cert.get();
  X509_set_version(x, X509_VERSION_3);

  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) ThrowCrypto("cannot draw a serial number");
  serial[0] &= 0x7F;  // positive
  serial[0] |= 0x01;  // and never shorter than the others
  BnPtr bn(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!bn || BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(x)) == nullptr) {
    ThrowCrypto("cannot set the serial number");
  }
  // A few minutes back, so a peer with a slightly late clock accepts it at once.
  if (X509_gmtime_adj(X509_getm_notBefore(x), -300) == nullptr ||
      X509_time_adj_ex(X509_getm_notAfter(x), options.days, 0, nullptr) == nullptr) {
    ThrowCrypto("cannot set the validity");
  }

  X509_NAME* name = X509_get_subject_name(x);
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(hk.name.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(x, name) != 1 || X509_set_pubkey(x, key.get()) != 1) {
    ThrowCrypto("cannot set the certificate's names");
  }

  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
  const bool rsa = options.keyType == CertKeyType::Rsa2048;
  AddExtension(x, &v3, NID_basic_constraints, "critical,CA:FALSE");
  AddExtension(x, &v3, NID_key_usage,
               rsa ? "critical,digitalSignature,keyEncipherment" : "critical,digitalSignature");
  AddExtension(x, &v3, NID_ext_key_usage, "serverAuth");
  // The host was checked above, so it cannot smuggle further names into this list.
  AddExtension(x, &v3, NID_subject_alt_name,
               "DNS:" + hk.name + (hk.ip ? ",IP:" + hk.name : std::string()));
  AddExtension(x, &v3, NID_subject_key_identifier, "hash");
  AddExtension(x, &v3, NID_authority_key_identifier, "keyid:always");

  if (X509_sign(x, key.get(), EVP_sha256()) <= 0) ThrowCrypto("cannot sign the certificate");
  auto thumbprint = DigestOf(x);
  if (!thumbprint) ThrowCrypto("cannot compute the thumbprint");
  const std::string hex = ThumbprintToHex(*thumbprint);

  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || PEM_write_bio_X509(out.get(), x) != 1 ||
      PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    ThrowCrypto("cannot encode the certificate and key");
  }
  char* data = nullptr;
  long len = BIO_get_mem_data(out.get(), &data);
  std::string pem(data, static_cast<std::size_t>(len));
  OPENSSL_cleanse(data, static_cast<std::size_t>(len));

  MakePrivateFolders(folder);
  WritePrivateFile(folder / (hex + ".pem"), pem);
  OPENSSL_cleanse(pem.data(), pem.size());
  return hex;
}

}  // namespace quillon::platform
