// The application's shared handlers.
#include "app/ApplicationHandlers.h"

#include "app/WebModuleUnit1.h"
#include "platform/webbroker/Datasnap_DSServer.h"
#include "platform/webbroker/Web_WebReq.h"

namespace quillon {

void ApplicationStartUp() {
  if (TWebRequestHandler* handler = WebRequestHandler()) handler->SetWebModuleClass(WebModule1Class());
}

void OnCommandRequestEvent(TlumWSConnection_HTTPAPI* /*aConnection*/, const THttpServerRequest& aRequestInfo,
                           THttpServerResponse& aResponseInfo, bool& aHandled) {
  if (aRequestInfo.Document != "/test") return;
  aResponseInfo.ResponseNo = 200;
  aResponseInfo.ContentText =
      "<html><head><title>Quillon Custom Page</title></head><body>... body ...</body></html>";
  aHandled = true;
}

void TerminateSessions() {
  if (TDSSessionManager* sessions = TDSSessionManager::Instance()) sessions->TerminateAllSessions();
}

void ApplicationFinish() {
  if (TWebRequestHandler* handler = WebRequestHandler()) handler->FreeModules();
}

}  // namespace quillon
