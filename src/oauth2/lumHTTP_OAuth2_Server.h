// The OAuth2 authorization server: the authorization page and sign-in, the token endpoint
// (authorization-code and refresh-token grants) and the bearer-token check, for the
// applications of the registry. All state lives in memory. The server component calls it
// on its worker threads, several at once.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "oauth2/lumHTTP_OAuth_Server.h"
#include "server/lumWebSocket_Server_OAuth2.h"

namespace quillon {

class TlumWSConnection;

enum TlumOAuth2CurrentState { oat2RequestAuthorization, oat2AuthorizationCode, oat2AccessToken };

class TlumHTTPOAuth2Server_Authorization {
 public:
  bool Enabled = true;
  std::string URL = "/lum/oauth2/auth";
  void Assign(const TlumHTTPOAuth2Server_Authorization& Source) { *this = Source; }
};

class TlumHTTPOAuth2Server_Token {
 public:
  bool Enabled = true;
  std::string URL = "/lum/oauth2/token";
  void Assign(const TlumHTTPOAuth2Server_Token& Source) { *this = Source; }
};

class TlumHTTPOAuth2Server_Options {
 public:
  TlumHTTPOAuth2Server_Authorization& Authorization() { return FAuthorization; }
  const TlumHTTPOAuth2Server_Authorization& Authorization() const { return FAuthorization; }
  void SetAuthorization(const TlumHTTPOAuth2Server_Authorization& V) { FAuthorization.Assign(V); }
  TlumHTTPOAuth2Server_Token& Token() { return FToken; }
  const TlumHTTPOAuth2Server_Token& Token() const { return FToken; }
  void SetToken(const TlumHTTPOAuth2Server_Token& V) { FToken.Assign(V); }
  void Assign(const TlumHTTPOAuth2Server_Options& Source) {
    FAuthorization.Assign(Source.FAuthorization);
    FToken.Assign(Source.FToken);
  }

 private:
  TlumHTTPOAuth2Server_Authorization FAuthorization;
  TlumHTTPOAuth2Server_Token FToken;
};

class TlumHTTPOAuth2Authentication {
 public:
  std::string Password;
  std::string User;
};

using TlumOAuth2Clock = std::chrono::system_clock;

class TlumHTTPOAuth2AccessToken {
 public:
  virtual ~TlumHTTPOAuth2AccessToken() = default;
  // Made on first read when empty: 64 lower-case hexadecimal characters.
  const std::string& AccessToken();
  const std::string& RefreshToken();
  void SetAccessToken(std::string V) { FAccessToken = std::move(V); }
  void SetRefreshToken(std::string V) { FRefreshToken = std::move(V); }
  TlumOAuth2Clock::time_point Expires() const { return FExpires; }
  // Whole seconds left; -1 once expired.
  int ExpiresIn() const;
  bool Expired() const { return FExpires <= TlumOAuth2Clock::now(); }
  // Both strings are made afresh on their next read.
  virtual void NewToken(TlumOAuth2Clock::time_point aExpires);
  // Only the access token is made afresh.
  virtual void RenewToken(TlumOAuth2Clock::time_point aExpires);

 private:
  std::string FAccessToken;
  TlumOAuth2Clock::time_point FExpires{};
  std::string FRefreshToken;
};

class TlumHTTPOAuth2Request : public TlumQueueItemBase {
 public:
  TlumHTTPOAuth2Request();

  TlumHTTPOAuthApp* App = nullptr;  // not owned
  TlumHTTPOAuth2Authentication& Authentication();
  const std::string& AuthorizationCode();
  std::string Client_Id;
  TlumOAuth2CurrentState CurrentState = oat2RequestAuthorization;
  std::string Redirect_URI;
  std::string Response_Type;
  std::string Scope;
  std::string State;
  TlumHTTPOAuth2AccessToken& Token();
  // When the request was made; requests that never reach a token are purged after a while.
  std::chrono::steady_clock::time_point Created() const { return FCreated; }
  void SetCreated(std::chrono::steady_clock::time_point aValue) { FCreated = aValue; }

  // Raise "Application is not Assigned." without an application.
  void NewToken();
  void RefreshToken();

 private:
  std::unique_ptr<TlumHTTPOAuth2Authentication> FAuthentication;
  std::string FAuthorizationCode;
  std::unique_ptr<TlumHTTPOAuth2AccessToken> FToken;
  std::chrono::steady_clock::time_point FCreated;
};

using TlumHTTPOAuth2RequestRef = std::shared_ptr<TlumHTTPOAuth2Request>;

// The pending requests. Items are shared, so that one taken out of the list stays alive
// for the thread still answering with it; the fields of every request are read and
// changed only under Lock.
class TlumHTTPOAuth2Requests {
 public:
  std::mutex& Lock() { return FLock; }
  // The *Locked operations expect Lock to be held.
  void AddItemLocked(TlumHTTPOAuth2RequestRef aItem) { FItems.push_back(std::move(aItem)); }
  TlumHTTPOAuth2RequestRef GetItemLocked(std::string_view aID);
  TlumHTTPOAuth2RequestRef GetRequestByAuthorizationCodeLocked(std::string_view aCode);
  TlumHTTPOAuth2RequestRef GetRequestByRefreshTokenLocked(std::string_view aRefreshToken);
  bool DeleteItemLocked(const TlumHTTPOAuth2Request* aItem);
  std::vector<TlumHTTPOAuth2RequestRef>& ItemsLocked() { return FItems; }

