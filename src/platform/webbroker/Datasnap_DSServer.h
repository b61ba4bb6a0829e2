// The REST framework's server side: the registry of server classes and their methods (C++
// has no published-method run-time information, so a class lists its methods itself), the
// server and server-class components, and the process-wide session manager.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/webbroker/Web_HTTPApp.h"

namespace quillon {

// One server method: its name, its parameter names, and a call on an instance of its class
// with the arguments as text that returns the result as text.
struct TDSMethodInfo {
  std::string Name;
  std::vector<std::string> Params;
  std::string ReturnType = "string";
  std::function<std::string(TComponent& Instance, const std::vector<std::string>& Args)> Invoke;
};

struct TDSClassInfo {
  std::string ClassName;
  std::function<std::unique_ptr<TComponent>()> Create;
  std::vector<TDSMethodInfo> Methods;
  const TDSMethodInfo* FindMethod(std::string_view aName) const;
};

// A class reference as the server classes hand it out.
using TPersistentClass = const TDSClassInfo*;

class TDSServer;

class TDSServerClass : public TComponent {
 public:
  explicit TDSServerClass(TDSServer* aServer = nullptr) { SetServer(aServer); }
  ~TDSServerClass() override { SetServer(nullptr); }
  void SetServer(TDSServer* aServer);
  TDSServer* Server() const { return FServer; }
  // Asked for the class whenever a call needs it.
  std::function<void(TDSServerClass* DSServerClass, TPersistentClass& PersistentClass)> OnGetClass;
  TPersistentClass GetDSClass();

 private:
  TDSServer* FServer = nullptr;
};

class TDSServer : public TComponent {
 public:
  ~TDSServer() override;
  // The classes of the server classes, in the order they were attached.
  std::vector<TPersistentClass> ServerClasses();
  TPersistentClass FindClass(std::string_view aName);

 private:
  friend class TDSServerClass;
  std::vector<TDSServerClass*> FClasses;
};

// REST sessions. Each REST answer names a session; a client that sends it back keeps it.
// Bounded: idle sessions expire and the oldest goes when the table is full.
class TDSSessionManager {
 public:
  static constexpr std::size_t kMaxSessions = 4096;
  static constexpr std::chrono::minutes kIdleTimeout{20};

  // The manager once one exists (the first REST call makes it), else null.
  static TDSSessionManager* Instance();
  static TDSSessionManager& GetOrCreate();

  // The session of aId when it exists (it is touched), else a new session's id.
  std::string OpenSession(const std::string& aId);
  bool HasSession(const std::string& aId);
  void TerminateAllSessions();
  std::size_t SessionCount();

 private:
  using TClock = std::chrono::steady_clock;
  void Expire(TClock::time_point aNow);

  std::mutex FLock;  // guards FSessions
  std::map<std::string, TClock::time_point> FSessions;
};

// JSON text helpers of the REST answers. A reader of its own rather than the library's JSON
// document: the service needs only flat argument lists, and bad input (any depth, any bytes)
// must become a 400 answer, never an exception or deep recursion in a general parser.
// A JSON string literal of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
std::string DSJSONString(std::string_view aText);
// The strings (numbers and literals as their text) of a JSON array, or of the member
// "_parameters" of an object; false when the text is neither.
bool DSParseJSONArguments(std::string_view aText, std::vector<std::string>& aArgs);

}  // namespace quillon
