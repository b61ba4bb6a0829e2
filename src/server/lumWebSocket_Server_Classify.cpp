// Request classification, the fall-back transports (XHR and protocol posts, Flash policy,
// server-sent events) and the authentication of WebSocket upgrades and session requests.
#include <charconv>

#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "server/lumWebSocket_Server_Base.h"

namespace quillon {

namespace {

std::vector<std::string> SplitAt(std::string_view aText, char aDelimiter) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const auto pos = aText.find(aDelimiter, start);
    out.emplace_back(aText.substr(start, pos - start));
    if (pos == std::string_view::npos) return out;
    start = pos + 1;
  }
}

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// The Content-Length header as a number; 0 when absent or not a number.
long long ContentLength(const TlumHeaderLines& aHeaders) {
  constexpr std::string_view kName = "Content-Length:";
  for (const std::string& line : aHeaders) {
    if (line.empty()) break;
    if (line.size() < kName.size() || !SameText(std::string_view(line).substr(0, kName.size()), kName)) {
      continue;
    }
    const std::string_view value = TrimView(std::string_view(line).substr(kName.size()));
    long long n = 0;
    const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    return ec == std::errc() && ptr == value.data() + value.size() ? n : 0;
  }
  return 0;
}

void RemoveAll(std::string& aText, std::string_view aWhat) {
  for (auto pos = PosText(aText, aWhat); pos != std::string::npos; pos = PosText(aText, aWhat)) {
    aText.erase(pos, aWhat.size());
  }
}

}  // namespace

std::string TlumWSServer_Base::GetRequestBody(TConnection* aConnection) {
  const TlumHeaderLines& lines = aConnection->HeadersRequest();
  std::string body;
  bool inBody = false;
  bool first = true;
  for (const std::string& line : lines) {
    if (!inBody) {
      inBody = line.empty();
      continue;
    }
    if (!first) body += "\r\n";
    body += line;
    first = false;
  }
  return body;
}

void TlumWSServer_Base::EnableConnection(TConnection* aConnection) {
  aConnection->SetConnectionEnabled(true);
}

int TlumWSServer_Base::DoProcessRequest(TConnection* aConnection) {
  int result = 404;
  aConnection->DoBeforeClassify();
  TlumHeaderLines& headers = aConnection->HeadersRequest();

  if (IsWebSocketRequest(headers)) {
    result = 101;
    const std::string& secret = FWatchDogMonitorSecret;
    // An empty secret would match every request line.
    if (FWatchDog.Enabled && FWatchDog.Monitor.Enabled && !secret.empty() &&
        IsWatchDogMonitor(headers, secret)) {
      aConnection->SetIsInternal(true);
    }
    if (!aConnection->IsInternal() && !DoUpgradeAuthentication(aConnection)) result = 404;
  } else if (IsAuthSessionRequest(headers)) {
    if (FAuthentication.Enabled && FAuthentication.Session.Enabled) {
      DoSessionRequest(aConnection);
    } else {
      aConnection->SendHTTPStatus(404, "Not Found");
    }
    result = 200;
  } else if (IsXHRRequest(headers)) {
    DoXHRPost(aConnection);
    result = 200;
  } else if (IsProtocolPostRequest(headers)) {
    DoProtocolPost(aConnection);
    result = 200;
  } else if (IsFlashPolicyRequest(headers)) {
    aConnection->SetTransport(trpFlash);
    if (FFallBack.Flash.Enabled) {
      DoFlashPolicy(aConnection);
      result = 200;
    }
  } else if (IsEventStreamRequest(headers)) {
    aConnection->SetTransport(trpSSE);
    if (FFallBack.ServerSentEvents.Enabled) {
      DoServerSentEvents(aConnection);
      result = 200;
    }
  } else if (DoBuiltInDocument(aConnection, GetRequestLine(headers), false)) {
    result = 200;
  } else if (IsHTTP1Request(headers)) {
    aConnection->SetTransport(trpHTTP);
  } else {
    bool accept = false;
    if (OnUnknownProtocol) OnUnknownProtocol(aConnection, accept);
    if (accept) {
      EnableConnection(aConnection);
      result = 101;
    }
  }
  return result;
}

