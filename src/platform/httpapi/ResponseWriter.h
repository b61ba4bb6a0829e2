// Turns an HTTP_RESPONSE_V2 into the bytes of a status line and header block, and decides how
// the body is delimited and whether the connection stays open. Pure; the connection writes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/httpapi/http.h"

namespace quillon::platform::detail {

enum class Delimit {
  NoBody,      // 1xx (not 101 opaque), 204, 304, or a HEAD request
  Length,      // Content-Length, ours for whole responses or the caller's
  AppChunked,  // the caller set Transfer-Encoding and frames the body itself
  Close,       // no length: the body ends when the connection closes
  Opaque,      // 101 with OPAQUE: a raw byte stream both ways from now on
};

struct ResponseContext {
  USHORT requestMinor = 1;      // HTTP/1.0 or 1.1
  bool headRequest = false;
  bool clientKeepAlive = true;  // what the request asked for
};

struct ResponsePlan {
  Delimit delimit = Delimit::Length;
  std::uint64_t bodyLength = 0;  // for Length: bytes the body will have
  bool keepAlive = false;        // the connection stays open once the response is complete
  bool final = true;             // no MORE_DATA: the response is complete after this send
};

// Appends the head to `out`. `firstChunkBytes` is the size of the entity chunks passed with
// the response. ERROR_INVALID_PARAMETER for a record that cannot be written safely (status
// out of range, CR or LF inside a reason, name or value, response info entries).
ULONG BuildResponseHead(const HTTP_RESPONSE_V2& response, ULONG flags,
                        const ResponseContext& context, std::uint64_t firstChunkBytes,
                        std::string& out, ResponsePlan& plan);

// The engine's own answer (404, 400, 503 ...): a complete response with a short HTML body.
std::string EngineResponse(int status, bool keepAlive);

// Reason phrase of the engine's own answers.
const char* ReasonPhrase(int status);

// "Sun, 06 Nov 1994 08:49:37 GMT" for now, cached per second.
std::string_view HttpDateNow();

}  // namespace quillon::platform::detail
