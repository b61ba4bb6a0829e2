// quillon-server: the headless host. Builds the bridge server component from its command
// line, answers plain HTTP with the web module (pages, REST service, static files from
// --root) and the "/test" custom page, prints one "listening <prefix>" line per registered
// prefix once active, echoes WebSocket text messages (binary too with --echo-binary), lets
// browsers manage their channels with {"lum":"subscribe"|"unsubscribe","channels":"a,b"},
// and stops cleanly on SIGINT or SIGTERM. No GUI here: the control window is another program.
#include <arpa/inet.h>
#include <pthread.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <limits.h>
#include <string>
#include <string_view>
#include <vector>

#include "connection/lumWebSocket_Extensions_DeflateFrame.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "app/ApplicationHandlers.h"
#include "bridge/lumWebSocket_Server_HTTPAPI_WebBrokerBridge.h"
#include "platform/webbroker/Web_HTTPApp.h"
#include "platform/httpapi/CertStore.h"
#include "server/lumWebSocket_Server_HTTPAPI.h"
#include "util/lumJSON.h"

using namespace quillon;

namespace {

constexpr const char* kUsage =
    "usage: quillon-server [options]\n"
    "\n"
    "Runs the Quillon server until SIGINT or SIGTERM. Prints \"listening <prefix>\" for every\n"
    "registered URL prefix once active; an activation error is printed and exits 1.\n"
    "\n"
    "  --host TEXT              host of the main prefix (default 127.0.0.1); an IPv6\n"
    "                           literal with or without brackets\n"
    "  --port N                 port (default 5420)\n"
    "  --ssl                    TLS, binding the certificate given by --hash\n"
    "  --hash HEX               SHA-1 thumbprint of the certificate (see quillon-cert)\n"
    "  --cert-store NAME        certificate store (default MY)\n"
    "  --origins LIST           comma-separated origin masks allowed to upgrade\n"
    "  --permessage-deflate     offer permessage-deflate\n"
    "  --deflate-frame          offer x-webkit-deflate-frame\n"
    "  --validate-utf8          close connections that send invalid UTF-8 (1007)\n"
    "  --clean-disconnect       close handshake before disconnecting\n"
    "  --fragmented MODE        buffer | fragmented | all\n"
    "  --echo-binary            echo binary messages too\n"
    "  --flash                  Flash fall-back (policy requests)\n"
    "  --sse                    server-sent-events fall-back\n"
    "  --sse-retry N            retry time of event streams\n"
    "  --no-html-files          do not serve the built-in test page\n"
    "  --no-js-files            do not serve the built-in scripts\n"
    "  --heartbeat S            ping every S seconds\n"
    "  --heartbeat-timeout S    close connections that leave a ping S seconds unanswered\n"
    "  --log-file PATH          W3C logs in the folder of PATH\n"
    "  --threads N              worker threads (default 32)\n"
    "  --max-connections N      connection limit\n"
    "  --max-bandwidth N        bandwidth limit, bytes per second\n"
    "  --read-buffer-size N     read buffer of each connection\n"
    "  --asynchronous           sends complete on the worker pool\n"
    "  --oauth2                 with --ssl: OAuth2 authorization server for one application;\n"
    "                           every other plain request needs a bearer token\n"
    "  --app-name TEXT          its name (default MyApp)\n"
    "  --redirect-uri TEXT      its redirect URI (default http://127.0.0.1:8080)\n"
    "  --client-id TEXT         its client id (default client-id)\n"
    "  --client-secret TEXT     its client secret (default amber-walnuts)\n"
    "  --oauth2-expires-in S    lifetime of its access tokens (default 3600)\n"
    "  --auth                   authentication of WebSocket upgrades (URL, session)\n"
    "  --auth-user USER=PASS    a user (repeatable)\n"
    "  --allow-non-auth         accept upgrades that fail authentication\n"
    "  --auth-basic             HTTP Basic authentication (plain requests and upgrades)\n"
    "  --no-auth-url            no URL authentication (/lum/auth/url/user/password)\n"
    "  --no-auth-session        no session authentication (/lum/req/auth/session/...)\n"
    "  --root DIR               folder of templates and static files (default: this\n"
    "                           program's folder)\n"
    "  --help                   this text\n"
    "\n"
    "Any other option is a usage error (exit 2).\n";

int UsageError(const std::string& aMessage) {
  std::cerr << "quillon-server: " << aMessage << "\n" << "Try 'quillon-server --help'.\n";
  return 2;
}

bool ToInt(std::string_view aText, int& aValue) {
  const auto [ptr, ec] = std::from_chars(aText.data(), aText.data() + aText.size(), aValue);
  return ec == std::errc() && ptr == aText.data() + aText.size() && !aText.empty();
}

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string text(path, static_cast<std::size_t>(n));
  const std::size_t slash = text.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : text.substr(0, slash);
}

