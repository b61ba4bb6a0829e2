// The web request and response adapters over arbitrary records: every property the
// framework reads (strings, dates, integers, header look-ups, query, form and cookie fields,
// the body by reads of any size), then the answer's header lines after the module set
// arbitrary values. The input is four bytes of Content-Length and a read size, then the
// fields Method, Document, QueryParams, Headers, Cookies, ContentType, Content, a header
// name to look up and a response header name and value, separated by NUL bytes.
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/webbroker/WebFixture.h"

using namespace quillon;

namespace {

std::string Field(std::string_view& aText) {
  const std::size_t end = aText.find('\0');
  std::string field(aText.substr(0, end));
  aText = end == std::string_view::npos ? std::string_view() : aText.substr(end + 1);
  return field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  fuzz::TInput in(aData, aSize);
  std::uint32_t length = 0;
  for (int i = 0; i < 4; ++i) length = length << 8 | in.Byte();
  const int readSize = static_cast<std::int8_t>(in.Byte());
  std::string_view text = in.Rest();

  THttpServerRequest r;
  r.Method = Field(text);
  r.Document = Field(text);
  r.QueryParams = Field(text);
  r.Headers = Field(text);
  r.Cookies = Field(text);
  r.ContentType = Field(text);
  r.Content = Field(text);
  r.ContentLength = static_cast<std::int32_t>(length);
  const std::string name = Field(text);
  const std::string customName = Field(text);
  const std::string customValue = Field(text);

  TlumWebRequestHTTPAPI request(nullptr, r, THttpServerResponse{});
  for (int i = -1; i <= 30; ++i) (void)request.GetStringVariable(i);
  for (const int i : {7, 11, 19, 0, 99}) (void)request.GetDateVariable(i);
  for (const int i : {16, 24, 0, -5}) (void)request.GetIntegerVariable(i);
  (void)request.GetFieldByName(name);
  (void)request.RemoteIP();
  (void)request.InternalPathInfo();
  (void)request.MethodType();
  const TStrings& query = request.QueryFields();
  for (int i = 0; i < query.Count(); ++i) (void)query.Values(query.Names(i));
  (void)request.CookieFields();
  (void)request.ContentFields();
  FUZZ_CHECK(request.Content() == r.Content);

  // Reads from the start: a read of n bytes gives n bytes or fails, never more.
  const std::string whole = request.ReadString(0);
  FUZZ_CHECK(whole == r.Content);
  try {
    const std::string part = request.ReadString(readSize);
    FUZZ_CHECK(readSize <= 0 || part.size() == static_cast<std::size_t>(readSize));
  } catch (const EWebBrokerException&) {
    FUZZ_CHECK(readSize > 0);
  }
  char buffer[128];
  const int got = request.ReadClient(buffer, readSize < 0 ? -readSize : readSize);
  FUZZ_CHECK(got >= 0 && got <= 128);

  TlumWebResponseHTTPAPI response(nullptr, &request, THttpServerResponse{});
  for (int i = -1; i <= 12; ++i) response.SetStringVariable(i, customValue);
  response.SetCustomHeader(customName, customValue);
  response.SetIntegerVariable(0, static_cast<std::int32_t>(length));
  for (int i = -1; i <= 12; ++i) (void)response.GetStringVariable(i);
  (void)response.GetIntegerVariable(0);
  // Nothing the module sets may start a header line of its own.
  for (const std::string& line : response.ResponseHeaderLines()) {
    FUZZ_CHECK(!line.empty() && line.find_first_of("\r\n") == std::string::npos);
  }
  response.SendResponse();
  FUZZ_CHECK(response.Sent());
  return 0;
}
