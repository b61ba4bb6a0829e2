// The host's side of the HTTP Server API records: the response helpers that turn text (status,
// header lines, body) into an HTTP_RESPONSE_V2 without copying, and the records that describe a
// plain HTTP request and its answer to the rest of the library. Not a connection: sending and
// the connection's own response operations live with the connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/httpapi/http.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

using TDateTime = std::chrono::system_clock::time_point;

// The "Server" header value, the Basic realm and the log software name.
inline constexpr char lumServerName[] = "Quillon 4.4.6";

// A plain HTTP request, filled once by GetHttpServerRequest. Text is UTF-8 (bytes the client
// sent that are not UTF-8 pass through unchanged); Content holds the body bytes.
struct THttpServerRequest {
  std::string Document;     // raw URL before the first "?", percent-decoded
  std::string Method;       // "GET", or the verb as sent when the API has no number for it
  std::string Headers;      // known request headers present: "Name: value" CR LF each
  std::string AcceptEncoding;
  std::string ContentType;
  std::string Content;
  std::string QueryParams;  // raw URL after the first "?", percent-decoded
  std::string Cookies;
  std::int32_t ContentLength = 0;
  std::string AuthUsername;  // Basic credentials, filled by the authentication step
  std::string AuthPassword;
  bool AuthExists = false;
  std::uint64_t ConnectionId = 0;
};

// The answer to a plain HTTP request; a fresh record is all empty. The dates are "0" (never
// set) while empty, which readers treat like a date before 1900.
struct THttpServerResponse {
  std::string ContentText;
  std::string ContentType;
  std::string CustomHeader;
  std::string AuthRealm;
  std::int32_t ResponseNo = 0;
  std::istream* ContentStream = nullptr;  // not owned
  std::optional<TDateTime> Date;
  std::optional<TDateTime> Expires;
  std::optional<TDateTime> LastModified;
  std::string CacheControl;
};

// Raised by GetHttpServerRequest for a Content-Length beyond 2^31-1. The client has already
// been answered 413 and its connection closed; the caller only has to stop handling it.
class TlumWSRequestTooLarge : public TlumWSException {
 public:
  using TlumWSException::TlumWSException;
};

// ---------------------------------------------------------------------------------------
// Response helpers. The record points into the strings and the array the caller passes; they
// must outlive the send.

// Status code and reason phrase; aReason receives the phrase (the record points into it).
void SetStatus(HTTP_RESPONSE_V2& aResponse, int aCode, std::string& aReason);

// A non-empty body becomes the record's one in-memory chunk and sets the Content-Type slot;
// an empty body leaves both untouched.
void SetBody(HTTP_RESPONSE_V2& aResponse, HTTP_DATA_CHUNK& aChunk, const std::string& aBody,
             const std::string& aContentType);

// Maps "Name: value" lines into the known response header slots and, for every other name,
// into aUnknown (64 entries to begin with, 32 more whenever one free entry is left). Lines
// without a colon are skipped; "Connection:" always ends up as an unknown header.
void SetHeaders(HTTP_RESPONSE_V2& aResponse, const std::string& aHeaders,
                std::vector<HTTP_UNKNOWN_HEADER>& aUnknown);

// ---------------------------------------------------------------------------------------
// Request records

// Name of a known request header id (0 .. HttpHeaderRequestMaximum-1), e.g. "Content-Type".
std::string_view KnownRequestHeaderName(int aId);

// Fills the record of one received request; a body announced by Content-Length is read at once
// and synchronously (a body that ends early gives the bytes that came). A Content-Length
// beyond 2^31-1 is not read: the client gets 413 and TlumWSRequestTooLarge is raised.
THttpServerRequest GetHttpServerRequest(const HTTP_REQUEST_V2& aRequest, HANDLE aReqQueue,
                                        HTTP_REQUEST_ID aRequestId,
                                        PHTTP_LOG_DATA aLogData = nullptr);

// Sends a status-only answer ("Server" header, no body) and closes the connection. Returns the
// API result.
ULONG SendHttpStatusAndDisconnect(HANDLE aReqQueue, HTTP_REQUEST_ID aRequestId, int aCode,
                                  PHTTP_LOG_DATA aLogData = nullptr);

}  // namespace quillon
