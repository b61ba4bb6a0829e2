// The option groups of a server component, as plain data that copies itself with Assign:
// server options, bindings, security, fall-back transports, heartbeat, watchdog,
// optimisations, specifications, log file, TCP keep-alive and authentication. What the
// options do is in the server base (lumWebSocket_Server_Base.h), not here.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connection/lumWebSocket_Classes.h"

namespace quillon {

class IlumOAuth2Server;

class TlumWSOptionsServer {
 public:
  bool CleanDisconnect = false;
  TwsFragmentedMessages FragmentedMessages = frgOnlyBuffer;
  bool HTMLFiles = true;
  bool JavascriptFiles = true;
  bool RaiseDisconnectExceptions = true;
  bool ValidateUTF8 = false;
  int WriteTimeOut = 0;

  // Seconds; a value of 0 or less is stored as 1.
  int ReadTimeOut() const { return FReadTimeOut; }
  void SetReadTimeOut(int Value) { FReadTimeOut = Value <= 0 ? 1 : Value; }

  // Everything but WriteTimeOut.
  void Assign(const TlumWSOptionsServer& Source);

 private:
  int FReadTimeOut = 10;
};

class TlumWSBinding {
 public:
  std::string Host;
  int IPVersion = 0;
  std::string Parameters;
  int Port = 0;
  bool SSL = false;
  std::string SSLCertStoreName;
  std::string SSLHash;

  void Assign(const TlumWSBinding& Source) { *this = Source; }
};

// Owns its bindings.
class TlumWSBindings {
 public:
  TlumWSBinding& NewBinding(std::string aHost, int aPort, std::string aParameters = {},
                            bool aSSL = false, std::string aSSLHash = {}, int aIPVersion = 0,
                            std::string aCertStoreName = {});
  TlumWSBinding& NewBinding(const TlumWSBinding& aBinding);
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  TlumWSBinding& Items(int aIndex) { return *FItems.at(static_cast<std::size_t>(aIndex)); }
  const TlumWSBinding& Items(int aIndex) const {
    return *FItems.at(static_cast<std::size_t>(aIndex));
  }
  // "http[s]://host:port/parameters/"; empty for an index past the end.
  std::string GetURL(int aIndex) const;
  void Assign(const TlumWSBindings& Source);

 private:
  std::vector<std::unique_ptr<TlumWSBinding>> FItems;
};

class TlumWSSecurityOptions {
 public:
  std::string OriginsAllowed;  // comma-separated origin masks; empty allows every origin
  void Assign(const TlumWSSecurityOptions& Source) { *this = Source; }
};

class TlumWSFallBack_Options {
 public:
  struct TFlash {
    bool Enabled = false;
    std::string Domain = "*";
    std::string Ports = "*";
  };
  struct TServerSentEvents {
    bool Enabled = false;
    int Retry = 3000;  // times 1000 in the stream's retry line
  };
  TFlash Flash;
  TServerSentEvents ServerSentEvents;
  void Assign(const TlumWSFallBack_Options& Source) { *this = Source; }
};

class TlumWSHeartBeat_Options {
 public:
  bool Enabled = false;
  int Interval = 300;  // seconds between pings
  int Timeout = 0;     // seconds without a pong before a connection is closed; 0 never
  void Assign(const TlumWSHeartBeat_Options& Source) { *this = Source; }
};

class TlumWSWatchDog_Options {
 public:
  struct TMonitor {
    bool Enabled = false;
    int TimeOut = 10;  // seconds the self-connection may take
  };
  bool Enabled = false;
  int Interval = 60;  // seconds
  int Attempts = 0;   // ticks before the watchdog stops; 0 never stops
  TMonitor Monitor;
  void Assign(const TlumWSWatchDog_Options& Source) { *this = Source; }
};

class TlumWSOptimizations_Options {
 public:
  struct TConnections {
    bool Enabled = true;
    int CacheSize = 100;
    int GroupLevel = 1;
  };
  struct TChannels {
    bool Enabled = true;
  };
  struct TConnectionsFree {
    bool Enabled = true;
    int Interval = 60;  // seconds a disconnected connection stays valid
  };
  TConnections Connections;
  TChannels Channels;
  TConnectionsFree ConnectionsFree;
  void Assign(const TlumWSOptimizations_Options& Source) { *this = Source; }
};

class TlumWSSpecifications_Options {
 public:
  struct TDrafts {
    bool Hixie76 = true;
  };
  bool RFC6455 = true;
  TDrafts Drafts;
  void Assign(const TlumWSSpecifications_Options& Source) { *this = Source; }
};

class TlumWSLogFile_Options {
 public:
  bool Enabled = false;
  std::string FileName;
  void Assign(const TlumWSLogFile_Options& Source) { *this = Source; }
};

// Stored and copied; the HTTP Server API server does not apply it.
class TlumWSTCPKeepAlive_Options {
 public:
  bool Enabled = false;
  int Time = 7200000;  // ms
  int Interval = 1000;  // ms
  void Assign(const TlumWSTCPKeepAlive_Options& Source) { *this = Source; }
};

class TlumWSAuthenticationServer_Options {
 public:
  struct TEnabled {
    bool Enabled = true;
  };
  struct TOAuth {
    IlumOAuth2Server* OAuth2 = nullptr;  // not owned
  };
  bool Enabled = false;
  bool AllowNonAuth = false;
  std::vector<std::string> AuthUsers;  // "user=password" lines
  TEnabled URL;
  TEnabled Session;
  TEnabled Basic{false};
  TOAuth OAuth;

  // The password of the first line whose name equals aUser ignoring case; false when none.
  bool FindUser(std::string_view aUser, std::string& aPassword) const;
  void Assign(const TlumWSAuthenticationServer_Options& Source) { *this = Source; }
};

}  // namespace quillon
