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

void OnOAuth2AuthenticationEvent(TlumWSConnection* /*Connection*/, TlumHTTPOAuth2Request* /*OAuth2*/,
                                 const std::string& /*aUser*/, const std::string& /*aPassword*/,
                                 bool& Authenticated) {
  Authenticated = true;
}

void ApplyOAuth2Step(TlumWSServer_HTTPAPI& aServer, TlumHTTP_OAuth2_Server& aOAuth2,
                     const TOAuth2Settings& aSettings) {
  if (!aServer.SSL() || !aSettings.Enabled) return;
  aOAuth2.Apps().Clear();
  aOAuth2.Apps().AddApp(aSettings.AppName, aSettings.RedirectURI, aSettings.ClientId,
                        aSettings.ClientSecret, aSettings.ExpiresIn, true);
  aServer.Authentication().Enabled = true;
  aServer.Authentication().OAuth.OAuth2 = &aOAuth2;
}

void ApplicationFinish() {
  if (TWebRequestHandler* handler = WebRequestHandler()) handler->FreeModules();
}

}  // namespace quillon
