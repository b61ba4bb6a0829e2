// The server side of the WebSocket opening handshake as data: the header lines of an
// upgrade request parsed and checked (TlumWSHandShakeServer_Base), and the accept key.
// Choosing the sub-protocol, checking the origin and writing the 101 lines is done by the
// connection (lumWebSocket_Classes_Server.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "connection/lumWebSocket_Classes.h"

namespace quillon {

class TlumWSHandshake_Base {
 public:
  virtual ~TlumWSHandshake_Base() = default;
  const std::string& Protocols() const { return FProtocols; }  // Sec-WebSocket-Protocol
  const std::string& Extensions() const { return FExtensions; }  // Sec-WebSocket-Extensions

 protected:
  std::string FProtocols;
  std::string FExtensions;
};

class TlumWSHandshake : public TlumWSHandshake_Base {};

class TlumWSHandShakeServer_Base : public TlumWSHandshake {
 public:
  // Parses at once; raises TlumWSException ("Error Decoding Header: ...") on a bad line.
  explicit TlumWSHandShakeServer_Base(const std::vector<std::string>& aHeaders);

  const std::string& Get() const { return FGet; }
  const std::string& Host() const { return FHost; }
  const std::string& Origin() const { return FOrigin; }
  const std::string& Key() const { return FKey; }
  const std::string& Version() const { return FVersion; }
  // Draft 76 keys are never filled: always spRFC6455.
  TwsSpecification Specification() const { return FKey1.empty() ? spRFC6455 : spHixie76; }

  bool IsConnection() const { return FIsConnection; }
  bool IsGET() const { return FIsGET; }
  bool IsHost() const { return FIsHost; }
  bool IsKey() const { return FIsKey; }
  bool IsOrigin() const { return FIsOrigin; }
  bool IsProtocols() const { return FIsProtocols; }
  bool IsUpgrade() const { return FIsUpgrade; }
  bool IsVersion() const { return FIsVersion; }
  bool IsExtensions() const { return FIsExtensions; }

 private:
  std::string FGet, FHost, FOrigin, FKey, FVersion;
  bool FIsConnection = false, FIsGET = false, FIsHost = false, FIsKey = false, FIsOrigin = false,
       FIsProtocols = false, FIsUpgrade = false, FIsVersion = false, FIsExtensions = false,
       FIsKey1 = false, FIsKey2 = false;
  std::string FKey1, FKey2, FKey3;
};

// Base64 of the SHA-1 of the key (as received) and the WebSocket GUID.
std::string GetWSAccept(std::string_view aKey);

}  // namespace quillon
