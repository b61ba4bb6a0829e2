// What the control window and the headless host share of the application: the start-up
// step that makes TWebModule1 the web module class, the "/test" custom page, the ending of
// REST sessions on Stop, and the freeing of the pooled modules at program end.
#pragma once

#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"
#include "oauth2/lumHTTP_OAuth2_Server.h"

namespace quillon {

// When the framework has a request handler, its web module class becomes TWebModule1.
void ApplicationStartUp();
// Answers the document "/test" with the custom page; leaves every other request alone.
void OnCommandRequestEvent(TlumWSConnection_HTTPAPI* aConnection, const THttpServerRequest& aRequestInfo,
                           THttpServerResponse& aResponseInfo, bool& aHandled);
// Ends every REST session when the session manager exists.
void TerminateSessions();
// The OAuth2 settings of the start routine.
struct TOAuth2Settings {
  bool Enabled = false;
  std::string AppName = "MyApp";
  std::string RedirectURI = "http://127.0.0.1:8080";
  std::string ClientId = "client-id";
  std::string ClientSecret = "amber-walnuts";
  int ExpiresIn = 3600;  // seconds an access token lives
};
// Every user name and password signs in.
void OnOAuth2AuthenticationEvent(TlumWSConnection* Connection, TlumHTTPOAuth2Request* OAuth2,
                                 const std::string& aUser, const std::string& aPassword,
                                 bool& Authenticated);
// Only over TLS and when enabled: registers the one application afresh and attaches aOAuth2
// to the server, which turns its authentication on. Otherwise nothing changes.
void ApplyOAuth2Step(TlumWSServer_HTTPAPI& aServer, TlumHTTP_OAuth2_Server& aOAuth2,
                     const TOAuth2Settings& aSettings);
// Frees the pooled web modules of the process-wide handler, if any.
void ApplicationFinish();

}  // namespace quillon
