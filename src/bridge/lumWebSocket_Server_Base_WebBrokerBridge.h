// The transport-free half of the bridge to the web-module framework: the request adapter's
// body stream and the parts of its properties that need no connection, the response
// adapter's "sent" state, and the bridge's request handler (the framework's module pool,
// which also becomes the process-wide handler of component errors).
#pragma once

#include <memory>
#include <sstream>
#include <string>

#include "platform/webbroker/Web_HTTPApp.h"
#include "platform/webbroker/Web_WebReq.h"

namespace quillon {

// A byte stream read as text of the system's 8-bit code page; on this platform text is
// UTF-8 and the bytes pass through unchanged.
using TlumStringStream = std::stringstream;

class TlumWebRequest : public TWebRequest {
 public:
  ~TlumWebRequest() override = default;

  // The whole body, read from its start; the stream's position is kept.
  std::string GetRawContent() override;
  // Indexes 7, 11, 19: -1 for an empty header, else the parsed HTTP date.
  TWebDateTime GetDateVariable(int Index) override;
  // Indexes 16, 24: the decimal value of the string of that index, -1 when not a number.
  std::int64_t GetIntegerVariable(int Index) override;
  int ReadClient(void* Buffer, int Count) override;
  // Count bytes from the current position; Count <= 0 gives the whole body from its start.
  // Fewer bytes left than Count raises "Stream read error".
  std::string ReadString(int Count) override;
  std::string TranslateURI(const std::string& URI) override { return URI; }

 protected:
  std::unique_ptr<TlumStringStream> FContentStream;
};

class TlumWebResponse : public TWebResponse {
 public:
  using TWebResponse::TWebResponse;

  TWebDateTime GetDateVariable(int /*Index*/) override { return 0; }
  void SetDateVariable(int /*Index*/, TWebDateTime /*Value*/) override {}
  std::string GetLogMessage() override { return {}; }
  void SetLogMessage(const std::string& /*Value*/) override {}
  void SendResponse() override { FSent = true; }
  void SendRedirect(const std::string& /*URI*/) override { FSent = true; }
  bool Sent() override { return FSent; }

 protected:
  bool FSent = false;
};

class TlumWebBrokerBridgeRequestHandler : public TWebRequestHandler {
 public:
  explicit TlumWebBrokerBridgeRequestHandler(TComponent* AOwner = nullptr);
  ~TlumWebBrokerBridgeRequestHandler() override;
};

}  // namespace quillon
