// The connection over the HTTP Server API: attachment to one received request, the request
// header list, the plain-HTTP request record and canned answers, the upgrade to an opaque
// byte stream, overlapped reads through the worker pool, writes (synchronous or through
// request contexts) and the disconnect. Framing and events are inherited; the server that
// creates, lists and frees connections is not here.
//
// Lifetime: the creator's reference belongs to whoever lists the connection (the server);
// every outstanding receive, wait, disconnecting send or asynchronous send holds one more, so
// the object outlives its last completion. The end of the HTTP connection is reported once:
// whoever would remove and free the connection (DoDisconnected's OnDisconnect, or the server's
// handler of a completed wait or disconnecting send) first wins ClaimDisconnect.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "connection/lumWebSocket_Classes_Server.h"
#include "connection/lumWebSocket_Handshake.h"
#include "httpapi/lumWebSocket_HTTPAPI.h"

namespace quillon {

struct TlumHTTPAPIContext;

class TlumWSHandShake_HTTPAPI : public TlumWSHandShakeServer_Base {
 public:
  using TlumWSHandShakeServer_Base::TlumWSHandShakeServer_Base;
};

class TlumWSHandShakeServer_HTTPAPI : public TlumWSHandShake_HTTPAPI {
 public:
  using TlumWSHandShake_HTTPAPI::TlumWSHandShake_HTTPAPI;
};

class TlumWSConnection_HTTPAPI : public TlumWSConnectionServer_Base {
 public:
  TlumWSConnection_HTTPAPI();

  // ---- Attachment (set by the dispatch, in this order, before anything else runs). ----
  HANDLE HTTPReqQueue() const { return FHTTPReqQueue; }
  void SetHTTPReqQueue(HANDLE Value) { FHTTPReqQueue = Value; }
  // Valid only while the dispatch runs: the pool frees the record when it returns. The
  // dispatch clears it (SetHTTPRequest(nullptr)) before it lets go of the connection.
  HTTP_REQUEST_V2* HTTPRequest() const { return FHTTPRequest; }
  void SetHTTPRequest(HTTP_REQUEST_V2* Value) { FHTTPRequest = Value; }
  // Non-zero exactly while attached. Attaching copies peer and local address, ports, URL
  // and HTTP version out of the request record; 0 detaches.
  HTTP_REQUEST_ID HTTPRequestId() const { return FHTTPRequestId.load(std::memory_order_acquire); }
  void SetHTTPRequestId(HTTP_REQUEST_ID Value);
  HTTP_CONNECTION_ID HTTPConnectionId() const { return FHTTPConnectionId; }
  void SetHTTPConnectionId(HTTP_CONNECTION_ID Value) { FHTTPConnectionId = Value; }
  PHTTP_LOG_DATA HTTPLogData() const { return FHTTPLogData; }
  void SetHTTPLogData(PHTTP_LOG_DATA Value) { FHTTPLogData = Value; }
  HANDLE iocompletition() const { return FIOCompletition; }
  void Setiocompletition(HANDLE Value) { FIOCompletition = Value; }
  // Sends pass a request context and complete on the pool.
  bool Asynchronous() const { return FAsynchronous; }
  void SetAsynchronous(bool Value) { FAsynchronous = Value; }
  // Backpressure: bytes written to this connection that the client has not taken yet (0 when
  // detached), and whether they pass the high-water mark, above which a sender should hold
  // back before the engine's send-queue cap drops a client that does not read.
  std::uint64_t BufferedAmount() const;
  std::uint64_t SendHighWater() const { return FSendHighWater; }
  void SetSendHighWater(std::uint64_t Value) { FSendHighWater = Value; }
  bool AboveHighWater() const { return BufferedAmount() > FSendHighWater; }

  // Builds HeadersRequest from the request record: the request line (method text, raw URL,
  // always " HTTP/1.1"), then one "Name: value" line per header.
  void DoReadHeaders();
  // The plain-HTTP request record, body read synchronously; only during the dispatch.
  THttpServerRequest GetHttpServerRequest();

  // ---- Transport. ----
  bool GetActive() override { return HTTPRequestId() != 0; }
  bool HasPeer() override { return HTTPRequestId() != 0; }
  std::string GetIP() override;
  std::string GetLocalIP() override;
  int GetLocalPort() override;
  int GetPort() override;
  // Ends the HTTP connection (a disconnecting send), at most once and only while attached.
  void DisconnectPeer() override;
  void WriteBytes(std::string_view aBytes) override;
  // Gathered with the other answers of a read round, or sent as two pieces of one send.
  void WriteFrameBytes(std::string_view aHeader, std::string_view aPayload) override;
  // An asynchronous send keeps a reference to the shared frame instead of a copy.
  void WriteSharedBytes(const TlumSharedFrame& aFrame) override;
  void WriteFrameText(std::string_view aText, TOpcode aOpCode, bool aFragmented) override;
  // The first call (not yet enabled) runs the handshake; later calls run the frame reader
  // and post the next receive.
  void ReadData(bool aRequireMask) override;
  // A receive of this connection completed (worker thread).
  void DoReadData(DWORD aBytesReceived) override;
  // After the close frame the HTTP connection is ended too, so that the client sees the
  // server close the TCP connection instead of waiting for a reply we never read.
  void Close() override { Close(1000); }
  void Close(int aCloseCode) override;

