// What the control window and the headless host share of the application: the start-up
// step that makes TWebModule1 the web module class, the "/test" custom page, the ending of
// REST sessions on Stop, and the freeing of the pooled modules at program end.
#pragma once

#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"

namespace quillon {

// When the framework has a request handler, its web module class becomes TWebModule1.
void ApplicationStartUp();
// Answers the document "/test" with the custom page; leaves every other request alone.
void OnCommandRequestEvent(TlumWSConnection_HTTPAPI* aConnection, const THttpServerRequest& aRequestInfo,
                           THttpServerResponse& aResponseInfo, bool& aHandled);
// Ends every REST session when the session manager exists.
void TerminateSessions();
// Frees the pooled web modules of the process-wide handler, if any.
void ApplicationFinish();

}  // namespace quillon
