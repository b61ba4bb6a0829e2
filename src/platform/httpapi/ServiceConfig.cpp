// The process-wide TLS binding table of HttpSetServiceConfiguration: address:port to a
// certificate (thumbprint and store). The server context is made when the binding is set, so
// a certificate that cannot be found or used fails the call itself, not a later handshake.
#include <arpa/inet.h>
#include <openssl/ssl.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/httpapi/CertStore.h"
#include "platform/httpapi/Engine.h"

namespace quillon::platform::detail {
namespace {

struct Binding {
  Thumbprint thumbprint;
  std::string store;
  GUID appId;
  std::shared_ptr<SSL_CTX> context;
};

using Key = std::pair<IpAddress, std::uint16_t>;

struct Table {
  std::mutex lock;  // guards the map
  std::map<Key, Binding> bindings;
};

Table& Bindings() {
  static Table* table = new Table;
  return *table;
}

bool ReadKey(const HTTP_SERVICE_CONFIG_SSL_KEY& key, Key& out) {
  if (!key.pIpPort) return false;
  sockaddr_storage storage{};
  if (key.pIpPort->sa_family == AF_INET) {
    std::memcpy(&storage, key.pIpPort, sizeof(sockaddr_in));
  } else if (key.pIpPort->sa_family == AF_INET6) {
    std::memcpy(&storage, key.pIpPort, sizeof(sockaddr_in6));
  } else {
    return false;
  }
  SocketAddress address = SocketAddress::From(storage);
  out = {address.ip(), address.port()};
  return out.second != 0;
}

}  // namespace

std::shared_ptr<SSL_CTX> TlsContextFor(const IpAddress& address, std::uint16_t port) {
  Table& t = Bindings();
  std::lock_guard g(t.lock);
  auto it = t.bindings.find({address, port});
  // Then the port's catch-all bindings, 0.0.0.0 before [::]: either serves both families.
  in_addr any4{};
  if (it == t.bindings.end()) it = t.bindings.find({IpAddress::V4(any4), port});
  if (it == t.bindings.end()) it = t.bindings.find({IpAddress::V6(in6addr_any), port});
  return it == t.bindings.end() ? nullptr : it->second.context;
}

}  // namespace quillon::platform::detail

namespace d = quillon::platform::detail;

ULONG HttpSetServiceConfiguration(HANDLE /*ServiceHandle*/, HTTP_SERVICE_CONFIG_ID ConfigId,
                                  PVOID pConfigInformation, ULONG ConfigInformationLength,
                                  LPOVERLAPPED pOverlapped) {
  if (pOverlapped) return ERROR_INVALID_PARAMETER;
  if (ConfigId != HttpServiceConfigSSLCertInfo) return ERROR_NOT_SUPPORTED;
  if (!pConfigInformation || ConfigInformationLength < sizeof(HTTP_SERVICE_CONFIG_SSL_SET))
    return ERROR_INVALID_PARAMETER;
  auto* set = static_cast<HTTP_SERVICE_CONFIG_SSL_SET*>(pConfigInformation);
  d::Key key;
  if (!d::ReadKey(set->KeyDesc, key)) return ERROR_INVALID_PARAMETER;
  auto thumbprint = quillon::platform::ThumbprintFromBytes(set->ParamDesc.pSslHash,
                                                           set->ParamDesc.SslHashLength);
  if (!thumbprint) return ERROR_INVALID_PARAMETER;
  std::string store = set->ParamDesc.pSslCertStoreName ? set->ParamDesc.pSslCertStoreName : "";
  {
    d::Table& t = d::Bindings();
    std::lock_guard g(t.lock);
    if (t.bindings.count(key)) return ERROR_ALREADY_EXISTS;
  }
  std::shared_ptr<SSL_CTX> context;
  try {
    context = quillon::platform::CreateServerSslContext(store, *thumbprint);
  } catch (const quillon::platform::CertStoreError& e) {
    return e.win32Code();
  }
  d::Table& t = d::Bindings();
  std::lock_guard g(t.lock);
  auto [it, inserted] =
      t.bindings.emplace(key, d::Binding{*thumbprint, store, set->ParamDesc.AppId, context});
  return inserted ? NO_ERROR : ERROR_ALREADY_EXISTS;
}

ULONG HttpDeleteServiceConfiguration(HANDLE /*ServiceHandle*/, HTTP_SERVICE_CONFIG_ID ConfigId,
                                     PVOID pConfigInformation, ULONG ConfigInformationLength,
                                     LPOVERLAPPED pOverlapped) {
  if (pOverlapped) return ERROR_INVALID_PARAMETER;
  if (ConfigId != HttpServiceConfigSSLCertInfo) return ERROR_NOT_SUPPORTED;
  if (!pConfigInformation || ConfigInformationLength < sizeof(HTTP_SERVICE_CONFIG_SSL_KEY))
    return ERROR_INVALID_PARAMETER;
  auto* key = static_cast<HTTP_SERVICE_CONFIG_SSL_KEY*>(pConfigInformation);
  d::Key k;
  if (!d::ReadKey(*key, k)) return ERROR_INVALID_PARAMETER;
  d::Table& t = d::Bindings();
  std::lock_guard g(t.lock);
  return t.bindings.erase(k) ? NO_ERROR : ERROR_FILE_NOT_FOUND;
}