  virtual void WaitForDisconnect();
  virtual void ReceiveData();
  // After a zero-byte receive completed: reads what is waiting into the input buffer; false
  // when the stream has ended.
  bool ReceiveAvailable();
  // The HTTP connection is lost: mark disconnected, end it if still open, detach, and raise
  // OnDisconnect unless a pending disconnect wait is left to report it.
  virtual void DoDisconnected();
  // Sends the 101 (opaque) and starts reading; false when the send failed.
  bool SendUpgradeResponse();

  // True for exactly one caller: the one that removes the connection from its server and
  // frees it.
  bool ClaimDisconnect() { return !FDisconnectClaimed.exchange(true, std::memory_order_acq_rel); }
  bool WaitPosted() const { return FWaitPosted.load(std::memory_order_acquire); }

  TlumWSDisconnectEvent OnDisconnect;

 protected:
  ~TlumWSConnection_HTTPAPI() override;

  void DoHandshake() override;
  // The disconnecting send itself; at most once. Returns the API result (0 when not sent).
  ULONG SendDisconnect();

  HANDLE FHTTPReqQueue = nullptr;
  std::atomic<HTTP_REQUEST_ID> FHTTPRequestId{0};
  HTTP_CONNECTION_ID FHTTPConnectionId = 0;
  std::uint64_t FSendHighWater = 1u << 20;
  HTTP_REQUEST_V2* FHTTPRequest = nullptr;
  PHTTP_LOG_DATA FHTTPLogData = nullptr;
  HANDLE FIOCompletition = nullptr;
  bool FAsynchronous = false;
  HTTP_VERSION FHTTPVersion{1, 1};

 private:
  // After a call the engine refused: frees its context (may be null) and ends the connection,
  // quietly when the client was already gone.
  void CallFailed(TlumHTTPAPIContext* aContext, ULONG aResult);
  // One entity-body send of aBytes; aOwned (asynchronous sends) keeps them alive until done.
  void SendChunk(std::string_view aBytes, std::shared_ptr<const std::string> aOwned);
  // One entity-body send of pieces the call copies before it returns (BUFFER_DATA).
  void SendPieces(const std::string_view* aPieces, int aCount);
  // Sends what the reader gathered; under the write lock.
  void SendGathered();

  // While the reader runs, the frames its own thread writes (the answers to what it read)
  // are gathered and leave in one send when it is done; under the write lock.
  std::string FGather;
  std::atomic<std::thread::id> FGatherThread{};

  std::atomic<bool> FDisconnectSent{false};
  std::atomic<bool> FWaitPosted{false};
  std::atomic<bool> FDisconnectClaimed{false};
};

class TlumWSConnectionServer_HTTPAPI : public TlumWSConnection_HTTPAPI {
 public:
  TlumWSConnectionServer_HTTPAPI();

  TlumWSHandShakeServer_Base& GetHandShake() override;
  void DoBeforeClassify() override {}

  // Answers to plain HTTP requests. None ends the HTTP connection: DisconnectPeer does.
  void SendHTTPStatus(int aCode, std::string_view aText) override;
  void SendHTTPRedirect(std::string_view aURL) override;
  void SendHTTPContent(std::string_view aContent, std::string_view aContentType) override;
  void SendHTTPUnauthorized() override;
  // Status 200 described by the record's CacheControl, ContentType and LastModified.
  void SendResponseStream(std::istream& aStream, const THttpServerResponse& aResponse);
  void SendResponseText(std::string_view aText, const THttpServerResponse& aResponse);
  // The one send all of them end in: header lines (a line without a colon is not sent; a
  // "Content-Type:" line replaces aContentType), status with its reason phrase, body.
  void SendHTTPResponse(const std::vector<std::string>* aHeaders, int aCode,
                        std::string_view aContentType, std::string_view aBody);

 protected:
  ~TlumWSConnectionServer_HTTPAPI() override;
  // The handshake, the 101 and the first read; on an error the HTTP connection is ended
  // before the error goes on to the dispatch (no status line is sent).
  void DoHandshake() override;

 private:
  std::unique_ptr<TlumWSHandShakeServer_HTTPAPI> FHandshake;
};

// Sends aText as a 200 answer with aContentType.
void SendHTTPText(TlumWSConnectionServer_HTTPAPI& aConnection, std::string_view aText,
                  std::string_view aContentType);

namespace detail {
// "Sun, 06 Nov 1994 08:49:37 GMT" of the time point, as it is (no zone conversion).
std::string FormatHTTPDate(TDateTime aTime);
// Text form of a socket address: dotted IPv4, standard IPv6; empty for anything else.
std::string SocketAddressText(const sockaddr* aAddress);
// Port of a socket address in host order; 0 for anything else.
int SocketAddressPort(const sockaddr* aAddress);
}  // namespace detail

}  // namespace quillon
