// Test fixture: a web request and response over the bridge's adapters without a connection,
// so that what a dispatch sets can be read back from the response record.
#pragma once

#include <memory>
#include <string>

#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"

namespace quillon::test {

struct TWebExchange {
  std::unique_ptr<TlumWebRequestHTTPAPI> Request;
  std::unique_ptr<TlumWebResponseHTTPAPI> Response;

  // The body as SendResponse would send it: the text, else the stream copy.
  std::string Body() const {
    const THttpServerResponse& r = Response->Record();
    if (!r.ContentText.empty() || r.ContentStream == nullptr) return r.ContentText;
    r.ContentStream->clear();
    r.ContentStream->seekg(0);
    return {std::istreambuf_iterator<char>(*r.ContentStream), {}};
  }
};

inline TWebExchange NewExchange(const std::string& aMethod, const std::string& aDocument,
                                const std::string& aHeaders = "", const std::string& aBody = "") {
  THttpServerRequest r;
  r.Method = aMethod;
  r.Document = aDocument;
  r.Headers = aHeaders;
  r.Content = aBody;
  r.ContentLength = static_cast<std::int32_t>(aBody.size());
  TWebExchange e;
  e.Request = std::make_unique<TlumWebRequestHTTPAPI>(nullptr, r, THttpServerResponse{});
  e.Response = std::make_unique<TlumWebResponseHTTPAPI>(nullptr, e.Request.get(), THttpServerResponse{});
  return e;
}

}  // namespace quillon::test