bool TlumWSServer_Base::DoXHRPost(TConnection* aConnection) {
  const TlumHeaderLines& headers = aConnection->HeadersRequest();
  std::string guid = GetPostDocument(headers);
  RemoveAll(guid, "/lum/xhr/");
  TConnection* target = AcquireByGUID(guid);
  if (target == nullptr) {
    // The stream this post belongs to is gone; say so rather than answer with nothing.
    aConnection->SendHTTPStatus(404, "Not Found");
    return false;
  }
  struct TRelease {
    TConnection* c;
    ~TRelease() { c->Release(); }
  } hold{target};
  if (ContentLength(headers) != 0) OnConnectionMessage(target, GetRequestBody(aConnection));
  aConnection->SendHTTPContent({}, "text/html");
  return true;
}

void TlumWSServer_Base::DoProtocolPost(TConnection* aConnection) {
  const TlumHeaderLines& headers = aConnection->HeadersRequest();
  std::string path = GetPostDocument(headers);
  RemoveAll(path, "/lum/protocol/");
  const auto slash = path.find('/');
  const std::string name = path.substr(0, slash);
  const std::string argument = slash == std::string::npos ? std::string() : path.substr(slash + 1);
  const std::vector<TlumWSProtocol_Base_Server*> objects = GetProtocolObjects(name);
  if (objects.empty() || ContentLength(headers) == 0) {
    aConnection->SendHTTPStatus(404, "Not Found");
    return;
  }
  const std::string body = GetRequestBody(aConnection);
  // One answer per request: the objects' texts go out together.
  std::string answer;
  for (auto* o : objects) answer += o->DoProtocolPost(aConnection, argument, body);
  aConnection->SendHTTPContent(answer, "text/html");
}

void TlumWSServer_Base::DoFlashPolicy(TConnection* aConnection) {
  std::string policy = "<cross-domain-policy><allow-access-from domain=\"";
  policy += FFallBack.Flash.Domain;
  policy += "\" to-ports=\"";
  policy += FFallBack.Flash.Ports;
  policy += "\" /></cross-domain-policy>";
  policy += '\0';
  aConnection->DoEnterCS();
  try {
    aConnection->WriteBytes(policy);
  } catch (...) {
    aConnection->DoLeaveCS();
    throw;
  }
  aConnection->DoLeaveCS();
}

void TlumWSServer_Base::DoServerSentEvents(TConnection* aConnection) {
  // The stream serves the first of the server's protocols that its URL names.
  std::string chosen;
  const std::string& url = aConnection->URL();
  for (const std::string& name : SplitDelimited(aConnection->Protocol())) {
    if (!name.empty() && ContainsText(url, name)) {
      chosen = name;
      break;
    }
  }
  aConnection->SetProtocol(chosen);
  EnableConnection(aConnection);
  // The client takes the first two events for its retry time and its id; the application
  // hears of the stream only after that, so what it writes in OnConnect comes later.
  aConnection->WriteData("retry: " + std::to_string(static_cast<long long>(FFallBack.ServerSentEvents.Retry) * 1000));
  aConnection->WriteData(aConnection->Guid());
  aConnection->WriteData(aConnection->Guid());
  NotifyConnect(aConnection);
}

// ---------------------------------------------------------------------------------------
// Authentication

void TlumWSServer_Base::OnServerAuthenticationEvent(TlumWSConnection* Connection,
                                                    const std::string& aUser,
                                                    const std::string& aPassword,
                                                    bool& Authenticated) {
  std::string stored;
  if (!FAuthentication.AuthUsers.empty() && FAuthentication.FindUser(aUser, stored)) {
    Authenticated = stored == aPassword;
  }
  if (OnAuthentication) OnAuthentication(Connection, aUser, aPassword, Authenticated);
  auto* c = dynamic_cast<TConnection*>(Connection);
  if (!Authenticated || c == nullptr || c->Authentication().AuthType != authSession) return;
  const std::string id = c->Authentication().SessionID();
  std::lock_guard lock(FSessionLock);
  for (const std::string& line : FSessionIDList) {
    if (line.size() > id.size() && line[id.size()] == '=' && line.compare(0, id.size(), id) == 0) {
      return;
    }
  }
  FSessionIDList.push_back(id + "=" + aUser + ":" + aPassword);
}

