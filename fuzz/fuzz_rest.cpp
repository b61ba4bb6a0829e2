// The REST dispatcher over arbitrary requests: the "/datasnap/rest/Class/Method/args" path,
// the verb, the Pragma session header and a JSON body of arguments. The input is one verb
// byte, then "path\nPragma value\n", then the body. The server has one class with methods
// of zero, one and two parameters that echo their arguments, so a call that succeeds with
// path arguments must answer with exactly those.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/webbroker/Datasnap_DSHTTPWebBroker.h"
#include "platform/webbroker/WebFixture.h"

using namespace quillon;

namespace {

class TEcho : public TComponent {};

std::string JoinArgs(const std::vector<std::string>& aArgs) {
  std::string out;
  for (const std::string& a : aArgs) out += a + '\x1f';
  return out;
}

TPersistentClass EchoClass() {
  static const TDSClassInfo info{
      "TEcho",
      [] { return std::unique_ptr<TComponent>(std::make_unique<TEcho>()); },
      {{"None", {}, "string", [](TComponent&, const std::vector<std::string>& a) { return JoinArgs(a); }},
       {"One", {"A"}, "string", [](TComponent&, const std::vector<std::string>& a) { return JoinArgs(a); }},
       {"Two", {"A", "B"}, "string", [](TComponent&, const std::vector<std::string>& a) { return JoinArgs(a); }},
       {"Throw", {}, "string", [](TComponent&, const std::vector<std::string>&) -> std::string {
          throw std::runtime_error("thrown");
        }}}};
  return &info;
}

std::string_view Line(std::string_view& aText) {
  const std::size_t nl = aText.find('\n');
  const std::string_view line = aText.substr(0, nl);
  aText = nl == std::string_view::npos ? std::string_view() : aText.substr(nl + 1);
  return line;
}

bool StartsWith(std::string_view aText, std::string_view aPrefix) {
  return aText.substr(0, aPrefix.size()) == aPrefix;
}

struct TRest {
  TDSServer Server;
  TDSServerClass Echo{&Server};
  TDSHTTPWebDispatcher Dispatcher;
  TRest() {
    Echo.OnGetClass = [](TDSServerClass*, TPersistentClass& c) { c = EchoClass(); };
    Dispatcher.Server = &Server;
  }
};

// The arguments a path carries after "/datasnap/rest/Class/Method".
std::vector<std::string> PathArgs(std::string_view aPath) {
  std::vector<std::string> seg;
  if (!aPath.empty() && aPath.front() == '/') aPath.remove_prefix(1);
  while (true) {
    const std::size_t end = aPath.find('/');
    seg.emplace_back(aPath.substr(0, end));
    if (end == std::string_view::npos) break;
    aPath.remove_prefix(end + 1);
  }
  return seg.size() > 4 ? std::vector<std::string>(seg.begin() + 4, seg.end()) : std::vector<std::string>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  static TRest rest;
  TDSHTTPWebDispatcher& dispatcher = rest.Dispatcher;

  fuzz::TInput in(aData, aSize);
  static const char* const kVerbs[] = {"GET", "POST", "PUT", "DELETE", "HEAD", "get", "PATCH", "BREW"};
  const std::string verb = kVerbs[in.Byte() % 8];
  std::string_view text = in.Rest();
  const std::string path(Line(text));
  const std::string pragma(Line(text));
  const std::string body(text);

  test::TWebExchange e = test::NewExchange(verb, path, "Pragma: " + pragma + "\r\n", body);
  const bool masked = dispatcher.DispatchMask(*e.Request);
  FUZZ_CHECK(dispatcher.DispatchRequest(nullptr, *e.Request, *e.Response));
  (void)masked;

  const THttpServerResponse& r = e.Response->Record();
  const int code = r.ResponseNo;
  FUZZ_CHECK(code == 200 || code == 400 || code == 404 || code == 405 || code == 500);
  FUZZ_CHECK(r.ContentType == "application/json");
  const std::string answer = e.Body();
  FUZZ_CHECK(StartsWith(answer, code == 200 ? "{\"result\":[\"" : "{\"error\":\""));
  FUZZ_CHECK(answer.size() >= 3 && answer.substr(answer.size() - 2) == (code == 200 ? "]}" : "\"}"));
  const std::vector<std::string> pathArgs = PathArgs(path);
  if (code == 200 && !pathArgs.empty()) {
    FUZZ_CHECK(answer == "{\"result\":[" + DSJSONString(JoinArgs(pathArgs)) + "]}");
  }
  // The answer is JSON text: no raw control bytes inside its strings.
  for (const char c : answer) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  // The session header names one session, in a value that stays on its line.
  bool session = false;
  for (const std::string& line : e.Response->ResponseHeaderLines()) {
    FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
    session = session || StartsWith(line, "Pragma: dssession=");
  }
  FUZZ_CHECK(session);

  // Every argument of a body takes at least one byte of it.
  std::vector<std::string> args;
  if (DSParseJSONArguments(body, args)) FUZZ_CHECK(args.size() <= body.size());
  // A JSON string literal of any bytes: quoted, no raw control bytes.
  const std::string literal = DSJSONString(body);
  FUZZ_CHECK(literal.size() >= 2 && literal.front() == '"' && literal.back() == '"');
  for (const char c : literal) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
  return 0;
}
