#include "oauth2/lumHTTP_OAuth_Server.h"

#include "platform/win32/Guid.h"

namespace quillon {

void TlumHTTPOAuthApps::AddApp(const std::string& aName, const std::string& aRedirectURI,
                               const std::string& aClientId, const std::string& aClientSecret,
                               int aExpiresIn, bool aRefreshToken) {
  auto* app = new TlumHTTPOAuthApp();
  app->AppName = aName;
  app->RedirectURI = aRedirectURI;
  app->SetClientId(aClientId);
  app->ClientSecret = aClientSecret;
  app->ExpiresIn = aExpiresIn;
  app->RefreshToken = aRefreshToken;
  AddItem(app);
}

TlumHTTPComponentServer_OAuth::~TlumHTTPComponentServer_OAuth() { delete FApps; }

TlumHTTPOAuthApps& TlumHTTPComponentServer_OAuth::Apps() {
  std::call_once(FAppsOnce, [this] { FApps = new TlumHTTPOAuthApps(); });
  return *FApps;
}

bool TlumHTTPComponentServer_OAuth::RegisterApp(const std::string& aName,
                                                const std::string& aRedirectURI,
                                                std::string& ClientId,
                                                std::string& ClientSecret) {
  if (GetApp(aName) != nullptr) return false;
  ClientId = platform::NewGuidHex32();
  ClientSecret = platform::NewGuidHex32();
  Apps().AddApp(aName, aRedirectURI, ClientId, ClientSecret, 3600, true);
  return true;
}

}  // namespace quillon