std::vector<std::string> TlumWSServer_Base::SessionIDList() {
  std::lock_guard lock(FSessionLock);
  return FSessionIDList;
}

bool TlumWSServer_Base::DoUpgradeAuthentication(TConnection* aConnection) {
  if (!FAuthentication.Enabled) return true;
  TlumHeaderLines& headers = aConnection->HeadersRequest();
  TlumWSConnectionAuthentication& auth = aConnection->Authentication();
  auto connectionStep = [&](TwsAuthentication aType, std::string aUser, std::string aPassword) {
    auth.AuthType = aType;
    auth.User = std::move(aUser);
    auth.Password = std::move(aPassword);
    aConnection->DoAuthentication();
  };

  if (IlumOAuth2Server* oauth = FAuthentication.OAuth.OAuth2) {
    auth.Authenticated = oauth->IsOAuth2TokenValid(aConnection, headers);
    if (auth.Authenticated) auth.AuthType = authOAuth2;
  } else if (FAuthentication.URL.Enabled && IsAuthURLRequest(headers)) {
    const auto fields = SplitAt(GetRequestDocument(headers), '/');
    if (fields.size() >= 6) connectionStep(authURL, fields[4], fields[5]);
  } else if (FAuthentication.Session.Enabled && IsSessionRequest(headers)) {
    const auto fields = SplitAt(GetRequestDocument(headers), '/');
    bool found = false;
    if (fields.size() >= 5 && !fields[4].empty()) {
      const std::string& id = fields[4];
      std::string credentials;
      {
        // Look-up and removal are one step, so that an id admits exactly one upgrade.
        std::lock_guard lock(FSessionLock);
        for (auto it = FSessionIDList.begin(); it != FSessionIDList.end(); ++it) {
          if (it->size() > id.size() && (*it)[id.size()] == '=' && it->compare(0, id.size(), id) == 0) {
            credentials = it->substr(id.size() + 1);
            FSessionIDList.erase(it);
            found = true;
            break;
          }
        }
      }
      if (found) {
        const auto colon = credentials.find(':');
        auth.SetSessionID(id);
        auth.AuthType = authSession;
        auth.User = credentials.substr(0, colon);
        auth.Password = colon == std::string::npos ? std::string() : credentials.substr(colon + 1);
      }
    }
    auth.Authenticated = found;
  } else if (FAuthentication.Basic.Enabled && HasBasicAuthorization(headers)) {
    const auto parts = SplitAt(GetBasicAuthorization(headers), ':');
    if (parts.size() == 2) connectionStep(authBasic, parts[0], parts[1]);
  } else {
    bool authenticated = auth.Authenticated;
    if (OnAuthentication) OnAuthentication(aConnection, {}, {}, authenticated);
    auth.Authenticated = authenticated;
  }

  if (!auth.Authenticated && !FAuthentication.AllowNonAuth &&
      aConnection->AuthenticationCloseCode() == 1000) {
    headers.clear();
    return false;
  }
  return true;
}

void TlumWSServer_Base::DoSessionRequest(TConnection* aConnection) {
  const auto fields = SplitAt(GetRequestDocument(aConnection->HeadersRequest()), '/');
  if (fields.size() <= 5) {
    aConnection->SendHTTPStatus(404, "Not Found");
    return;
  }
  TlumWSConnectionAuthentication& auth = aConnection->Authentication();
  auth.AuthType = authSession;
  auth.User = fields[5];
  auth.Password = fields.size() > 6 ? fields[6] : std::string();
  if (!aConnection->DoAuthentication()) {
    aConnection->SendHTTPStatus(404, "Not Found");
    return;
  }
  std::string extensions;
  for (const TlumWSExtension_Base* e :
       {static_cast<const TlumWSExtension_Base*>(&FExtensions.PerMessage_Deflate()),
        static_cast<const TlumWSExtension_Base*>(&FExtensions.DeflateFrame())}) {
    if (!e->Enabled()) continue;
    if (!extensions.empty()) extensions += "\r\n";
    extensions += e->GetName();
  }
  std::string body = auth.SessionID();
  body += "\r\n";
  body += TrimView(extensions);
  body += "\r\n";
  body += TrimView(aConnection->Protocol());
  body += "\r\n";
  aConnection->SendHTTPContent(body, "text/plain");
}

}  // namespace quillon
