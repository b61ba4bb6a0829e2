// The bridge over the HTTP Server API: adapters, the process-wide handler and the server.
#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"

#include <cctype>
#include <charconv>
#include <ctime>
#include <mutex>

namespace quillon {

namespace {

// "Name: value" lines; the value of the first line whose name matches without letter case.
std::string LookUp(std::string_view aLines, std::string_view aName) {
  while (!aLines.empty()) {
    std::size_t end = aLines.find('\n');
    std::string_view line = aLines.substr(0, end);
    aLines = end == std::string_view::npos ? std::string_view() : aLines.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !WebSameText(line.substr(0, colon), aName)) continue;
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return std::string(value);
  }
  return {};
}

std::int64_t ToInteger(const std::string& aText, std::int64_t aDefault) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), value);
  if (aText.empty() || ec != std::errc() || end != aText.data() + aText.size()) return aDefault;
  return value;
}

bool IsToken(std::string_view aName) {
  if (aName.empty()) return false;
  for (char c : aName) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127 || std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos) return false;
  }
  return true;
}

// Headers the engine writes itself; a module's copy would contradict the framing.
bool IsFramingHeader(std::string_view aName) {
  for (const char* n : {"Content-Length", "Transfer-Encoding", "Connection", "Content-Type", "Keep-Alive", "Upgrade"}) {
    if (WebSameText(aName, n)) return true;
  }
  return false;
}

std::string WithoutLineBreaks(std::string aValue) {
  for (char& c : aValue) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return aValue;
}

// Local time minus UTC now, in days.
double ZoneOffsetDays() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) {
    throw TlumWSException("Failed attempting to retrieve time zone information.");
  }
  return static_cast<double>(local.tm_gmtoff) / 86400.0;
}

TDateTime ToTimePoint(TWebDateTime aValue) {
  const double seconds = WebDateTimeToUnix(aValue);
  return TDateTime(std::chrono::duration_cast<TDateTime::duration>(std::chrono::duration<double>(seconds)));
}

TWebDateTime FromTimePoint(TDateTime aValue) {
  return UnixToWebDateTime(std::chrono::duration<double>(aValue.time_since_epoch()).count());
}

// Status and a short text, when the module left the request unanswered.
void AnswerFailure(TlumWSConnectionServer_HTTPAPI* aConnection, int aCode, const std::string& aText) {
  const std::vector<std::string> headers{"Content-Type: text/plain; charset=utf-8", std::string("Server: ") + lumServerName,
                                         "Cache-Control: no-cache"};
  aConnection->SendHTTPResponse(&headers, aCode, "text/plain; charset=utf-8", aText + "\n");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TlumWebRequestHTTPAPI

TlumWebRequestHTTPAPI::TlumWebRequestHTTPAPI(TlumWSConnectionServer_HTTPAPI* aConnection,
                                             THttpServerRequest aRequest, THttpServerResponse aResponse)
    : FConnection(aConnection), FRequest(std::move(aRequest)), FResponse(std::move(aResponse)) {
  FContentStream = std::make_unique<TlumStringStream>(FRequest.Content,
                                                      std::ios::in | std::ios::out | std::ios::binary);
  InitializeRequest();
}

TlumWebRequestHTTPAPI::~TlumWebRequestHTTPAPI() { FConnection = nullptr; }

std::string TlumWebRequestHTTPAPI::GetFieldByName(const std::string& Name) { return LookUp(FRequest.Headers, Name); }

std::string TlumWebRequestHTTPAPI::GetStringVariable(int Index) {
  switch (Index) {
    case 0: return FRequest.Method;
    case 1: return GetFieldByName("Version");
    case 3: return FRequest.QueryParams;
    case 4:
    case 5: return FRequest.Document;
    case 6: return GetFieldByName("Cache-Control");
    case 7: return GetFieldByName("Date");
    case 8: return GetFieldByName("Accept");
    case 9: return GetFieldByName("From");
    case 10: return GetFieldByName("Host");
    case 11: return GetFieldByName("If-Modified-Since");
    case 12: return GetFieldByName("Referer");
    case 13: return GetFieldByName("User-Agent");
    case 14: return GetFieldByName("Content-Encoding");
    case 15: return FRequest.ContentType;
    case 16: return std::to_string(FRequest.ContentLength);
    case 17: return GetFieldByName("Content-Version");
    case 18: return GetFieldByName("Derived-From");
    case 19: return GetFieldByName("Expires");
    case 20: return GetFieldByName("Title");
    case 21: return FConnection != nullptr ? FConnection->IP() : std::string();
    case 22: return std::to_string(FConnection != nullptr ? FConnection->Port() : 0);
    case 24: {
      const std::int64_t remote = ToInteger(GetFieldByName("REMOTE_HOST"), 0);
      return std::to_string(remote > 0 ? remote : (FConnection != nullptr ? FConnection->LocalPort() : 0));
    }
    case 26: return GetFieldByName("Connection");
    case 27: return FRequest.Cookies;
    case 28: return GetFieldByName("Authorization");
    default: return {};  // 2 URL, 23 ScriptName, 25 and beyond
  }
}

int TlumWebRequestHTTPAPI::WriteClient(const void* Buffer, int Count) {
  if (Buffer == nullptr || Count <= 0) return 0;
  const std::string bytes(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count));
  FWritten = true;
  if (FConnection != nullptr) FConnection->SendHTTPContent(bytes, "text/html; charset=utf-8");
  return Count;
}

