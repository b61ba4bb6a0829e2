// The registry of OAuth client applications: who may ask the authorization server for
// tokens, with the secret, token lifetime and refresh-token choice of each. Keyed by
// client id, compared exactly.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "util/lumWebSocket_Classes_Queues.h"

namespace quillon {

class TlumHTTPOAuthApp : public TlumQueueItemBase {
 public:
  std::string AppName;
  std::string ClientSecret;
  int ExpiresIn = 3600;  // seconds an access token lives
  std::string RedirectURI;
  bool RefreshToken = true;

  const std::string& ClientId() const { return ID(); }
  void SetClientId(std::string aValue) { SetID(std::move(aValue)); }
};

class TlumHTTPOAuthApps : public TlumQueue {
 public:
  TlumHTTPOAuthApps() { SetOwnObjects(true); }
  ~TlumHTTPOAuthApps() override { Clear(); }

  // Appends without looking for an existing client id.
  void AddApp(const std::string& aName, const std::string& aRedirectURI,
              const std::string& aClientId, const std::string& aClientSecret, int aExpiresIn,
              bool aRefreshToken);
  // Deletes the first application with that client id; false when there is none.
  bool RemoveApp(std::string_view aName) { return DeleteItem(aName); }
  TlumHTTPOAuthApp* GetApp(std::string_view aClientId) {
    return static_cast<TlumHTTPOAuthApp*>(GetItem(aClientId));
  }
};

class TlumHTTPComponentServer_OAuth {
 public:
  TlumHTTPComponentServer_OAuth() = default;
  virtual ~TlumHTTPComponentServer_OAuth();
  TlumHTTPComponentServer_OAuth(const TlumHTTPComponentServer_OAuth&) = delete;
  TlumHTTPComponentServer_OAuth& operator=(const TlumHTTPComponentServer_OAuth&) = delete;

  static constexpr const char* Version() { return "4.4.6"; }

  TlumHTTPOAuthApps& Apps();
  // The first application whose client id equals aName, or null.
  TlumHTTPOAuthApp* GetApp(std::string_view aName) { return Apps().GetApp(aName); }
  // False when aName is already a client id. Otherwise fills ClientId and ClientSecret
  // with two new identifiers and registers aName with a 3600-second lifetime and refresh
  // tokens.
  bool RegisterApp(const std::string& aName, const std::string& aRedirectURI,
                   std::string& ClientId, std::string& ClientSecret);
  bool UnRegisterApp(std::string_view aName) { return Apps().RemoveApp(aName); }

 private:
  TlumHTTPOAuthApps* FApps = nullptr;
  std::once_flag FAppsOnce;
};

}  // namespace quillon
