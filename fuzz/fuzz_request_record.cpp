// The request record made from a received request: percent escapes ("%XX", "%uXXXX" and
// surrogate pairs) in the document and query, the verb, the Content-Length and the known
// headers. The input is "verb\nraw URL\n" then one "id value" line per known header. No
// request queue: a body cannot be read, which the record must survive too.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "httpapi/lumWebSocket_HTTPAPI.h"
#include "platform/httpapi/http.h"

using namespace quillon;

namespace {

std::string_view Line(std::string_view& aText) {
  const std::size_t nl = aText.find('\n');
  const std::string_view line = aText.substr(0, nl);
  aText = nl == std::string_view::npos ? std::string_view() : aText.substr(nl + 1);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  std::string_view text(reinterpret_cast<const char*>(aData), aSize);
  if (text.size() > 0xFFFF) return 0;  // lengths in the record are 16-bit
  const std::string_view verb = Line(text);
  const std::string_view url = Line(text);

  HTTP_REQUEST_V2 request{};
  request.RequestId = 1;
  request.Verb = HttpVerbUnknown;
  for (int v = HttpVerbOPTIONS; v < HttpVerbMaximum; ++v) {
    if (verb == std::to_string(v)) request.Verb = static_cast<HTTP_VERB>(v);
  }
  request.pUnknownVerb = verb.data();
  request.UnknownVerbLength = static_cast<USHORT>(verb.size());
  request.pRawUrl = url.data();
  request.RawUrlLength = static_cast<USHORT>(url.size());
  while (!text.empty()) {
    const std::string_view line = Line(text);
    if (line.empty()) continue;
    const int id = static_cast<unsigned char>(line.front()) % HttpHeaderRequestMaximum;
    HTTP_KNOWN_HEADER& header = request.Headers.KnownHeaders[id];
    header.pRawValue = line.data() + 1;
    header.RawValueLength = static_cast<USHORT>(line.size() - 1);
  }
  try {
    const THttpServerRequest info = GetHttpServerRequest(request, nullptr, request.RequestId);
    FUZZ_CHECK(info.ContentLength >= 0);
    // Decoding never makes a text longer than its escapes: "%uXXXX" (6) gives at most 3
    // bytes, a pair (12) 4, "%XX" (3) one.
    FUZZ_CHECK(info.Document.size() + info.QueryParams.size() <= url.size());
    FUZZ_CHECK(info.Content.size() <= static_cast<std::size_t>(info.ContentLength));
  } catch (const TlumWSRequestTooLarge&) {
    // a length beyond 2^31-1: refused
  }
  return 0;
}