// The browser library's channel messages; false for any other text.
bool HandleChannelMessage(TlumWSConnection* aConnection, const std::string& aText) {
  if (aText.empty() || aText.front() != '{' || aText.find("\"lum\"") == std::string::npos) return false;
  TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
  doc->Read(aText);
  IlumObjectJSONRef action = doc->Node("lum");
  IlumObjectJSONRef channels = doc->Node("channels");
  if (!action || !channels) return false;
  const std::string verb = action->ValueText();
  if (verb == "subscribe") {
    aConnection->DoSubscribe(channels->ValueText());
    return true;
  }
  if (verb == "unsubscribe") {
    aConnection->DoUnSubscribe(channels->ValueText());
    return true;
  }
  return false;
}

// An IPv6 literal typed without brackets gets them: a URL prefix needs them around it.
std::string HostForPrefix(const std::string& aHost) {
  in6_addr address{};
  if (aHost.find(':') != std::string::npos && inet_pton(AF_INET6, aHost.c_str(), &address) == 1)
    return "[" + aHost + "]";
  return aHost;
}

// What the certificate lookup of a TLS activation looked for and where, in front of the
// system's text, and how to make a certificate that fits.
std::string CertificateError(const std::string& aSystemText, const std::string& aHost,
                             const std::string& aHash, const std::string& aStore) {
  namespace pf = platform;
  const std::string store = aStore.empty() ? "MY" : aStore;
  const std::string storeFlag = aStore.empty() ? "" : "--store " + aStore + " ";
  std::string hostName = aHost;
  if (hostName.size() > 2 && hostName.front() == '[') hostName = hostName.substr(1, hostName.size() - 2);
  const std::string hint = " Make one with 'quillon-cert " + storeFlag + hostName +
                           "' and give the thumbprint it prints to --hash.";
  if (aHash.empty()) return aSystemText + hint;
  std::string folder;
  try {
    folder = pf::CertStoreFolder(aStore);
  } catch (const pf::CertStoreError& e) {
    return "certificate " + aHash + ": " + e.what() + ": " + aSystemText;
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    return "certificate store \"" + store + "\" not found (no folder " + folder +
           "), looking for certificate " + aHash + ": " + aSystemText + hint;
  }
  if (const auto thumbprint = pf::ParseThumbprint(aHash)) {
    try {
      const std::string file = pf::FindCertificateFile(aStore, *thumbprint);
      return "cannot use certificate " + aHash + " of certificate store \"" + store + "\" (file " +
             file + "): " + aSystemText;
    } catch (const pf::CertStoreError&) {
      // Not in the store: said below.
    }
  }
  return "no certificate with thumbprint " + aHash + " in certificate store \"" + store +
         "\" (folder " + folder + "): " + aSystemText +
         (pf::ParseThumbprint(aHash) ? "" : " A thumbprint is 40 hexadecimal digits.") + hint;
}