bool TlumWebRequestHTTPAPI::WriteString(const std::string& AString) {
  FWritten = true;
  if (FConnection != nullptr) SendHTTPText(*FConnection, AString, "text/html; charset=utf-8");
  return true;
}

bool TlumWebRequestHTTPAPI::WriteHeaders(int /*StatusCode*/, const std::string& /*ReasonString*/,
                                         const std::string& /*Headers*/) {
  return true;
}

// ---------------------------------------------------------------------------------------
// TlumWebResponseHTTPAPI

TlumWebResponseHTTPAPI::TlumWebResponseHTTPAPI(TlumWSConnectionServer_HTTPAPI* aConnection, TWebRequest* aRequest,
                                               THttpServerResponse aResponse)
    : TlumWebResponse(aRequest), FConnection(aConnection), FResponse(std::move(aResponse)) {}

TlumWebResponseHTTPAPI::~TlumWebResponseHTTPAPI() { FConnection = nullptr; }

std::string TlumWebResponseHTTPAPI::Header(std::string_view aName) const {
  return LookUp(FResponse.CustomHeader, aName);
}

void TlumWebResponseHTTPAPI::AddHeader(std::string_view aName, const std::string& aValue) {
  FResponse.CustomHeader += std::string(aName) + ": " + WithoutLineBreaks(aValue) + "\r\n";
}

namespace {
// Header names of the string indexes (getter, setter); null where a field or nothing answers.
struct THeaderIndex {
  const char* Get;
  const char* Set;
};
constexpr THeaderIndex kHeaders[12] = {
    {nullptr, nullptr},                          // 0 Version
    {nullptr, nullptr},                          // 1 ReasonString (the content text)
    {"Server", "Server"},                        // 2
    {"WWW-Authenticate", "WWW-Authenticate"},    // 3
    {"Basic Realm", "Basic realm"},              // 4
    {"Allow", "Allow"},                          // 5
    {"Location", "Location"},                    // 6
    {"Content-Encoding", "Content-Encoding"},    // 7
    {nullptr, nullptr},                          // 8 ContentType (a field)
    {"Content-Version", "Content-Version"},      // 9
    {"Derived-From", "Derived-From"},            // 10
    {"Title", "Title"},                          // 11
};
}  // namespace

std::string TlumWebResponseHTTPAPI::GetStringVariable(int Index) {
  if (Index == 1) return FResponse.ContentText;
  if (Index == 8) return FResponse.ContentType;
  if (Index < 0 || Index >= 12 || kHeaders[Index].Get == nullptr) return {};
  return Header(kHeaders[Index].Get);
}

void TlumWebResponseHTTPAPI::SetStringVariable(int Index, const std::string& Value) {
  if (Index == 1) {
    FResponse.ContentText = Value;
  } else if (Index == 8) {
    FResponse.ContentType = WithoutLineBreaks(Value);
  } else if (Index >= 0 && Index < 12 && kHeaders[Index].Set != nullptr) {
    AddHeader(kHeaders[Index].Set, Value);
  }
}

TWebDateTime TlumWebResponseHTTPAPI::GetDateVariable(int Index) {
  const std::optional<TDateTime>* slot = Index == 0   ? &FResponse.Date
                                         : Index == 1 ? &FResponse.Expires
                                         : Index == 2 ? &FResponse.LastModified
                                                      : nullptr;
  if (slot == nullptr || !slot->has_value()) return 0;
  const TWebDateTime stored = FromTimePoint(**slot);
  if (stored == -1) return -1;
  return stored - ZoneOffsetDays();
}