  int Count();
  void Clear();

 private:
  std::mutex FLock;
  std::vector<TlumHTTPOAuth2RequestRef> FItems;
};

using TlumHTTPOAuth2BeforeRequestEvent =
    std::function<void(void* Sender, TlumWSConnection* aConnection,
                       const std::vector<std::string>& aHeaders, bool& Cancel)>;
using TlumHTTPOAuth2BeforeDispatchPageEvent =
    std::function<void(void* Sender, TlumHTTPOAuth2Request* OAuth2, std::string& HTML)>;
using TlumHTTPOAuth2AuthenticationEvent =
    std::function<void(TlumWSConnection* Connection, TlumHTTPOAuth2Request* OAuth2,
                       const std::string& aUser, const std::string& aPassword,
                       bool& Authenticated)>;
using TlumHTTPOAuth2AfterAccessTokenEvent =
    std::function<void(void* Sender, TlumWSConnection* Connection,
                       TlumHTTPOAuth2Request* OAuth2, const std::string& aResponse)>;
using TlumHTTPOAuth2AfterRefreshTokenEvent = TlumHTTPOAuth2AfterAccessTokenEvent;
using TlumHTTPOAuth2AfterValidateAccessTokenEvent =
    std::function<void(void* Sender, TlumWSConnection* Connection,
                       TlumHTTPOAuth2Request* OAuth2, bool& IsValid)>;

class TlumHTTPComponentServer_OAuth2 : public TlumHTTPComponentServer_OAuth,
                                       public IlumOAuth2Server {
 public:
  TlumHTTPComponentServer_OAuth2() = default;
  ~TlumHTTPComponentServer_OAuth2() override;

  TlumHTTPOAuth2Server_Options& OAuth2Options() { return FOAuth2Options; }
  void SetOAuth2Options(const TlumHTTPOAuth2Server_Options& V) { FOAuth2Options.Assign(V); }
  TlumHTTPOAuth2Requests& Requests() { return FRequests; }

  // Requests that never reach a token are dropped after this long.
  static constexpr std::chrono::minutes kPendingLifetime{10};
  // At most this many of them are kept; the oldest make room for new ones.
  static constexpr std::size_t kMaxPending = 4096;

  bool DoProcessHTTP(TlumWSConnection* aConnection,
                     const std::vector<std::string>& aHeaders) override;
  bool IsOAuth2TokenValid(TlumWSConnection* aConnection,
                          const std::vector<std::string>& aHeaders) override;
  bool IsOAuth2TokenValid(TlumWSConnection* aConnection, const std::string& aToken);
  std::string AuthorizationPath() const override;
  std::string TokenPath() const override;

  TlumHTTPOAuth2AfterAccessTokenEvent OnOAuth2AfterAccessToken;
  TlumHTTPOAuth2AfterRefreshTokenEvent OnOAuth2AfterRefreshToken;
  TlumHTTPOAuth2AuthenticationEvent OnOAuth2Authentication;
  TlumHTTPOAuth2BeforeDispatchPageEvent OnOAuth2BeforeDispatchPage;
  TlumHTTPOAuth2BeforeRequestEvent OnOAuth2BeforeRequest;
  TlumHTTPOAuth2AfterValidateAccessTokenEvent OnOAuth2AfterValidateAccessToken;

 protected:
  virtual void DoAuthorizationRequest(TlumWSConnection* aConnection, std::string_view aQuery);
  virtual void DoSignIn(TlumWSConnection* aConnection, std::string_view aQuery);
  virtual void DoTokenRequest(TlumWSConnection* aConnection, std::string_view aBody);

 private:
  // Drops requests without a token that are older than kPendingLifetime or beyond
  // kMaxPending; Lock held.
  void PurgeStaleLocked();

  TlumHTTPOAuth2Server_Options FOAuth2Options;
  TlumHTTPOAuth2Requests FRequests;
};

class TlumHTTP_OAuth2_Server : public TlumHTTPComponentServer_OAuth2 {};

namespace oauth2_detail {
// name=value entries split at "&" (and at spaces and control characters); a part in
// double quotes is taken whole. Values are percent-decoded, "+" read as a space.
std::vector<std::pair<std::string, std::string>> SplitParams(std::string_view aText);
std::string PercentDecode(std::string_view aText);
std::string PercentEncode(std::string_view aText);
std::string HTMLEscape(std::string_view aText);
bool ConstantTimeEquals(std::string_view a, std::string_view b);
// The query of the request line (or of ":path"): after the first "?" up to the next space.
std::string RequestQuery(const std::vector<std::string>& aHeaders);
// Whether the request is method aMethod on path aURL (the request line, or ":path").
bool MatchesEndpoint(const std::vector<std::string>& aHeaders, std::string_view aMethod,
                     std::string_view aURL);
}  // namespace oauth2_detail

}  // namespace quillon
