// Certificate stores on Linux: folders of PEM files, each holding one certificate (optionally
// followed by its chain) and its private key. Finds a certificate by its SHA-1 thumbprint and
// turns it into a server TLS context, and makes self-signed certificates for quick set-ups.
// Not the TLS transport itself: the engine drives SSL objects made from the context.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/win32/Win32Types.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace quillon::platform {

// SHA-1 of a certificate's DER form.
using Thumbprint = std::array<unsigned char, 20>;

enum class CertErrorKind {
  InvalidStore,       // a store name that cannot name a folder
  StoreNotFound,      // the store folder does not exist
  InvalidThumbprint,  // not 20 bytes / 40 hexadecimal digits
  NotFound,           // no certificate in the store has that thumbprint
  BadKey,             // the file has no private key, or it cannot be read (encrypted, corrupt)
  KeyMismatch,        // the private key does not belong to the certificate
  InvalidHost,        // a host name (or validity) that cannot go into a certificate
  Io,                 // reading or writing a file or folder failed
  Crypto,             // OpenSSL failed for another reason
};

// What went wrong, with a message meant for people and a Win32 code for API results.
class CertStoreError : public std::runtime_error {
 public:
  // win32Code 0 means the usual code for the kind.
  CertStoreError(CertErrorKind kind, const std::string& message, ULONG win32Code = 0);
  CertErrorKind kind() const noexcept { return kind_; }
  // ERROR_PATH_NOT_FOUND, ERROR_NOT_FOUND, ERROR_INVALID_PARAMETER, ERROR_INVALID_DATA, ...
  ULONG win32Code() const noexcept;

 private:
  CertErrorKind kind_;
  ULONG win32Code_;
};

struct SslCtxDeleter {
  void operator()(SSL_CTX* ctx) const noexcept;
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;

// Folder of a store: under $QUILLON_CERT_STORES (default ~/.config/quillon/certstores); an
// absolute name is the folder itself; an empty name means "MY". Names compare without letter
// case when only a differently cased folder exists. Throws CertStoreError(InvalidStore) for a
// relative name that climbs out of the root ("..").
std::string CertStoreFolder(const std::string& storeName);

// Hexadecimal thumbprint in either case; spaces and colons are ignored. nullopt if malformed.
std::optional<Thumbprint> ParseThumbprint(std::string_view hex);
// Raw hash bytes as a binding record carries them; nullopt unless exactly 20 bytes.
std::optional<Thumbprint> ThumbprintFromBytes(const void* bytes, std::size_t size);
// Upper-case hexadecimal, 40 digits.
std::string ThumbprintToHex(const Thumbprint& thumbprint);

// Path of the *.pem file in the store whose (first) certificate has this thumbprint.
// Throws CertStoreError (StoreNotFound, NotFound, ...).
std::string FindCertificateFile(const std::string& storeName, const Thumbprint& thumbprint);

// Server context (TLS 1.2 and later, forward-secret AEAD suites, no compression or
// renegotiation, ALPN "http/1.1") with the certificate, its chain and its key.
// Throws CertStoreError for every failure, including a key that does not match.
SslCtxPtr CreateServerSslContext(const std::string& storeName, const Thumbprint& thumbprint);
SslCtxPtr CreateServerSslContext(const std::string& storeName, std::string_view thumbprintHex);

enum class CertKeyType { Rsa2048, EcP256 };

struct SelfSignedOptions {
  int days = 365;  // validity from now; 1 to 36500
  CertKeyType keyType = CertKeyType::Rsa2048;
};

// Makes a self-signed server certificate for `host` (CN and DNS name; IP name too for an IP
// literal) and writes it with its key to <store>/<THUMBPRINT>.pem (file 0600, folders 0700).
// Returns the upper-case hexadecimal thumbprint. Throws CertStoreError.
std::string CreateSelfSignedCertificate(const std::string& storeName, const std::string& host,
                                        const SelfSignedOptions& options = {});

}  // namespace quillon::platform
