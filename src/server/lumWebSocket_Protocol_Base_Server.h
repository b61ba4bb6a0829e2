// Sub-protocol and API objects: application objects that a server hands the events of
// matching connections to, instead of raising its own. A protocol object serves the
// connections whose negotiated sub-protocol equals its name, and answers protocol posts
// ("/lum/protocol/<name>/<argument>"); an API object serves connections without a
// sub-protocol. The routing rules are the server's (lumWebSocket_Server_Base.h).
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "connection/lumWebSocket_Classes.h"

namespace quillon {

class TlumWSServer_Base;

// Every handler defaults to doing nothing, so an object overrides only what it serves.
// Handlers run on the thread that raised the event (the server's notification mode).
class TlumWSEventsObject_Base {
 public:
  virtual ~TlumWSEventsObject_Base() = default;

  virtual void DoConnect(TlumWSConnection* /*aConnection*/) {}
  virtual void DoDisconnect(TlumWSConnection* /*aConnection*/, int /*aCode*/) {}
  virtual void DoMessage(TlumWSConnection* /*aConnection*/, const std::string& /*aText*/) {}
  virtual void DoBinary(TlumWSConnection* /*aConnection*/, TBytesView /*aData*/) {}
  virtual void DoFragmented(TlumWSConnection* /*aConnection*/, TBytesView /*aData*/,
                            TOpcode /*aOpCode*/, bool /*aContinuation*/) {}
  virtual void DoError(TlumWSConnection* /*aConnection*/, const std::string& /*aError*/) {}
  virtual void DoException(TlumWSConnection* /*aConnection*/, const std::exception& /*E*/) {}

  // Set by the server on registration.
  TlumWSServer_Base* Server() const { return FServer; }
  void SetServer(TlumWSServer_Base* aServer) { FServer = aServer; }

 private:
  TlumWSServer_Base* FServer = nullptr;
};

class TlumWSProtocol_Base_Server : public TlumWSEventsObject_Base {
 public:
  explicit TlumWSProtocol_Base_Server(std::string aName) : FName(std::move(aName)) {}

  // The sub-protocol name; compared without letter case.
  const std::string& Name() const { return FName; }

  // A protocol post: the argument is the path after the name, the body the posted text.
  // The result is sent back as a 200 "text/html" answer.
  virtual std::string DoProtocolPost(TlumWSConnection* /*aConnection*/,
                                     const std::string& /*aArgument*/,
                                     const std::string& /*aBody*/) {
    return {};
  }

 private:
  std::string FName;
};

class TlumWSAPI_Base_Server : public TlumWSEventsObject_Base {
 public:
  // True when the component's own events are raised as well as this object's.
  virtual bool RawMessages() const { return false; }
};

}  // namespace quillon
