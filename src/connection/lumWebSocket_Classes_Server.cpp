// TlumWSConnectionServer_Base: the server's opening handshake.
#include "connection/lumWebSocket_Classes_Server.h"

#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "platform/win32/Guid.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

const std::string& TlumWSConnectionAuthentication::SessionID() {
  if (FSessionID.empty()) FSessionID = platform::NewGuidHex32();
  return FSessionID;
}

TlumWSConnectionServer_Base::~TlumWSConnectionServer_Base() = default;

TlumWSConnectionAuthentication& TlumWSConnectionServer_Base::Authentication() {
  std::call_once(FAuthenticationOnce,
                 [this] { FAuthentication = std::make_unique<TlumWSConnectionAuthentication>(); });
  return *FAuthentication;
}

bool TlumWSConnectionServer_Base::DoAuthentication() {
  TlumWSConnectionAuthentication& auth = Authentication();
  bool authenticated = auth.Authenticated;
  if (OnAuthentication) OnAuthentication(this, auth.User, auth.Password, authenticated);
  auth.Authenticated = authenticated;
  return authenticated;
}

std::string TlumWSConnectionServer_Base::NegotiateProtocol() {
  const std::string& offered = HandShake().Protocols();
  if (offered.empty()) return {};
  const std::vector<std::string> server = SplitDelimited(FProtocol);
  const std::vector<std::string> client = SplitDelimited(offered);
  for (const std::string& name : client) {
    for (const std::string& ours : server) {
      if (SameText(name, ours)) return name;
    }
  }
  std::string names;
  for (const std::string& name : client) names += name + "\r\n";
  throw TlumWSException("Error Protocol: " + names + " not supported.");
}

void TlumWSConnectionServer_Base::DoCheckOrigin() {
  const std::string& origin = HandShake().Origin();
  if (origin.empty()) return;
  for (const std::string& mask : SplitDelimited(FServerOriginsAllowed)) {
    if (MatchesMask(origin, mask)) return;
  }
  throw TlumWSException("Origin " + origin + " not allowed");
}

void TlumWSConnectionServer_Base::DoDecodeExtensions() {
  FExtensions->DecodeExtensions(HandShake().Extensions());
}

void TlumWSConnectionServer_Base::WriteHandshakeResponse() {
  FHeadersResponse.emplace_back("HTTP/1.1 101 Switching Protocols");
  FHeadersResponse.emplace_back("Upgrade: websocket");
  FHeadersResponse.emplace_back("Connection: Upgrade");
  if (!FProtocol.empty()) FHeadersResponse.push_back("Sec-WebSocket-Protocol: " + FProtocol);
  FHeadersResponse.push_back("Sec-WebSocket-Accept: " + GetWSAccept(HandShake().Key()));
  FHeadersResponse.emplace_back("Server: Quillon 4.4.6");
  FExtensions->WriteHeader(FHeadersResponse);
}

void TlumWSConnectionServer_Base::DoHandshake() {
  FState = 0;
  FSpecification = HandShake().Specification();
  FProtocol = NegotiateProtocol();
  FHeadersResponse.clear();
  if (!FServerOriginsAllowed.empty()) DoCheckOrigin();
  DoDecodeExtensions();
  if (FSpecification == spRFC6455) {
    if (Transport() == trpUndefined) SetTransport(trpRFC6455);
    WriteHandshakeResponse();
  }
  if (OnHandshake) OnHandshake(this, FHeadersResponse);
}

}  // namespace quillon