void TlumWebResponseHTTPAPI::SetDateVariable(int Index, TWebDateTime Value) {
  std::optional<TDateTime>* slot = Index == 0   ? &FResponse.Date
                                   : Index == 1 ? &FResponse.Expires
                                   : Index == 2 ? &FResponse.LastModified
                                                : nullptr;
  if (slot == nullptr) return;
  *slot = ToTimePoint(Value == -1 ? Value : Value + ZoneOffsetDays());
}

std::int64_t TlumWebResponseHTTPAPI::GetIntegerVariable(int Index) {
  return Index == 0 ? ToInteger(Header("Content-Length"), 0) : 0;
}

void TlumWebResponseHTTPAPI::SetIntegerVariable(int Index, std::int64_t Value) {
  if (Index == 0) AddHeader("Content-Length", std::to_string(Value));
}

void TlumWebResponseHTTPAPI::SetContentStream(std::unique_ptr<std::istream> Value) {
  std::istream* stream = Value.get();
  TWebResponse::SetContentStream(std::move(Value));
  FResponse.ContentText.clear();
  if (stream == nullptr) {
    // Without a stream the text is the body again.
    FContentCopy.reset();
    FResponse.ContentStream = nullptr;
    return;
  }
  stream->clear();
  stream->seekg(0);
  auto copy = std::make_unique<TlumStringStream>(std::ios::in | std::ios::out | std::ios::binary);
  *copy << stream->rdbuf();
  copy->clear();
  copy->seekg(0);
  stream->clear();
  stream->seekg(0);
  FContentCopy = std::move(copy);
  FResponse.ContentStream = FContentCopy.get();
}

std::vector<std::string> TlumWebResponseHTTPAPI::ResponseHeaderLines() {
  std::vector<std::string> lines;
  if (!FResponse.CacheControl.empty()) lines.push_back("Cache-Control: " + WithoutLineBreaks(FResponse.CacheControl));
  lines.push_back("Content-Type: " + FResponse.ContentType);
  static const TDateTime k1900 = std::chrono::system_clock::from_time_t(-2208988800);
  if (FResponse.LastModified && *FResponse.LastModified > k1900) {
    lines.push_back("Last-Modified: " + detail::FormatHTTPDate(*FResponse.LastModified));
  }
  bool ownServer = false;
  auto add = [&](std::string_view aName, const std::string& aValue) {
    if (!IsToken(aName) || IsFramingHeader(aName)) return;
    ownServer = ownServer || WebSameText(aName, "Server");
    lines.push_back(std::string(aName) + ": " + WithoutLineBreaks(aValue));
  };
  std::string_view custom = FResponse.CustomHeader;
  while (!custom.empty()) {
    const std::size_t end = custom.find("\r\n");
    const std::string_view line = custom.substr(0, end);
    custom = end == std::string_view::npos ? std::string_view() : custom.substr(end + 2);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    add(line.substr(0, colon), std::string(value));
  }
  const TStrings& more = CustomHeaders();
  for (int i = 0; i < more.Count(); ++i) add(more.Names(i), more.ValueFromIndex(i));
  if (!ownServer) lines.push_back(std::string("Server: ") + lumServerName);
  return lines;
}

void TlumWebResponseHTTPAPI::SendResponse() {
  FSent = true;
  if (FResponse.ContentType.empty()) FResponse.ContentType = "text/html; charset=utf-8";
  std::string body = FResponse.ContentText;
  if (body.empty() && FContentCopy) {
    FContentCopy->clear();
    FContentCopy->seekg(0);
    body = FContentCopy->str();
  }
  const int code = FResponse.ResponseNo > 0 ? FResponse.ResponseNo : 200;
  if (FConnection == nullptr) return;
  const std::vector<std::string> headers = ResponseHeaderLines();
  FConnection->SendHTTPResponse(&headers, code, FResponse.ContentType, body);
}

bool TlumWebResponseHTTPAPI::Sent() {
  if (FSent) return true;
  auto* request = dynamic_cast<TlumWebRequestHTTPAPI*>(HTTPRequest());
  return request != nullptr && request->Written();
}

void TlumWebResponseHTTPAPI::SendRedirect(const std::string& URI) {
  FSent = true;
  if (FConnection != nullptr) FConnection->SendHTTPRedirect(WithoutLineBreaks(URI));
}