// The prefix that could not be registered in front of the system's text, and what to change.
std::string ListenError(const std::string& aSystemText, const std::string& aPrefix,
                        const std::string& aHost, int aPort) {
  namespace pf = platform;
  std::string text = "cannot listen on " + aPrefix + ": " + aSystemText;
  if (aSystemText == pf::SysErrorMessage(ERROR_SHARING_VIOLATION))
    text += " Another program holds port " + std::to_string(aPort) + "; choose another with --port N.";
  else if (aSystemText == pf::SysErrorMessage(WSAEADDRNOTAVAIL))
    text += " " + aHost + " is not an address of this machine; give --host one of its addresses, "
            "or 0.0.0.0 for all of them.";
  else if (aSystemText == pf::SysErrorMessage(ERROR_ACCESS_DENIED))
    text += " Ports below 1024 need privileges; choose --port 1024 or above.";
  else if (aSystemText == pf::SysErrorMessage(ERROR_INVALID_PARAMETER))
    text += " --host takes a host name or an IP address, without a port.";
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 5420;
  bool ssl = false;
  std::string hash, certStore, origins, logFile, root;
  bool perMessageDeflate = false, deflateFrame = false, validateUTF8 = false;
  bool cleanDisconnect = false, echoBinary = false, flash = false, sse = false;
  bool noHtml = false, noJs = false, asynchronous = false;
  TwsFragmentedMessages fragmented = frgOnlyBuffer;
  int sseRetry = -1, heartbeat = 0, heartbeatTimeout = -1, threads = 32;
  int maxConnections = 0, maxBandwidth = 0, readBufferSize = 0;
  TOAuth2Settings oauth2;
  bool auth = false, allowNonAuth = false, authBasic = false, noAuthURL = false, noAuthSession = false;
  std::vector<std::string> authUsers;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto text = [&](std::string& aOut) -> bool {
      if (i + 1 >= argc) return false;
      aOut = argv[++i];
      return true;
    };
    auto number = [&](int& aOut) -> bool {
      std::string v;
      return text(v) && ToInt(v, aOut) && aOut >= 0;
    };
    bool ok = true;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--host") {
      ok = text(host);
      host = HostForPrefix(host);
    }
    else if (arg == "--port") ok = number(port) && port > 0 && port <= 65535;
    else if (arg == "--ssl") ssl = true;
    else if (arg == "--hash") ok = text(hash);
    else if (arg == "--cert-store") ok = text(certStore);
    else if (arg == "--origins") ok = text(origins);
    else if (arg == "--permessage-deflate") perMessageDeflate = true;
    else if (arg == "--deflate-frame") deflateFrame = true;
    else if (arg == "--validate-utf8") validateUTF8 = true;
    else if (arg == "--clean-disconnect") cleanDisconnect = true;
    else if (arg == "--fragmented") {
      std::string v;
      ok = text(v);
      if (v == "buffer") fragmented = frgOnlyBuffer;
      else if (v == "fragmented") fragmented = frgOnlyFragmented;
      else if (v == "all") fragmented = frgAll;
      else ok = false;
    } else if (arg == "--echo-binary") echoBinary = true;
    else if (arg == "--flash") flash = true;
    else if (arg == "--sse") sse = true;
    else if (arg == "--sse-retry") ok = number(sseRetry);
    else if (arg == "--no-html-files") noHtml = true;
    else if (arg == "--no-js-files") noJs = true;
    else if (arg == "--heartbeat") ok = number(heartbeat) && heartbeat > 0;
    else if (arg == "--heartbeat-timeout") ok = number(heartbeatTimeout);
    else if (arg == "--log-file") ok = text(logFile);
    else if (arg == "--threads") ok = number(threads) && threads > 0;
    else if (arg == "--max-connections") ok = number(maxConnections);
    else if (arg == "--max-bandwidth") ok = number(maxBandwidth);
    else if (arg == "--read-buffer-size") ok = number(readBufferSize) && readBufferSize > 0;
    else if (arg == "--asynchronous") asynchronous = true;
    else if (arg == "--root") ok = text(root);
    else if (arg == "--oauth2") oauth2.Enabled = true;
    else if (arg == "--app-name") ok = text(oauth2.AppName);
    else if (arg == "--redirect-uri") ok = text(oauth2.RedirectURI);
    else if (arg == "--client-id") ok = text(oauth2.ClientId);
    else if (arg == "--client-secret") ok = text(oauth2.ClientSecret);
    else if (arg == "--oauth2-expires-in") ok = number(oauth2.ExpiresIn) && oauth2.ExpiresIn > 0;
    else if (arg == "--auth") auth = true;
    else if (arg == "--auth-user") {
      std::string v;
      ok = text(v) && v.find('=') != std::string::npos && v.front() != '=';
      if (ok) authUsers.push_back(v);
    } else if (arg == "--allow-non-auth") allowNonAuth = true;
    else if (arg == "--auth-basic") authBasic = true;
    else if (arg == "--no-auth-url") noAuthURL = true;
    else if (arg == "--no-auth-session") noAuthSession = true;
    else return UsageError("unknown option " + arg);
    if (!ok) return UsageError("option " + arg + " needs a valid value");
  }
  if (root.empty()) root = ExecutableFolder();
  std::error_code ec;
  if (!std::filesystem::is_directory(root, ec)) return UsageError("--root " + root + " is not a folder");

  // Blocked before any thread exists, so every thread inherits it and sigwait below gets it.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Templates, static files and the generated proxy live below the root.
  SetWebApplicationDirectory(std::filesystem::absolute(root, ec).lexically_normal().string());
  ApplicationStartUp();

  int exitCode = 0;
  {
    // Declared first: the server refers to it while active and is destroyed before it.
    TlumHTTP_OAuth2_Server oauth2Server;
    oauth2Server.OnOAuth2Authentication = OnOAuth2AuthenticationEvent;
    TlumWSServer_HTTPAPI_WebBrokerBridge server;
    server.OnCommandRequest = OnCommandRequestEvent;
    server.SetHost(host);
    server.SetPort(port);
    server.SetSSL(ssl);
    server.BindingOptions().ConfigureSSLCertificate = true;
    server.SSLOptions().Hash = hash;
    server.SSLOptions().CertStoreName = certStore;
    server.SecurityOptions().OriginsAllowed = origins;
    server.Extensions().PerMessage_Deflate().SetEnabled(perMessageDeflate);
    server.Extensions().DeflateFrame().SetEnabled(deflateFrame);
    server.Options().ValidateUTF8 = validateUTF8;
    server.Options().CleanDisconnect = cleanDisconnect;
    server.Options().FragmentedMessages = fragmented;
    server.Options().HTMLFiles = !noHtml;
    server.Options().JavascriptFiles = !noJs;
    server.FallBack().Flash.Enabled = flash;
    server.FallBack().ServerSentEvents.Enabled = sse;
    if (sseRetry >= 0) server.FallBack().ServerSentEvents.Retry = sseRetry;
    if (heartbeat > 0) {
      server.HeartBeat().Enabled = true;
      server.HeartBeat().Interval = heartbeat;
    }
    if (heartbeatTimeout >= 0) server.HeartBeat().Timeout = heartbeatTimeout;
    if (!logFile.empty()) {
      server.LogFile().Enabled = true;
      server.LogFile().FileName = logFile;
    }
    server.SetThreadPoolSize(threads);
    server.SetMaxConnections(maxConnections);
    server.SetMaxBandwidth(maxBandwidth);
    if (readBufferSize > 0) server.SetReadBufferSize(readBufferSize);
    server.SetAsynchronous(asynchronous);
    server.Authentication().Enabled = auth;
    server.Authentication().AllowNonAuth = allowNonAuth;
    server.Authentication().AuthUsers = authUsers;
    server.Authentication().Basic.Enabled = authBasic;
    server.Authentication().URL.Enabled = !noAuthURL;
    server.Authentication().Session.Enabled = !noAuthSession;
    ApplyOAuth2Step(server, oauth2Server, oauth2);

    server.OnMessage = [](TlumWSConnection* c, const std::string& aText) {
      if (!HandleChannelMessage(c, aText)) c->WriteData(aText);
    };
    if (echoBinary) server.OnBinary = [](TlumWSConnection* c, TBytesView aData) { c->WriteData(aData); };

    // Registration starts right after this event: an error before it is the certificate's.
    std::vector<std::string> prefixes;
    server.OnBeforeBinding = [&prefixes](TlumWSServer_HTTPAPI*, std::vector<std::string>& aBindings) {
      prefixes = aBindings;
    };
    try {
      server.SetActive(true);
    } catch (const std::exception& e) {
      std::string message = e.what();
      if (!prefixes.empty()) message = ListenError(message, prefixes.front(), host, port);
      else if (ssl) message = CertificateError(message, host, hash, certStore);
      std::cerr << "quillon-server: " << message << "\n";
      exitCode = 1;
      // A failed activation leaves the component half active: stop what it started.
      try {
        server.SetActive(false);
      } catch (const std::exception&) {
      }
    }
    if (exitCode == 0) {
      for (const std::string& prefix : server.RegisteredBindings()) std::printf("listening %s\n", prefix.c_str());
      std::fflush(stdout);
      int received = 0;
      sigwait(&signals, &received);
      TerminateSessions();
      try {
        server.SetActive(false);
      } catch (const std::exception& e) {
        std::cerr << "quillon-server: " << e.what() << "\n";
      }
    }
  }
  ApplicationFinish();
  return exitCode;
}
