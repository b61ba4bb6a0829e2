// The server side of a connection: the opening handshake (header checks, sub-protocol
// choice, origin masks, extension negotiation, the 101 lines), the authentication state
// and its event. The transport that sends the answer derives from it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "connection/lumWebSocket_Classes_Indy.h"
#include "connection/lumWebSocket_Handshake.h"

namespace quillon {

// Authentication state of one server connection; SessionID is made on its first read.
class TlumWSConnectionAuthentication {
 public:
  bool Authenticated = false;
  TwsAuthentication AuthType = authNone;
  std::string Password;
  std::string User;
  const std::string& SessionID();
  void SetSessionID(std::string Value) { FSessionID = std::move(Value); }

 private:
  std::string FSessionID;
};

class TlumWSConnectionServer_Base : public TlumWSConnection_Base_Indy {
 public:
  // Called by the request classifier before it examines a request; nothing by default.
  virtual void DoBeforeClassify() {}
  // The parsed upgrade request, made from HeadersRequest on the first read; a parse error
  // raises from here.
  TlumWSHandShakeServer_Base& HandShake() { return GetHandShake(); }
  virtual TlumWSHandShakeServer_Base& GetHandShake() = 0;
  // The offered extensions to the extension set.
  virtual void DoDecodeExtensions();
  // Raises "Origin %s not allowed" unless the origin matches an allowed mask.
  virtual void DoCheckOrigin();
  // Raises OnAuthentication with the record's user and password; stores the answer.
  virtual bool DoAuthentication();
  virtual void SendHTTPUnauthorized() = 0;
  const std::string& GetURL() override { return FURL; }
  // Validates the request and builds the 101 answer lines in HeadersResponse.
  void DoHandshake() override;

  // The first client sub-protocol that the server's list (Protocol) holds, spelled as
  // the client sent it; empty when the client offers none.
  std::string NegotiateProtocol();
  void WriteHandshakeResponse();

  TlumWSConnectionAuthentication& Authentication();
  int AuthenticationCloseCode() const { return FAuthenticationCloseCode; }
  void SetAuthenticationCloseCode(int aCloseCode) { FAuthenticationCloseCode = aCloseCode; }
  bool CustomHeartBeat() const { return FCustomHeartBeat; }
  void SetCustomHeartBeat(bool Value) { FCustomHeartBeat = Value; }
  const std::string& ServerOriginsAllowed() const { return FServerOriginsAllowed; }
  void SetServerOriginsAllowed(std::string Value) { FServerOriginsAllowed = std::move(Value); }

  TlumWSAuthenticationEvent OnAuthentication;

 protected:
  ~TlumWSConnectionServer_Base() override;

  std::unique_ptr<TlumWSConnectionAuthentication> FAuthentication;
  std::once_flag FAuthenticationOnce;
  int FAuthenticationCloseCode = 1000;
  bool FCustomHeartBeat = false;
  std::string FServerOriginsAllowed;
};

}  // namespace quillon
