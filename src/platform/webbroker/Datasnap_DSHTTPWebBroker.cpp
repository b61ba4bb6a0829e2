// REST calls of server methods.
#include "platform/webbroker/Datasnap_DSHTTPWebBroker.h"

#include <vector>

namespace quillon {

namespace {

// "/a/b/" gives a, b and one empty segment: an empty last argument is written that way.
std::vector<std::string> Segments(std::string_view aPath) {
  std::vector<std::string> out;
  if (!aPath.empty() && aPath.front() == '/') aPath.remove_prefix(1);
  while (true) {
    const std::size_t end = aPath.find('/');
    out.emplace_back(aPath.substr(0, end));
    if (end == std::string_view::npos) break;
    aPath.remove_prefix(end + 1);
  }
  return out;
}

void Answer(TWebResponse& aResponse, int aCode, const std::string& aJSON) {
  aResponse.SetStatusCode(aCode);
  aResponse.SetContentType("application/json");
  aResponse.SetContent(aJSON);
}

void Fail(TWebResponse& aResponse, int aCode, const std::string& aMessage) {
  Answer(aResponse, aCode, "{\"error\":" + DSJSONString(aMessage) + "}");
}

// The session id of a "Pragma: dssession=<id>, ..." header.
std::string SessionOf(const std::string& aPragma) {
  TStrings fields;
  ExtractHTTPFields(aPragma, ',', fields, false);
  return fields.Values("dssession");
}

}  // namespace

bool TDSHTTPWebDispatcher::DispatchMask(TWebRequest& Request) {
  std::string path = Request.InternalPathInfo();
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  return MatchesMask(path, PathInfo);
}

bool TDSHTTPWebDispatcher::DispatchRequest(TObject* /*Sender*/, TWebRequest& Request, TWebResponse& Response) {
  TDSSessionManager& sessions = TDSSessionManager::GetOrCreate();
  Response.SetCustomHeader("Pragma", "dssession=" + sessions.OpenSession(SessionOf(Request.GetFieldByName("Pragma"))));

  const std::vector<std::string> seg = Segments(Request.InternalPathInfo());
  if (seg.size() < 4 || !WebSameText(seg[0], DSContext) || !WebSameText(seg[1], RESTContext)) {
    Fail(Response, 404, "No REST resource at " + Request.InternalPathInfo());
    return true;
  }
  const TMethodType verb = Request.MethodType();
  if (verb != TMethodType::mtGet && verb != TMethodType::mtPost) {
    Response.SetAllow("GET, POST");
    Fail(Response, 405, "Use GET or POST to call a server method");
    return true;
  }
  TPersistentClass cls = Server != nullptr ? Server->FindClass(seg[2]) : nullptr;
  const TDSMethodInfo* method = cls != nullptr ? cls->FindMethod(seg[3]) : nullptr;
  if (method == nullptr) {
    Fail(Response, 404, "Server method " + seg[2] + "." + seg[3] + " not found");
    return true;
  }
  std::vector<std::string> args(seg.begin() + 4, seg.end());
  if (args.empty() && verb == TMethodType::mtPost && !Request.Content().empty() &&
      !DSParseJSONArguments(Request.Content(), args)) {
    Fail(Response, 400, "The body is not a JSON array of arguments");
    return true;
  }
  if (args.size() != method->Params.size()) {
    Fail(Response, 400, cls->ClassName + "." + method->Name + " takes " +
                            std::to_string(method->Params.size()) + " argument(s), not " +
                            std::to_string(args.size()));
    return true;
  }
  std::string result;
  try {
    std::unique_ptr<TComponent> instance = cls->Create();
    result = method->Invoke(*instance, args);
  } catch (const std::exception& e) {
    Fail(Response, 500, e.what());
    return true;
  }
  Answer(Response, 200, "{\"result\":[" + DSJSONString(result) + "]}");
  return true;
}

}  // namespace quillon
