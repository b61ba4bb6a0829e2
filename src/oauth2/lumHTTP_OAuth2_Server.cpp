#include "oauth2/lumHTTP_OAuth2_Server.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "connection/lumWebSocket_Classes_HTTPAPI.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "platform/webbroker/Web_HTTPApp.h"
#include "platform/win32/Guid.h"
#include "platform/win32/Resources.h"
#include "util/lumJSON.h"

namespace quillon {

namespace {

std::string LowerHex(std::string aText) {
  for (char& c : aText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return aText;
}

std::string NewId64() { return LowerHex(platform::NewGuidHex32() + platform::NewGuidHex32()); }

void ReplaceAll(std::string& aText, std::string_view aWhat, std::string_view aWith) {
  for (std::size_t pos = aText.find(aWhat); pos != std::string::npos;
       pos = aText.find(aWhat, pos + aWith.size())) {
    aText.replace(pos, aWhat.size(), aWith);
  }
}

using TParams = std::vector<std::pair<std::string, std::string>>;

// The first value of a name (letter case ignored), or the last with aLast.
std::string Param(const TParams& aParams, std::string_view aName, bool aLast = false) {
  std::string value;
  for (const auto& [name, v] : aParams) {
    if (!SameText(name, aName)) continue;
    value = v;
    if (!aLast) break;
  }
  return value;
}

TlumWSConnection_Base_Indy* Peer(TlumWSConnection* aConnection) {
  return dynamic_cast<TlumWSConnection_Base_Indy*>(aConnection);
}

void SendNotFound(TlumWSConnection* aConnection) {
  if (auto* c = Peer(aConnection)) c->SendHTTPStatus(404, "Not Found");
}

// Token answers must not be stored by caches on the way.
void SendTokenJSON(TlumWSConnection* aConnection, const std::string& aJSON) {
  if (auto* c = dynamic_cast<TlumWSConnectionServer_HTTPAPI*>(aConnection)) {
    const std::vector<std::string> headers{"Cache-Control: no-store", "Pragma: no-cache",
                                           "Content-Type: application/json",
                                           "Server: Quillon 4.4.6"};
    c->SendHTTPResponse(&headers, 200, "application/json", aJSON);
  } else if (auto* p = Peer(aConnection)) {
    p->SendHTTPContent(aJSON, "application/json");
  }
}

const std::vector<std::string>& RequestHeaders(TlumWSConnection* aConnection) {
  static const std::vector<std::string> kNone;
  auto* c = Peer(aConnection);
  return c != nullptr ? c->HeadersRequest() : kNone;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Parameters and texts

namespace oauth2_detail {

std::string PercentDecode(std::string_view aText) {
  // Form rules: "+" is a space, a lone "%" stays as it is.
  return WebURLDecode(aText);
}

std::string PercentEncode(std::string_view aText) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : aText) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

std::string HTMLEscape(std::string_view aText) {
  std::string out;
  out.reserve(aText.size());
  for (const char c : aText) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

TParams SplitParams(std::string_view aText) {
  TParams out;
  std::size_t i = 0;
  while (i < aText.size()) {
    const auto u = static_cast<unsigned char>(aText[i]);
    if (aText[i] == '&' || u <= ' ') {
      ++i;
      continue;
    }
    std::string part;
    if (aText[i] == '"') {
      const std::size_t close = aText.find('"', i + 1);
      const std::size_t end = close == std::string_view::npos ? aText.size() : close;
      part.assign(aText.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      std::size_t end = i;
      while (end < aText.size() && aText[end] != '&' &&
             static_cast<unsigned char>(aText[end]) > ' ') {
        ++end;
      }
      part.assign(aText.substr(i, end - i));
      i = end;
    }
    const std::size_t eq = part.find('=');
    if (eq == std::string::npos) {
      out.emplace_back(PercentDecode(part), std::string());
    } else {
      out.emplace_back(PercentDecode(part.substr(0, eq)), PercentDecode(part.substr(eq + 1)));
    }
  }
  return out;
}

namespace {
bool IsPseudoHeaderList(const std::vector<std::string>& aHeaders) {
  return !aHeaders.empty() && aHeaders.front().rfind(":method", 0) == 0;
}

std::string PseudoPath(const std::vector<std::string>& aHeaders) {
  for (const std::string& line : aHeaders) {
    if (line.empty()) break;
    if (line.rfind(":path=", 0) == 0) return line.substr(6);
  }
  return {};
}
}  // namespace

std::string RequestQuery(const std::vector<std::string>& aHeaders) {
  if (aHeaders.empty()) return {};
  const std::string source = IsPseudoHeaderList(aHeaders) ? PseudoPath(aHeaders) : aHeaders.front();
  const std::size_t q = source.find('?');
  if (q == std::string::npos) return {};
  const std::size_t space = source.find(' ', q + 1);
  return source.substr(q + 1, space == std::string::npos ? std::string::npos : space - q - 1);
}

bool MatchesEndpoint(const std::vector<std::string>& aHeaders, std::string_view aMethod,
                     std::string_view aURL) {
  if (aHeaders.empty() || aURL.empty()) return false;
  // Only the request line counts: a header value that happens to name the endpoint (a
  // Referer from the authorization page) must not turn another request into this one.
  std::string_view path;
  std::string holder;
  if (IsPseudoHeaderList(aHeaders)) {
    std::string method;
    for (const std::string& line : aHeaders) {
      if (line.rfind(":method=", 0) == 0) method = line.substr(8);
    }
    if (!SameText(method, aMethod)) return false;
    holder = PseudoPath(aHeaders);
    path = holder;
  } else {
    const std::string_view line = aHeaders.front();
    if (line.size() <= aMethod.size() || !SameText(line.substr(0, aMethod.size()), aMethod) ||
        line[aMethod.size()] != ' ') {
      return false;
    }
    path = line.substr(aMethod.size() + 1);
  }
  // The path, then "?", a space or the end: "/lum/oauth2/authx" is another path.
  if (path.size() < aURL.size() || !SameText(path.substr(0, aURL.size()), aURL)) return false;
  return path.size() == aURL.size() || path[aURL.size()] == '?' || path[aURL.size()] == ' ';
}

}  // namespace oauth2_detail

using namespace oauth2_detail;

// ---------------------------------------------------------------------------------------
// Tokens and requests

const std::string& TlumHTTPOAuth2AccessToken::AccessToken() {
  if (FAccessToken.empty()) FAccessToken = NewId64();
  return FAccessToken;
}

const std::string& TlumHTTPOAuth2AccessToken::RefreshToken() {
  if (FRefreshToken.empty()) FRefreshToken = NewId64();
  return FRefreshToken;
}

int TlumHTTPOAuth2AccessToken::ExpiresIn() const {
  const auto now = TlumOAuth2Clock::now();
  if (FExpires <= now) return -1;
  return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(FExpires - now).count());
}

void TlumHTTPOAuth2AccessToken::NewToken(TlumOAuth2Clock::time_point aExpires) {
  FAccessToken.clear();
  FRefreshToken.clear();
  FExpires = aExpires;
}

void TlumHTTPOAuth2AccessToken::RenewToken(TlumOAuth2Clock::time_point aExpires) {
  FAccessToken.clear();
  FExpires = aExpires;
}

TlumHTTPOAuth2Request::TlumHTTPOAuth2Request() : FCreated(std::chrono::steady_clock::now()) {
  SetID(NewId64());
}

TlumHTTPOAuth2Authentication& TlumHTTPOAuth2Request::Authentication() {
  if (!FAuthentication) FAuthentication = std::make_unique<TlumHTTPOAuth2Authentication>();
  return *FAuthentication;
}

const std::string& TlumHTTPOAuth2Request::AuthorizationCode() {
  if (FAuthorizationCode.empty()) FAuthorizationCode = LowerHex(platform::NewGuidHex32());
  return FAuthorizationCode;
}

TlumHTTPOAuth2AccessToken& TlumHTTPOAuth2Request::Token() {
  if (!FToken) FToken = std::make_unique<TlumHTTPOAuth2AccessToken>();
  return *FToken;
}

void TlumHTTPOAuth2Request::NewToken() {
  if (App == nullptr) throw std::runtime_error("Application is not Assigned.");
  Token().NewToken(TlumOAuth2Clock::now() + std::chrono::seconds(App->ExpiresIn));
}

void TlumHTTPOAuth2Request::RefreshToken() {
  if (App == nullptr) throw std::runtime_error("Application is not Assigned.");
  Token().RenewToken(TlumOAuth2Clock::now() + std::chrono::seconds(App->ExpiresIn));
}

TlumHTTPOAuth2RequestRef TlumHTTPOAuth2Requests::GetItemLocked(std::string_view aID) {
  for (const auto& r : FItems) {
    if (ConstantTimeEquals(r->ID(), aID)) return r;
  }
  return nullptr;
}

TlumHTTPOAuth2RequestRef TlumHTTPOAuth2Requests::GetRequestByAuthorizationCodeLocked(
    std::string_view aCode) {
  for (const auto& r : FItems) {
    if (ConstantTimeEquals(r->AuthorizationCode(), aCode)) return r;
  }
  return nullptr;
}

TlumHTTPOAuth2RequestRef TlumHTTPOAuth2Requests::GetRequestByRefreshTokenLocked(
    std::string_view aRefreshToken) {
  for (const auto& r : FItems) {
    if (ConstantTimeEquals(r->Token().RefreshToken(), aRefreshToken)) return r;
  }
  return nullptr;
}

bool TlumHTTPOAuth2Requests::DeleteItemLocked(const TlumHTTPOAuth2Request* aItem) {
  const auto it = std::find_if(FItems.begin(), FItems.end(),
                               [aItem](const auto& r) { return r.get() == aItem; });
  if (it == FItems.end()) return false;
  FItems.erase(it);
  return true;
}

int TlumHTTPOAuth2Requests::Count() {
  std::lock_guard lock(FLock);
  return static_cast<int>(FItems.size());
}

void TlumHTTPOAuth2Requests::Clear() {
  std::lock_guard lock(FLock);
  FItems.clear();
}

// ---------------------------------------------------------------------------------------
// The component

TlumHTTPComponentServer_OAuth2::~TlumHTTPComponentServer_OAuth2() { FRequests.Clear(); }

std::string TlumHTTPComponentServer_OAuth2::AuthorizationPath() const {
  return FOAuth2Options.Authorization().Enabled ? FOAuth2Options.Authorization().URL : std::string();
}

std::string TlumHTTPComponentServer_OAuth2::TokenPath() const {
  return FOAuth2Options.Token().Enabled ? FOAuth2Options.Token().URL : std::string();
}

void TlumHTTPComponentServer_OAuth2::PurgeStaleLocked() {
  const auto limit = std::chrono::steady_clock::now() - kPendingLifetime;
  auto& items = FRequests.ItemsLocked();
  std::erase_if(items, [limit](const TlumHTTPOAuth2RequestRef& r) {
    return r->CurrentState != oat2AccessToken && r->Created() < limit;
  });
  // The list is in order of arrival: the first ones without a token are the oldest.
  std::size_t pending = static_cast<std::size_t>(std::count_if(
      items.begin(), items.end(), [](const auto& r) { return r->CurrentState != oat2AccessToken; }));
  for (auto it = items.begin(); pending > kMaxPending && it != items.end();) {
    if ((*it)->CurrentState != oat2AccessToken) {
      it = items.erase(it);
      --pending;
    } else {
      ++it;
    }
  }
}

bool TlumHTTPComponentServer_OAuth2::DoProcessHTTP(TlumWSConnection* aConnection,
                                                   const std::vector<std::string>& aHeaders) {
  if (OnOAuth2BeforeRequest) {
    bool cancel = false;
    OnOAuth2BeforeRequest(this, aConnection, aHeaders, cancel);
    if (cancel) return true;
  }
  if (FOAuth2Options.Authorization().Enabled &&
      MatchesEndpoint(aHeaders, "GET", FOAuth2Options.Authorization().URL)) {
    const std::string query = RequestQuery(aHeaders);
    if (Param(SplitParams(query), "request_type") == "sign-in") {
      DoSignIn(aConnection, query);
    } else {
      DoAuthorizationRequest(aConnection, query);
    }
    return true;
  }
  if (FOAuth2Options.Token().Enabled &&
      MatchesEndpoint(aHeaders, "POST", FOAuth2Options.Token().URL)) {
    std::string body;
    bool inBody = false;
    for (const std::string& line : aHeaders) {
      if (inBody) body += line;
      else inBody = line.empty();
    }
    DoTokenRequest(aConnection, body);
    return true;
  }
  return false;
}

void TlumHTTPComponentServer_OAuth2::DoAuthorizationRequest(TlumWSConnection* aConnection,
                                                            std::string_view aQuery) {
  const TParams params = SplitParams(aQuery);
  if (params.empty()) return SendNotFound(aConnection);
  auto request = std::make_shared<TlumHTTPOAuth2Request>();
  // A name given twice keeps its last value here.
  for (const auto& [name, value] : params) {
    if (SameText(name, "RESPONSE_TYPE")) request->Response_Type = value;
    else if (SameText(name, "CLIENT_ID")) request->Client_Id = value;
    else if (SameText(name, "REDIRECT_URI")) request->Redirect_URI = value;
    else if (SameText(name, "SCOPE")) request->Scope = value;
    else if (SameText(name, "STATE")) request->State = value;
  }
  TlumHTTPOAuthApp* app = GetApp(request->Client_Id);
  if (app == nullptr) return SendNotFound(aConnection);
  // A registered redirect URI is the only place codes may go: no open redirector.
  if (!app->RedirectURI.empty() && !request->Redirect_URI.empty() &&
      request->Redirect_URI != app->RedirectURI) {
    return SendNotFound(aConnection);
  }
  if (request->Redirect_URI.empty()) request->Redirect_URI = app->RedirectURI;
  request->App = app;
  const std::string appName = app->AppName;
  {
    std::lock_guard lock(FRequests.Lock());
    FRequests.AddItemLocked(request);
    PurgeStaleLocked();
  }

  const auto resource = platform::FindResourceByName("LUM_HTML_OAUTH2_AUTHORIZATION");
  std::string page = resource ? std::string(*resource) : std::string();
  ReplaceAll(page, "{%app.name%}", HTMLEscape(appName));
  ReplaceAll(page, "{%app.scope%}", HTMLEscape(request->Scope));
  ReplaceAll(page, "{%request.id%}", HTMLEscape(request->ID()));
  if (OnOAuth2BeforeDispatchPage) OnOAuth2BeforeDispatchPage(this, request.get(), page);
  if (page.empty()) {
    {
      std::lock_guard lock(FRequests.Lock());
      FRequests.DeleteItemLocked(request.get());
    }
    return SendNotFound(aConnection);
  }
  if (auto* c = Peer(aConnection)) c->SendHTTPContent(page, "text/html");
}

void TlumHTTPComponentServer_OAuth2::DoSignIn(TlumWSConnection* aConnection,
                                              std::string_view aQuery) {
  const TParams params = SplitParams(aQuery);
  const std::string user = Param(params, "username");
  const std::string password = Param(params, "password");
  const std::string id = Param(params, "id");
  TlumHTTPOAuth2RequestRef request;
  std::string url;
  {
    std::lock_guard lock(FRequests.Lock());
    request = FRequests.GetItemLocked(id);
    if (!request) {
      // fall through to the answer below, without the lock
    } else {
      url = request->Redirect_URI;
      url += url.find('?') == std::string::npos ? '?' : '&';
      if (request->CurrentState == oat2RequestAuthorization) {
        // Before the user check: a failed sign-in uses the request up.
        request->CurrentState = oat2AuthorizationCode;
        url += "code=" + PercentEncode(request->AuthorizationCode()) +
               "&state=" + PercentEncode(request->State);
      } else {
        url += "error=invalid_request";
        FRequests.DeleteItemLocked(request.get());
      }
    }
  }
  if (!request) return SendNotFound(aConnection);
  bool authenticated = false;
  if (OnOAuth2Authentication) {
    OnOAuth2Authentication(aConnection, request.get(), user, password, authenticated);
  }
  if (!authenticated) return SendNotFound(aConnection);
  {
    std::lock_guard lock(FRequests.Lock());
    request->Authentication().User = user;
    request->Authentication().Password = password;
  }
  if (auto* c = Peer(aConnection)) c->SendHTTPRedirect(url);
}

void TlumHTTPComponentServer_OAuth2::DoTokenRequest(TlumWSConnection* aConnection,
                                                    std::string_view aBody) {
  const TParams params = SplitParams(aBody);
  const std::string grant = Param(params, "grant_type");
  const bool codeGrant = SameText(grant, "authorization_code");
  if (!codeGrant && !SameText(grant, "refresh_token")) return SendNotFound(aConnection);

  const std::string clientId = Param(params, "client_id");
  const std::string clientSecret = Param(params, "client_secret");
  TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
  // Values received are echoed in error texts: they must not break the document.
  doc->SetEscapeStrings(true);
  TlumHTTPOAuth2RequestRef request;
  {
    std::lock_guard lock(FRequests.Lock());
    std::string error;
    auto checkClient = [&](TlumHTTPOAuth2Request& r) {
      if (clientId != r.Client_Id) {
        error = "Client_Id " + clientId + " is different from previous value " + r.Client_Id;
        return;
      }
      // The application may have left the registry since the request was made.
      r.App = GetApp(r.Client_Id);
      if (r.App == nullptr) {
        error = "Invalid request";
      } else if (!ConstantTimeEquals(clientSecret, r.App->ClientSecret)) {
        // The held secret never appears in an answer.
        error = "ClientSecret " + clientSecret + " is different from previous value";
      }
    };
    if (codeGrant) {
      const std::string code = Param(params, "code");
      const std::string redirect = Param(params, "redirect_uri");
      request = code.empty() ? nullptr : FRequests.GetRequestByAuthorizationCodeLocked(code);
      if (!request) {
        error = "Authorization Code not found " + code;
      } else if (request->CurrentState != oat2AuthorizationCode) {
        error = "Invalid request";
      } else if (redirect != request->Redirect_URI) {
        error = "Redirect_URI " + redirect + " is different from previous value " +
                request->Redirect_URI;
      } else {
        checkClient(*request);
      }
      if (error.empty()) {
        request->CurrentState = oat2AccessToken;
        request->NewToken();
      }
    } else {
      const std::string refresh = Param(params, "refresh_token");
      const std::string scope = Param(params, "scope");
      request = refresh.empty() ? nullptr : FRequests.GetRequestByRefreshTokenLocked(refresh);
      if (!request) {
        error = "Refresh Token not found " + refresh;
      } else if (request->CurrentState != oat2AccessToken) {
        error = "Invalid request";
      } else if (scope != request->Scope) {
        error = "Scope " + scope + " is different from previous value " + request->Scope;
      } else {
        checkClient(*request);
      }
      if (error.empty()) request->RefreshToken();
    }
    if (!error.empty()) {
      doc->AddPair("error", "invalid_request");
      doc->AddPair("error_description", error);
    } else {
      TlumHTTPOAuth2AccessToken& token = request->Token();
      doc->AddPair("token_type", "Bearer");
      doc->AddPair("access_token", token.AccessToken());
      doc->AddPair("expires_in", static_cast<std::int32_t>(token.ExpiresIn()));
      if (codeGrant && request->App->RefreshToken) doc->AddPair("refresh_token", token.RefreshToken());
      doc->AddPair("scope", request->Scope);
    }
  }
  const std::string json = doc->GetText();
  SendTokenJSON(aConnection, json);
  if (codeGrant) {
    if (OnOAuth2AfterAccessToken) OnOAuth2AfterAccessToken(this, aConnection, request.get(), json);
  } else if (OnOAuth2AfterRefreshToken) {
    OnOAuth2AfterRefreshToken(this, aConnection, request.get(), json);
  }
}

bool TlumHTTPComponentServer_OAuth2::IsOAuth2TokenValid(TlumWSConnection* aConnection,
                                                        const std::vector<std::string>& aHeaders) {
  if (!HasAuthorization(aHeaders)) return false;
  const std::string token = GetBearerToken(aHeaders);
  if (token.empty()) return false;
  return IsOAuth2TokenValid(aConnection, token);
}

bool TlumHTTPComponentServer_OAuth2::IsOAuth2TokenValid(TlumWSConnection* aConnection,
                                                        const std::string& aToken) {
  if (OnOAuth2BeforeRequest) {
    bool cancel = false;
    OnOAuth2BeforeRequest(this, aConnection, RequestHeaders(aConnection), cancel);
    if (cancel) return true;
  }
  bool result = false;
  std::lock_guard lock(FRequests.Lock());
  auto& items = FRequests.ItemsLocked();
  // Last to first, always to the front, so that every expired request goes on each check.
  for (std::size_t i = items.size(); i-- > 0;) {
    TlumHTTPOAuth2RequestRef r = items[i];
    if (r->CurrentState != oat2AccessToken) continue;
    if (r->Token().Expired()) {
      items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    if (ConstantTimeEquals(r->Token().AccessToken(), aToken)) {
      bool valid = true;
      if (OnOAuth2AfterValidateAccessToken) {
        OnOAuth2AfterValidateAccessToken(this, aConnection, r.get(), valid);
      }
      result = valid;
    }
  }
  PurgeStaleLocked();
  return result;
}

}  // namespace quillon
