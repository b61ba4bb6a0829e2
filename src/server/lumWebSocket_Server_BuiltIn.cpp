// Which request gets which built-in document, and serving it.
#include "connection/lumWebSocket_RequestLines.h"
#include "platform/win32/Resources.h"
#include "server/lumWebSocket_HTTPResponse.h"
#include "server/lumWebSocket_Server_Base.h"

namespace quillon {

bool TlumWSServer_Base::DoBuiltInDocument(TConnection* aConnection, std::string_view aLine,
                                          bool aNotFound) {
  if (MatchesMask(aLine, "GET *.js *")) {
    if (!FOptions.JavascriptFiles) return false;
    std::string names = GetResourceName(aLine);
    if (SameText(names, "Quillon.js")) {
      if (FFallBack.Flash.Enabled) names = "QuillonFlash.js," + names;
      if (FFallBack.ServerSentEvents.Enabled) names = "QuillonEventSource.js," + names;
    }
    return ServeDocument(aConnection, names, "text/javascript", aNotFound);
  }
  if (MatchesMask(aLine, "GET *.html *")) {
    if (!FOptions.HTMLFiles) return false;
    return ServeDocument(aConnection, GetResourceName(aLine), "text/html; charset=utf-8", aNotFound);
  }
  if (MatchesMask(aLine, "GET *.css *")) {
    if (!FOptions.HTMLFiles) return false;
    return ServeDocument(aConnection, GetResourceName(aLine), "text/css", aNotFound);
  }
  if (MatchesMask(aLine, "GET *WebSocketMain.swf *")) {
    if (const auto movie = platform::FindResourceByName(kMovieResourceName)) {
      aConnection->SendHTTPContent(*movie, "application/x-shockwave-flash");
    } else {
      aConnection->SendHTTPStatus(404, "Not Found");
    }
    aConnection->DisconnectPeer();
    return true;
  }
  if (MatchesMask(aLine, "GET *favicon*")) {
    if (aNotFound) {
      aConnection->SendHTTPStatus(404, "Not Found");
      aConnection->DisconnectPeer();
    }
    return aNotFound;
  }
  return false;
}

bool TlumWSServer_Base::ServeDocument(TConnection* aConnection, std::string_view aNames,
                                      std::string_view aContentType, bool aNotFound) {
  const std::string text = TlumWSHTTPResponse::GetResponseMessage(aNames);
  if (!text.empty()) {
    const bool ssl = PosText(aConnection->URL(), "HTTPS") == 0;
    aConnection->SendHTTPContent(
        ReplaceDocumentPlaceholders(text, aConnection->LocalIP(), aConnection->LocalPort(), ssl),
        aContentType);
    aConnection->DisconnectPeer();
    return true;
  }
  if (aNotFound) {
    aConnection->SendHTTPStatus(404, "Not Found");
    aConnection->DisconnectPeer();
    return true;
  }
  return false;
}

}  // namespace quillon