void TlumWebResponseHTTPAPI::SendStream(std::istream& AStream) {
  FSent = true;
  const std::string bytes{std::istreambuf_iterator<char>(AStream), std::istreambuf_iterator<char>()};
  if (FConnection != nullptr) FConnection->SendHTTPContent(bytes, "text/html; charset=utf-8");
}

// ---------------------------------------------------------------------------------------
// The process-wide handler

namespace {

std::mutex& HandlerLock() {
  static std::mutex m;
  return m;
}
TlumWebBrokerBridgeRequestHandlerHTTPAPI*& HandlerPointer() {
  static TlumWebBrokerBridgeRequestHandlerHTTPAPI* p = nullptr;
  return p;
}

// Installs the accessor when the unit starts and frees the handler when it ends.
struct TUnitLifetime {
  TUnitLifetime() {
    SetWebRequestHandlerProc([]() -> TWebRequestHandler* { return GetWebBrokerBridgeRequestHandler(); });
  }
  ~TUnitLifetime() {
    TlumWebBrokerBridgeRequestHandlerHTTPAPI* handler = nullptr;
    {
      std::lock_guard lock(HandlerLock());
      handler = std::exchange(HandlerPointer(), nullptr);
    }
    delete handler;
  }
};
const TUnitLifetime gUnitLifetime;

}  // namespace

TlumWebBrokerBridgeRequestHandlerHTTPAPI* GetWebBrokerBridgeRequestHandler() {
  std::lock_guard lock(HandlerLock());
  if (HandlerPointer() == nullptr) HandlerPointer() = new TlumWebBrokerBridgeRequestHandlerHTTPAPI(nullptr);
  return HandlerPointer();
}

// ---------------------------------------------------------------------------------------
// The server

void TlumWSServer_HTTPAPI_WebBrokerBridge::DoHTTPRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                                                         const THttpServerRequest& aRequest,
                                                         THttpServerResponse& aResponse) {
  bool handled = false;
  if (OnCommandRequest) {
    try {
      OnCommandRequest(aConnection, aRequest, aResponse, handled);
    } catch (const std::exception&) {
      // The handler failed before anything was sent: the client still gets an answer.
      AnswerFailure(aConnection, 500, "Internal Server Error");
      throw;
    }
  }
  if (handled) {
    DoHTTPResponse(aConnection, aRequest, aResponse);
    return;
  }
  if (FWebModuleClass) {
    DoWebModuleRequest(aConnection, aRequest, aResponse);
    return;
  }
  // Freed in reverse order, also when the handling fails.
  auto request = std::make_unique<TlumWebRequestHTTPAPI>(aConnection, aRequest, aResponse);
  auto response = std::make_unique<TlumWebResponseHTTPAPI>(aConnection, request.get(), aResponse);
  try {
    const bool handled = GetWebBrokerBridgeRequestHandler()->HandleRequest(*request, *response);
    // A module that answers nothing would leave the client with an empty reply.
    if (!handled && !response->Sent()) AnswerFailure(aConnection, 404, "Not Found");
  } catch (const EWebBrokerTooBusy& e) {
    if (!response->Sent()) AnswerFailure(aConnection, 503, e.what());
    throw;
  } catch (const std::exception& e) {
    if (!response->Sent()) AnswerFailure(aConnection, 500, e.what());
    throw;
  }
}

void TlumWSServer_HTTPAPI_WebBrokerBridge::DoWebModuleRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                                                              const THttpServerRequest& aRequestInfo,
                                                              THttpServerResponse& aResponseInfo) {
  auto request = std::make_unique<TlumWebRequestHTTPAPI>(aConnection, aRequestInfo, aResponseInfo);
  auto response = std::make_unique<TlumWebResponseHTTPAPI>(aConnection, request.get(), aResponseInfo);
  try {
    std::unique_ptr<TComponent> module = FWebModuleClass.Create();
    auto* dispatcher = dynamic_cast<TCustomWebDispatcher*>(module.get());
    if (dispatcher == nullptr) throw EWebBrokerException("Invalid class typecast");
    bool handled = false;
    if (auto* h = dynamic_cast<IWebRequestHandler*>(module.get())) {
      handled = h->HandleRequest(*request, *response);
    } else {
      handled = dispatcher->DispatchAction(*request, *response);
    }
    if (handled && !response->Sent()) response->SendResponse();
  } catch (const std::exception&) {
    if (!response->Sent()) AnswerFailure(aConnection, 500, "Internal Server Error");
    throw;
  }
}

}  // namespace quillon
