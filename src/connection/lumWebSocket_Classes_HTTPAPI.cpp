// The connection over the HTTP Server API.
#include "connection/lumWebSocket_Classes_HTTPAPI.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <istream>
#include <iterator>

namespace quillon {

namespace {

constexpr std::string_view kServerLine = "Server: Quillon 4.4.6";

// Frames up to this size are gathered while the reader runs, and a gather this big is sent
// at once: beyond it a copy costs more than the send it saves.
constexpr std::size_t kGatherLimit = 64 * 1024;

// Method text of the request line; verbs beyond these give an empty text.
std::string_view MethodText(HTTP_VERB aVerb) {
  switch (aVerb) {
    case HttpVerbOPTIONS: return "OPTIONS";
    case HttpVerbGET: return "GET";
    case HttpVerbHEAD: return "HEAD";
    case HttpVerbPOST: return "POST";
    case HttpVerbPUT: return "PUT";
    case HttpVerbDELETE: return "DELETE";
    case HttpVerbTRACE: return "TRACE";
    case HttpVerbCONNECT: return "CONNECT";
    default: return {};
  }
}

// Keeps the connection alive across a step that may drop the last other reference (a
// context freed, or OnDisconnect letting the server free it).
class TKeepAlive {
 public:
  explicit TKeepAlive(TlumHTTPAPIConnection& c) : FConnection(c) { FConnection.AddRef(); }
  ~TKeepAlive() { FConnection.Release(); }
  TKeepAlive(const TKeepAlive&) = delete;
  TKeepAlive& operator=(const TKeepAlive&) = delete;

 private:
  TlumHTTPAPIConnection& FConnection;
};

// The port text of "scheme://host:port/..." (host may be a bracketed IPv6 literal); 0 when
// there is none or it does not convert.
int UrlPort(std::string_view aUrl) {
  std::size_t at = aUrl.find("://");
  if (at == std::string_view::npos) return 0;
  std::string_view rest = aUrl.substr(at + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) return 0;
    rest = rest.substr(close + 1);
    if (rest.empty() || rest.front() != ':') return 0;
    rest.remove_prefix(1);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return 0;
    rest = rest.substr(colon + 1);
  }
  int port = 0;
  const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), port);
  if (ec != std::errc{} || ptr != rest.data() + rest.size() || port < 0 || port > 0xFFFF) return 0;
  return port;
}

// Everything a response send points into; an asynchronous send keeps it in its context
// until the pool reports completion.
struct TPendingResponse {
  HTTP_RESPONSE_V2 Response{};
  std::vector<HTTP_UNKNOWN_HEADER> Unknown;
  std::string Headers;
  std::string Reason;
  std::string ContentType;
  std::string Body;
  HTTP_DATA_CHUNK Chunk{};
};

std::string JoinLines(const std::vector<std::string>& aLines) {
  std::string text;
  for (std::size_t i = 0; i < aLines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += aLines[i];
  }
  return text;
}

}  // namespace

namespace detail {

std::string FormatHTTPDate(TDateTime aTime) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::chrono::system_clock::to_time_t(aTime);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char time[16];
  std::snprintf(time, sizeof time, "%.2d:%.2d:%.2d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  char out[64];
  std::snprintf(out, sizeof out, "%s, %.2d %s %.4d %s %s", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, time, "GMT");
  return out;
}

std::string SocketAddressText(const sockaddr* aAddress) {
  if (aAddress == nullptr) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (aAddress->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(aAddress);
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return {};
    return text;
  }
  if (aAddress->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(aAddress);
    if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr) return {};
    return text;
  }
  return {};
}

