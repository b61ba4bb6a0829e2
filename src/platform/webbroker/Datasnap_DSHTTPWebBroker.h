// The REST dispatcher: answers "/datasnap/rest/<class>/<method>/<arg>/..." by calling the
// server method and writing {"result":[...]} as "application/json". Arguments come from the
// path segments after the method, or, when the path has none, from a JSON body
// (an array, or an object with "_parameters") of a POST; the body is the way to pass an
// argument that holds "/". Each answer names its REST session in "Pragma: dssession=<id>";
// a client that sends that header back stays in its session. Errors answer {"error":"..."}
// with 404 (no such class or method), 400 (wrong arguments), 405 (other verbs) or 500.
#pragma once

#include <string>

#include "platform/webbroker/Datasnap_DSServer.h"
#include "platform/webbroker/Web_HTTPApp.h"

namespace quillon {

class TDSAuthenticationManager : public TComponent {};

class TDSHTTPWebDispatcher : public TComponent, public IWebDispatch {
 public:
  TDSServer* Server = nullptr;                               // not owned
  TDSAuthenticationManager* AuthenticationManager = nullptr;  // not owned
  std::string PathInfo = "datasnap*";
  std::string DSContext = "datasnap";
  std::string RESTContext = "rest";

  bool DispatchMask(TWebRequest& Request) override;
  bool DispatchRequest(TObject* Sender, TWebRequest& Request, TWebResponse& Response) override;
};

}  // namespace quillon
