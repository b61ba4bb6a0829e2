// The bridge server: the HTTP Server API server component whose plain HTTP requests go
// first to OnCommandRequest and otherwise to a web module, through adapters that present
// one request and its answer to the web-module framework. The module comes from the
// process-wide handler's pool, or, after RegisterWebModuleClass, is made for each request.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bridge/lumWebSocket_Server_Base_WebBrokerBridge.h"
#include "server/lumWebSocket_Server_HTTPAPI.h"

namespace quillon {

// The request of one connection. Holds copies of both records; reads the connection (which
// it does not own) only while the request is being handled. A null connection reads as a
// peer without address or ports.
class TlumWebRequestHTTPAPI : public TlumWebRequest {
 public:
  TlumWebRequestHTTPAPI(TlumWSConnectionServer_HTTPAPI* aConnection, THttpServerRequest aRequest,
                        THttpServerResponse aResponse);
  ~TlumWebRequestHTTPAPI() override;

  std::string GetStringVariable(int Index) override;
  int WriteClient(const void* Buffer, int Count) override;
  bool WriteString(const std::string& AString) override;
  bool WriteHeaders(int StatusCode, const std::string& ReasonString, const std::string& Headers) override;
  std::string GetFieldByName(const std::string& Name) override;

  const THttpServerRequest& Record() const { return FRequest; }
  // A direct write (WriteClient, WriteString) answered the request.
  bool Written() const { return FWritten; }

 private:
  TlumWSConnectionServer_HTTPAPI* FConnection;
  bool FWritten = false;
  THttpServerRequest FRequest;
  THttpServerResponse FResponse;
};

// The answer of one connection: what the module sets is kept in a response record; a send
// hands it to the connection. SendResponse answers with the status the module set (200 when
// none), its content type (HTML by default), Cache-Control, Last-Modified, and the custom
// header lines (names that are not header tokens, values with line breaks, and the framing
// headers the engine writes itself are left out), with the text, else the stream, as body.
class TlumWebResponseHTTPAPI : public TlumWebResponse {
 public:
  TlumWebResponseHTTPAPI(TlumWSConnectionServer_HTTPAPI* aConnection, TWebRequest* aRequest,
                         THttpServerResponse aResponse);
  ~TlumWebResponseHTTPAPI() override;

  std::string GetStringVariable(int Index) override;
  void SetStringVariable(int Index, const std::string& Value) override;
  // Dates are kept in local time (the value plus the zone's current offset from UTC);
  // -1 passes unchanged. Raises "Failed attempting to retrieve time zone information."
  // when the zone cannot be read.
  TWebDateTime GetDateVariable(int Index) override;
  void SetDateVariable(int Index, TWebDateTime Value) override;
  std::int64_t GetIntegerVariable(int Index) override;
  void SetIntegerVariable(int Index, std::int64_t Value) override;
  std::string GetContent() override { return FResponse.ContentText; }
  void SetContent(const std::string& Value) override { FResponse.ContentText = Value; }
  void SetContentStream(std::unique_ptr<std::istream> Value) override;
  int GetStatusCode() override { return FResponse.ResponseNo; }
  void SetStatusCode(int Value) override { FResponse.ResponseNo = Value; }
  void SendResponse() override;
  void SendRedirect(const std::string& URI) override;
  void SendStream(std::istream& AStream) override;
  // Also true after a direct write through the request: the request has its answer then, and
  // the framework must not send a second one.
  bool Sent() override;

  const THttpServerResponse& Record() const { return FResponse; }
  // The header lines SendResponse sends, in order.
  std::vector<std::string> ResponseHeaderLines();

 private:
  std::string Header(std::string_view aName) const;
  void AddHeader(std::string_view aName, const std::string& aValue);

  TlumWSConnectionServer_HTTPAPI* FConnection;
  THttpServerResponse FResponse;
  std::unique_ptr<TlumStringStream> FContentCopy;
};

class TlumWebBrokerBridgeRequestHandlerHTTPAPI : public TlumWebBrokerBridgeRequestHandler {
 public:
  using TlumWebBrokerBridgeRequestHandler::TlumWebBrokerBridgeRequestHandler;
};

// The process-wide handler, made on first use; installed as the framework's accessor.
TlumWebBrokerBridgeRequestHandlerHTTPAPI* GetWebBrokerBridgeRequestHandler();

using TlumWSHTTPAPICommandRequestEvent =
    std::function<void(TlumWSConnection_HTTPAPI* aConnection, const THttpServerRequest& aRequestInfo,
                       THttpServerResponse& aResponseInfo, bool& aHandled)>;

class TlumWSServer_HTTPAPI_WebBrokerBridge : public TlumWSServer_HTTPAPI {
 public:
  TlumWSServer_HTTPAPI_WebBrokerBridge() = default;
  ~TlumWSServer_HTTPAPI_WebBrokerBridge() override { StopForDestruction(); }

  // With a class, each request gets a module of its own instead of a pooled one.
  void RegisterWebModuleClass(TComponentClass AClass) { FWebModuleClass = std::move(AClass); }
  int DefaultPort() { return Port(); }
  void SetDefaultPort(int Value) { SetPort(Value); }

  // OnCommandRequest, then the web module. An error that leaves it (no module class, all
  // modules busy, a failing own module) is answered 503 or 500 first when nothing was sent.
  void DoHTTPRequest(TlumWSConnectionServer_HTTPAPI* aConnection, const THttpServerRequest& aRequest,
                     THttpServerResponse& aResponse) override;
  virtual void DoWebModuleRequest(TlumWSConnectionServer_HTTPAPI* aConnection,
                                  const THttpServerRequest& aRequestInfo, THttpServerResponse& aResponseInfo);

  TlumWSHTTPAPICommandRequestEvent OnCommandRequest;

 private:
  TComponentClass FWebModuleClass;
};

}  // namespace quillon