int SocketAddressPort(const sockaddr* aAddress) {
  if (aAddress == nullptr) return 0;
  if (aAddress->sa_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in*>(aAddress)->sin_port);
  if (aAddress->sa_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6*>(aAddress)->sin6_port);
  return 0;
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// TlumWSConnection_HTTPAPI

TlumWSConnection_HTTPAPI::TlumWSConnection_HTTPAPI() = default;

TlumWSConnection_HTTPAPI::~TlumWSConnection_HTTPAPI() = default;

void TlumWSConnection_HTTPAPI::SetHTTPRequestId(HTTP_REQUEST_ID Value) {
  // Everything needed of the record later is copied now, while it is valid.
  if (Value != 0 && FHTTPRequest != nullptr) {
    const HTTP_REQUEST_V2& r = *FHTTPRequest;
    FIP = detail::SocketAddressText(r.Address.pRemoteAddress);
    FPort = detail::SocketAddressPort(r.Address.pRemoteAddress);
    FLocalIP = detail::SocketAddressText(r.Address.pLocalAddress);
    if (r.CookedUrl.pFullUrl != nullptr && r.CookedUrl.FullUrlLength > 0) {
      FURL.assign(r.CookedUrl.pFullUrl, r.CookedUrl.FullUrlLength);
      FLocalPort = UrlPort(FURL);
    }
    // A URL without a usable port still has the socket's.
    if (FLocalPort == 0) FLocalPort = detail::SocketAddressPort(r.Address.pLocalAddress);
    FHTTPVersion = r.Version;
  }
  FHTTPRequestId.store(Value, std::memory_order_release);
}

std::string TlumWSConnection_HTTPAPI::GetIP() { return FIP; }
std::string TlumWSConnection_HTTPAPI::GetLocalIP() { return FLocalIP; }
int TlumWSConnection_HTTPAPI::GetLocalPort() { return FLocalPort; }
int TlumWSConnection_HTTPAPI::GetPort() { return FPort; }

void TlumWSConnection_HTTPAPI::DoReadHeaders() {
  FHeadersRequest.clear();
  if (FHTTPRequest == nullptr) return;
  const HTTP_REQUEST_V2& r = *FHTTPRequest;
  std::string line(MethodText(r.Verb));
  line += ' ';
  if (r.pRawUrl != nullptr) line.append(r.pRawUrl, r.RawUrlLength);
  line += " HTTP/1.1";
  FHeadersRequest.push_back(std::move(line));
  for (int id = 0; id < HttpHeaderRequestMaximum; ++id) {
    const HTTP_KNOWN_HEADER& h = r.Headers.KnownHeaders[id];
    if (h.RawValueLength == 0 || h.pRawValue == nullptr) continue;
    std::string header(KnownRequestHeaderName(id));
    header += ": ";
    header.append(h.pRawValue, h.RawValueLength);
    FHeadersRequest.push_back(std::move(header));
  }
  for (USHORT i = 0; i < r.Headers.UnknownHeaderCount; ++i) {
    const HTTP_UNKNOWN_HEADER& h = r.Headers.pUnknownHeaders[i];
    std::string header(h.pName != nullptr ? std::string(h.pName, h.NameLength) : std::string());
    header += ": ";
    if (h.pRawValue != nullptr) header.append(h.pRawValue, h.RawValueLength);
    FHeadersRequest.push_back(std::move(header));
  }
}

THttpServerRequest TlumWSConnection_HTTPAPI::GetHttpServerRequest() {
  if (FHTTPRequest == nullptr) return {};
  return quillon::GetHttpServerRequest(*FHTTPRequest, FHTTPReqQueue, HTTPRequestId(),
                                       FHTTPLogData);
}

ULONG TlumWSConnection_HTTPAPI::SendDisconnect() {
  const HTTP_REQUEST_ID id = HTTPRequestId();
  if (id == 0 || FDisconnectSent.exchange(true, std::memory_order_acq_rel)) return NO_ERROR;
  TKeepAlive hold(*this);
  HTTP_DATA_CHUNK chunk{};
  chunk.DataChunkType = HttpDataChunkFromMemory;
  TlumHTTPAPIContext* context = nullptr;
  HTTP_DATA_CHUNK* chunks = &chunk;
  if (FAsynchronous) {
    context = NewHTTPAPIContext(mthSendDisconnect, this);
    context->datachunk = new HTTP_DATA_CHUNK(chunk);
    chunks = context->datachunk;
  }
  const ULONG result = HttpSendResponseEntityBody(
      FHTTPReqQueue, id, HTTP_SEND_RESPONSE_FLAG_DISCONNECT, 1, chunks, nullptr, nullptr, 0,
      context != nullptr ? &context->overlapped : nullptr, FHTTPLogData);
  if (context != nullptr && result != NO_ERROR && result != ERROR_IO_PENDING)
    FreeHTTPAPIContext(context);
  return result;
}

void TlumWSConnection_HTTPAPI::DisconnectPeer() {
  if (HTTPRequestId() == 0) return;
  {
    // What the reader gathered (a close frame, say) goes before the end.
    TlumWriteLock hold(*this);
    SendGathered();
  }
  // A failure other than "the client is gone" is ignored: the connection is being ended.
  if (SendDisconnect() == ERROR_CONNECTION_INVALID) {
    FCloseCode.store(0, std::memory_order_relaxed);
    DoDisconnected();
  }
}

void TlumWSConnection_HTTPAPI::CallFailed(TlumHTTPAPIContext* aContext, ULONG aResult) {
  FreeHTTPAPIContext(aContext);
  if (aResult == ERROR_CONNECTION_INVALID) {
    FCloseCode.store(0, std::memory_order_relaxed);
    DoDisconnected();
  } else {
    DisconnectOnError();
  }
}

void TlumWSConnection_HTTPAPI::DoDisconnected() {
  TKeepAlive hold(*this);
  SetDisconnected(true);
  // Still open after an error raised while reading (say, by the application): ending it
  // here is what makes the pending wait complete instead of leaving the client hanging.
  SendDisconnect();
  FHTTPRequestId.store(0, std::memory_order_release);
  // With a wait pending, its completion reaches the server, which removes the connection;
  // raising here too could run the server's handler on a thread that holds the server's
  // list (a broadcast write that failed).
  if (FWaitPosted.load(std::memory_order_acquire)) return;
  const TwsTransport t = Transport();
  if (t == trpUndefined || t == trpHTTP) return;
  if (OnDisconnect && ClaimDisconnect()) OnDisconnect(this, 0);
}

void TlumWSConnection_HTTPAPI::WriteBytes(std::string_view aBytes) {
  if (HTTPRequestId() == 0) return;  // detached: nothing to write to
  if (aBytes.size() <= kGatherLimit &&
      FGatherThread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    FGather.append(aBytes);
    AddSendBytes(static_cast<std::int64_t>(aBytes.size()));
    if (FGather.size() >= kGatherLimit) SendGathered();
    return;
  }
  // Gathered frames first, so that frames leave in the order they were written (the
  // compression history depends on it).
  SendGathered();
  AddSendBytes(static_cast<std::int64_t>(aBytes.size()));
  SendChunk(aBytes, FAsynchronous ? std::make_shared<std::string>(aBytes) : nullptr);
}

void TlumWSConnection_HTTPAPI::WriteFrameBytes(std::string_view aHeader,
                                               std::string_view aPayload) {
  if (HTTPRequestId() == 0) return;
  const std::size_t size = aHeader.size() + aPayload.size();
  const bool gathering =
      FGatherThread.load(std::memory_order_relaxed) == std::this_thread::get_id();
  if (gathering && size <= kGatherLimit) {  // the answers of a read round
    FGather.append(aHeader);
    FGather.append(aPayload);
    AddSendBytes(static_cast<std::int64_t>(size));
    if (FGather.size() >= kGatherLimit) SendGathered();
    return;
  }
  if (FAsynchronous) {  // the send keeps a copy of its own anyway
    TlumWSConnectionServer_Base::WriteFrameBytes(aHeader, aPayload);
    return;
  }
  SendGathered();
  AddSendBytes(static_cast<std::int64_t>(size));
  const std::string_view pieces[2] = {aHeader, aPayload};
  SendPieces(pieces, 2);
}

void TlumWSConnection_HTTPAPI::SendPieces(const std::string_view* aPieces, int aCount) {
  const HTTP_REQUEST_ID id = HTTPRequestId();
  if (id == 0) return;
  HTTP_DATA_CHUNK chunks[2]{};
  const int count = aCount < 2 ? aCount : 2;
  for (int i = 0; i < count; ++i) {
    chunks[i].DataChunkType = HttpDataChunkFromMemory;
    chunks[i].FromMemory.pBuffer = const_cast<char*>(aPieces[i].data());
    chunks[i].FromMemory.BufferLength = static_cast<ULONG>(aPieces[i].size());
  }
  ULONG sent = 0;
  const ULONG result = HttpSendResponseEntityBody(
      FHTTPReqQueue, id, HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA,
      static_cast<USHORT>(count), chunks, &sent, nullptr, 0, nullptr, FHTTPLogData);
  if (result == NO_ERROR) return;
  TKeepAlive hold(*this);
  CallFailed(nullptr, result);
}

void TlumWSConnection_HTTPAPI::WriteSharedBytes(const TlumSharedFrame& aFrame) {
  if (!FAsynchronous ||
      FGatherThread.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    WriteBytes(*aFrame);
    return;
  }
  if (HTTPRequestId() == 0) return;
  SendGathered();
  AddSendBytes(static_cast<std::int64_t>(aFrame->size()));
  SendChunk(*aFrame, aFrame);
}

void TlumWSConnection_HTTPAPI::SendGathered() {
  if (FGather.empty()) return;
  if (FAsynchronous) {
    auto owned = std::make_shared<std::string>(std::move(FGather));
    FGather = std::string();
    SendChunk(*owned, owned);
    return;
  }
  std::string bytes;
  bytes.swap(FGather);
  SendChunk(bytes, nullptr);
  // The room is kept for the next round unless a send on the way refilled it.
  if (FGather.empty() && bytes.capacity() <= kGatherLimit) {
    bytes.clear();
    FGather.swap(bytes);
  }
}

void TlumWSConnection_HTTPAPI::SendChunk(std::string_view aBytes,
                                         std::shared_ptr<const std::string> aOwned) {
  if (!FAsynchronous) {
    SendPieces(&aBytes, 1);
    return;
  }
  const HTTP_REQUEST_ID id = HTTPRequestId();
  if (id == 0) return;
  // The caller's bytes may be gone when this returns; the send keeps its own.
  TlumHTTPAPIContext* context = NewHTTPAPIContext(mthSendResponseEntityBody, this);
  context->datachunk = new HTTP_DATA_CHUNK{};
  context->datachunk->DataChunkType = HttpDataChunkFromMemory;
  context->datachunk->FromMemory.pBuffer = const_cast<char*>(aOwned->data());
  context->datachunk->FromMemory.BufferLength = static_cast<ULONG>(aOwned->size());
  context->payload = std::const_pointer_cast<std::string>(std::move(aOwned));
  const ULONG result = HttpSendResponseEntityBody(
      FHTTPReqQueue, id, HTTP_SEND_RESPONSE_FLAG_MORE_DATA, 1, context->datachunk, nullptr,
      nullptr, 0, &context->overlapped, FHTTPLogData);
  if (result == NO_ERROR || result == ERROR_IO_PENDING) return;
  TKeepAlive hold(*this);
  CallFailed(context, result);
}

void TlumWSConnection_HTTPAPI::WriteFrameText(std::string_view aText, TOpcode aOpCode,
                                              bool aFragmented) {
  if (aOpCode != opPing) {
    TlumWSConnectionServer_Base::WriteFrameText(aText, aOpCode, aFragmented);
    return;
  }
  // A ping to a connection that is going away is not worth an error.
  try {
    TlumWSConnectionServer_Base::WriteFrameText(aText, aOpCode, aFragmented);
  } catch (const std::exception&) {
  }
}

void TlumWSConnection_HTTPAPI::Close(int aCloseCode) {
  const bool wasEnabled = Enabled() && !Disconnected();
  TlumWSConnectionServer_Base::Close(aCloseCode);
  if (wasEnabled) DisconnectPeer();
}

void TlumWSConnection_HTTPAPI::ReadData(bool aRequireMask) {
  if (!Enabled()) {
    DoHandshake();
    return;
  }
  {
    // Frames read together are answered together: one send for all of this round's
    // answers, however the round ends.
    struct TSendAfter {
      TlumWSConnection_HTTPAPI& c;
      ~TSendAfter() {
        c.FGatherThread.store(std::thread::id(), std::memory_order_relaxed);
        try {
          TlumWriteLock hold(c);
          c.SendGathered();
        } catch (...) {
        }
      }
    } sendAfter{*this};
    FGatherThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ReadFrames(aRequireMask);
  }
  // Between reads an idle connection holds no input room.
  ReleaseIdleInput();
  if (!Disconnected() && !MustDisconnect()) ReceiveData();
}

bool TlumWSConnection_HTTPAPI::ReceiveAvailable() {
  const HTTP_REQUEST_ID id = HTTPRequestId();
  if (id == 0) return false;
  const std::size_t size = static_cast<std::size_t>(ReadBufferSize());
  std::uint8_t* room = InputBuffer(size);
  ULONG received = 0;
  // Bytes are waiting (the zero-byte receive said so): this returns at once.
  const ULONG result = HttpReceiveRequestEntityBody(FHTTPReqQueue, id, 0, room,
                                                    static_cast<ULONG>(size), &received, nullptr);
  if (result != NO_ERROR) return false;
  InputReceived(received);
  return true;
}

void TlumWSConnection_HTTPAPI::DoReadData(DWORD aBytesReceived) {
  if (Disconnected()) return;
  try {
    if (aBytesReceived > 0) {
      InputReceived(aBytesReceived);
    } else if (!ReceiveAvailable()) {
      ReleaseIdleInput();
      return;  // the stream ended: the disconnect wait reports it
    }
    ReadData(false);
  } catch (...) {
    // Whatever was raised (also by a handler, whatever its type) ends this connection.
    DoDisconnected();
  }
}

std::uint64_t TlumWSConnection_HTTPAPI::BufferedAmount() const {
  ULONGLONG queued = 0;
  if (FHTTPReqQueue == nullptr || FHTTPConnectionId == 0 ||
      HttpQueryConnectionSendQueue(FHTTPReqQueue, FHTTPConnectionId, &queued, nullptr) != NO_ERROR)
    return 0;
  return queued;
}

void TlumWSConnection_HTTPAPI::ReceiveData() {
  const HTTP_REQUEST_ID id = HTTPRequestId();
  if (id == 0) return;
  TKeepAlive hold(*this);
  TlumHTTPAPIContext* context = NewHTTPAPIContext(mthReceiveRequestEntityBody, this);
  // A zero-byte receive: it completes once bytes are there, which are then read into room
  // taken only for that moment, so a waiting connection holds no read buffer.
  const ULONG result = HttpReceiveRequestEntityBody(FHTTPReqQueue, id, 0, nullptr, 0, nullptr,
                                                    &context->overlapped);
  if (result == NO_ERROR || result == ERROR_IO_PENDING) return;
  CallFailed(context, result);
}

void TlumWSConnection_HTTPAPI::WaitForDisconnect() {
  TKeepAlive hold(*this);
  TlumHTTPAPIContext* context = NewHTTPAPIContext(mthWaitForDisconnect, this);
  const ULONG result = HttpWaitForDisconnect(FHTTPReqQueue, FHTTPConnectionId, &context->overlapped);
  if (result == NO_ERROR || result == ERROR_IO_PENDING) {
    FWaitPosted.store(true, std::memory_order_release);
    return;
  }
  CallFailed(context, result);
}

bool TlumWSConnection_HTTPAPI::SendUpgradeResponse() {
  const HTTP_REQUEST_ID id = HTTPRequestId();
  auto pending = std::make_shared<TPendingResponse>();
  pending->Headers = JoinLines(FHeadersResponse);
  SetHeaders(pending->Response, pending->Headers, pending->Unknown);
  pending->Response.Version = FHTTPVersion;
  pending->Reason = "Switching Protocols";
  pending->Response.StatusCode = 101;
  pending->Response.pReason = pending->Reason.c_str();
  pending->Response.ReasonLength = static_cast<USHORT>(pending->Reason.size());
  TlumHTTPAPIContext* context = nullptr;
  if (FAsynchronous) {
    context = NewHTTPAPIContext(mthSendHttpResponse, this);
    context->payload = pending;
  }
  ULONG sent = 0;
  const ULONG result = id == 0 ? ERROR_CONNECTION_INVALID
                               : HttpSendHttpResponse(
                                     FHTTPReqQueue, id,
                                     HTTP_SEND_RESPONSE_FLAG_OPAQUE | HTTP_SEND_RESPONSE_FLAG_MORE_DATA,
                                     &pending->Response, nullptr, &sent, nullptr, 0,
                                     context != nullptr ? &context->overlapped : nullptr,
                                     FHTTPLogData);
  if (result != NO_ERROR && !(context != nullptr && result == ERROR_IO_PENDING)) {
    TKeepAlive hold(*this);
    FreeHTTPAPIContext(context);
    DisconnectOnError();
    return false;
  }
  SetEnabled(true);
  if (OnUpdate) OnUpdate(this, 1);
  ReceiveData();
  return true;
}

void TlumWSConnection_HTTPAPI::DoHandshake() {
  TlumWSConnectionServer_Base::DoHandshake();
  SendUpgradeResponse();
  WaitForDisconnect();
}

// ---------------------------------------------------------------------------------------
// TlumWSConnectionServer_HTTPAPI

TlumWSConnectionServer_HTTPAPI::TlumWSConnectionServer_HTTPAPI() = default;

TlumWSConnectionServer_HTTPAPI::~TlumWSConnectionServer_HTTPAPI() = default;

TlumWSHandShakeServer_Base& TlumWSConnectionServer_HTTPAPI::GetHandShake() {
  if (!FHandshake) FHandshake = std::make_unique<TlumWSHandShakeServer_HTTPAPI>(FHeadersRequest);
  return *FHandshake;
}

void TlumWSConnectionServer_HTTPAPI::DoHandshake() {
  try {
    TlumWSConnection_HTTPAPI::DoHandshake();
  } catch (const std::exception&) {
    DisconnectPeer();
    throw;
  }
}

void TlumWSConnectionServer_HTTPAPI::SendHTTPResponse(const std::vector<std::string>* aHeaders,
                                                      int aCode, std::string_view aContentType,
                                                      std::string_view aBody) {
  const HTTP_REQUEST_ID id = HTTPRequestId();
  if (id == 0) return;
  auto pending = std::make_shared<TPendingResponse>();
  HTTP_RESPONSE_V2& response = pending->Response;
  response.Version = {1, 1};
  pending->Unknown.reserve(64);
  if (aHeaders != nullptr) pending->Headers = JoinLines(*aHeaders);
  pending->Body.assign(aBody);
  pending->ContentType.assign(aContentType);
  SetStatus(response, aCode, pending->Reason);
  SetBody(response, pending->Chunk, pending->Body, pending->ContentType);
  // After the body, so that a "Content-Type:" line wins over aContentType.
  SetHeaders(response, pending->Headers, pending->Unknown);
  TlumHTTPAPIContext* context = nullptr;
  if (FAsynchronous) {
    context = NewHTTPAPIContext(mthSendHttpResponse, this);
    context->payload = pending;
  }
  ULONG sent = 0;
  const ULONG result = HttpSendHttpResponse(
      FHTTPReqQueue, id, HTTP_SEND_RESPONSE_FLAG_MORE_DATA | HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA,
      &response, nullptr, &sent, nullptr, 0, context != nullptr ? &context->overlapped : nullptr,
      FHTTPLogData);
  if (result == NO_ERROR || (context != nullptr && result == ERROR_IO_PENDING)) return;
  TKeepAlive hold(*this);
  FreeHTTPAPIContext(context);
  DisconnectOnError();
}

void TlumWSConnectionServer_HTTPAPI::SendHTTPStatus(int aCode, std::string_view /*aText*/) {
  const std::vector<std::string> headers{std::string(kServerLine)};
  SendHTTPResponse(&headers, aCode, {}, {});
}

void TlumWSConnectionServer_HTTPAPI::SendHTTPRedirect(std::string_view aURL) {
  const std::vector<std::string> headers{"HTTP/1.1 302 Moved Temporarily", "Connection: close",
                                         "Location: " + std::string(aURL),
                                         std::string(kServerLine), ""};
  SendHTTPResponse(&headers, 302, {}, {});
}

void TlumWSConnectionServer_HTTPAPI::SendHTTPContent(std::string_view aContent,
                                                     std::string_view aContentType) {
  const std::vector<std::string> headers{"HTTP/1.1 200 OK", "Cache-Control: no-cache",
                                         "Content-Type: " + std::string(aContentType),
                                         std::string(kServerLine)};
  SendHTTPResponse(&headers, 200, aContentType, aContent);
}

void TlumWSConnectionServer_HTTPAPI::SendHTTPUnauthorized() {
  const std::vector<std::string> headers{"HTTP/1.1 401 Unauthorized",
                                         "Cache-Control: no-cache",
                                         "Content-Type: text/html; charset=utf-8",
                                         std::string(kServerLine),
                                         "WWW-Authenticate: Basic realm=\"Quillon 4.4.6\"",
                                         ""};
  SendHTTPResponse(&headers, 401, "text/html",
                   "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
}

void TlumWSConnectionServer_HTTPAPI::SendResponseText(std::string_view aText,
                                                      const THttpServerResponse& aResponse) {
  std::vector<std::string> headers{"HTTP/1.1 200 OK"};
  if (!aResponse.CacheControl.empty()) headers.push_back("Cache-Control: " + aResponse.CacheControl);
  if (!aResponse.ContentType.empty()) headers.push_back("Content-Type: " + aResponse.ContentType);
  // Dates up to 1900-01-01 00:00 mean "never set".
  static const TDateTime k1900 = std::chrono::system_clock::from_time_t(-2208988800);
  if (aResponse.LastModified && *aResponse.LastModified > k1900)
    headers.push_back("Last-Modified: " + detail::FormatHTTPDate(*aResponse.LastModified));
  headers.emplace_back(kServerLine);
  SendHTTPResponse(&headers, 200, aResponse.ContentType, aText);
}

void TlumWSConnectionServer_HTTPAPI::SendResponseStream(std::istream& aStream,
                                                        const THttpServerResponse& aResponse) {
  const std::string body{std::istreambuf_iterator<char>(aStream), std::istreambuf_iterator<char>()};
  SendResponseText(body, aResponse);
}

void SendHTTPText(TlumWSConnectionServer_HTTPAPI& aConnection, std::string_view aText,
                  std::string_view aContentType) {
  aConnection.SendHTTPContent(aText, aContentType);
}

}  // namespace quillon
