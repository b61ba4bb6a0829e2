// Server classes, sessions and the JSON text of REST answers.
#include "platform/webbroker/Datasnap_DSServer.h"

#include <algorithm>
#include <cstdio>

#include "platform/win32/Guid.h"

namespace quillon {

const TDSMethodInfo* TDSClassInfo::FindMethod(std::string_view aName) const {
  for (const TDSMethodInfo& m : Methods) {
    if (WebSameText(m.Name, aName)) return &m;
  }
  return nullptr;
}

void TDSServerClass::SetServer(TDSServer* aServer) {
  if (FServer == aServer) return;
  if (FServer != nullptr) {
    auto& list = FServer->FClasses;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  FServer = aServer;
  if (FServer != nullptr) FServer->FClasses.push_back(this);
}

TPersistentClass TDSServerClass::GetDSClass() {
  TPersistentClass cls = nullptr;
  if (OnGetClass) OnGetClass(this, cls);
  return cls;
}

TDSServer::~TDSServer() {
  for (TDSServerClass* c : std::vector<TDSServerClass*>(FClasses)) c->SetServer(nullptr);
}

std::vector<TPersistentClass> TDSServer::ServerClasses() {
  std::vector<TPersistentClass> out;
  for (TDSServerClass* c : FClasses) {
    if (TPersistentClass cls = c->GetDSClass()) out.push_back(cls);
  }
  return out;
}

TPersistentClass TDSServer::FindClass(std::string_view aName) {
  for (TPersistentClass cls : ServerClasses()) {
    if (WebSameText(cls->ClassName, aName)) return cls;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// Sessions

namespace {
std::mutex& ManagerLock() {
  static std::mutex m;
  return m;
}
TDSSessionManager*& ManagerPointer() {
  static TDSSessionManager* p = nullptr;
  return p;
}
}  // namespace

TDSSessionManager* TDSSessionManager::Instance() {
  std::lock_guard lock(ManagerLock());
  return ManagerPointer();
}

TDSSessionManager& TDSSessionManager::GetOrCreate() {
  std::lock_guard lock(ManagerLock());
  // Lives to the end of the process: REST calls may be in flight while it ends.
  if (ManagerPointer() == nullptr) ManagerPointer() = new TDSSessionManager();
  return *ManagerPointer();
}

void TDSSessionManager::Expire(TClock::time_point aNow) {
  for (auto it = FSessions.begin(); it != FSessions.end();) {
    it = aNow - it->second > kIdleTimeout ? FSessions.erase(it) : std::next(it);
  }
}

std::string TDSSessionManager::OpenSession(const std::string& aId) {
  const auto now = TClock::now();
  std::lock_guard lock(FLock);
  if (auto it = FSessions.find(aId); !aId.empty() && it != FSessions.end() && now - it->second <= kIdleTimeout) {
    it->second = now;
    return aId;
  }
  if (FSessions.size() >= kMaxSessions) Expire(now);
  if (FSessions.size() >= kMaxSessions) {
    auto oldest = std::min_element(FSessions.begin(), FSessions.end(),
                                   [](const auto& a, const auto& b) { return a.second < b.second; });
    FSessions.erase(oldest);
  }
  std::string id = platform::NewGuidHex32();
  FSessions.emplace(id, now);
  return id;
}

bool TDSSessionManager::HasSession(const std::string& aId) {
  std::lock_guard lock(FLock);
  return FSessions.count(aId) != 0;
}

void TDSSessionManager::TerminateAllSessions() {
  std::lock_guard lock(FLock);
  FSessions.clear();
}

std::size_t TDSSessionManager::SessionCount() {
  std::lock_guard lock(FLock);
  return FSessions.size();
}

// ---------------------------------------------------------------------------------------
// JSON text

namespace {

// Length of the UTF-8 sequence at aText[i], or 0 when it is not well formed.
std::size_t Utf8Length(std::string_view aText, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(aText[k]); };
  const unsigned char c = b(i);
  std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (n == 0 || i + n > aText.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  if (n == 2 && c < 0xC2) return 0;                       // overlong
  if (n == 3 && c == 0xE0 && b(i + 1) < 0xA0) return 0;   // overlong
  if (n == 3 && c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogates
  if (n == 4 && (c > 0xF4 || (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
  return n;
}

void AppendUtf8(std::string& aOut, unsigned aCode) {
  if (aCode < 0x80) {
    aOut += static_cast<char>(aCode);
  } else if (aCode < 0x800) {
    aOut += static_cast<char>(0xC0 | (aCode >> 6));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else if (aCode < 0x10000) {
    aOut += static_cast<char>(0xE0 | (aCode >> 12));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  } else {
    aOut += static_cast<char>(0xF0 | (aCode >> 18));
    aOut += static_cast<char>(0x80 | ((aCode >> 12) & 0x3F));
    aOut += static_cast<char>(0x80 | ((aCode >> 6) & 0x3F));
    aOut += static_cast<char>(0x80 | (aCode & 0x3F));
  }
}

// A small recursive-descent reader, bounded in depth, for the argument lists of REST calls.
class TJSONReader {
 public:
  explicit TJSONReader(std::string_view aText) : FText(aText) {}

  bool Arguments(std::vector<std::string>& aArgs) {
    Blank();
    if (Peek() == '[') return Array(aArgs) && End();
    if (Peek() != '{') return false;
    ++FAt;
    bool found = false;
    Blank();
    if (Peek() == '}') return false;  // no "_parameters"
    while (true) {
      std::string name;
      Blank();
      if (!String(name)) return false;
      Blank();
      if (Peek() != ':') return false;
      ++FAt;
      Blank();
      if (name == "_parameters" && !found) {
        if (!Array(aArgs)) return false;
        found = true;
      } else if (!Skip(0)) {
        return false;
      }
      Blank();
      if (Peek() == ',') {
        ++FAt;
        continue;
      }
      if (Peek() != '}') return false;
      ++FAt;
      return End() && found;
    }
  }

 private:
  static constexpr int kMaxDepth = 32;

  char Peek() const { return FAt < FText.size() ? FText[FAt] : '\0'; }
  void Blank() {
    while (FAt < FText.size() && (FText[FAt] == ' ' || FText[FAt] == '\t' || FText[FAt] == '\r' || FText[FAt] == '\n')) ++FAt;
  }
  bool End() {
    Blank();
    return FAt == FText.size();
  }

  bool Hex4(unsigned& aOut) {
    if (FAt + 4 > FText.size()) return false;
    aOut = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = FText[FAt++];
      aOut <<= 4;
      if (c >= '0' && c <= '9') aOut |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') aOut |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') aOut |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  bool String(std::string& aOut) {
    if (Peek() != '"') return false;
    ++FAt;
    while (FAt < FText.size()) {
      const char c = FText[FAt++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        aOut += c;
        continue;
      }
      const char e = Peek();
      ++FAt;
      switch (e) {
        case '"': aOut += '"'; break;
        case '\\': aOut += '\\'; break;
        case '/': aOut += '/'; break;
        case 'b': aOut += '\b'; break;
        case 'f': aOut += '\f'; break;
        case 'n': aOut += '\n'; break;
        case 'r': aOut += '\r'; break;
        case 't': aOut += '\t'; break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code < 0xDC00 && FText.substr(FAt, 2) == "\\u") {
            const std::size_t back = FAt;
            FAt += 2;
            unsigned low = 0;
            if (Hex4(low) && low >= 0xDC00 && low < 0xE000) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              FAt = back;
              code = 0xFFFD;
            }
          } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;  // a lone surrogate
          }
          AppendUtf8(aOut, code);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  // A number or literal as its text.
  bool Scalar(std::string& aOut) {
    const std::size_t start = FAt;
    while (FAt < FText.size() && std::string_view("+-.0123456789eEtruefalsn").find(FText[FAt]) != std::string_view::npos) ++FAt;
    if (FAt == start) return false;
    aOut.assign(FText.substr(start, FAt - start));
    return true;
  }

  bool Array(std::vector<std::string>& aArgs) {
    if (Peek() != '[') return false;
    ++FAt;
    Blank();
    if (Peek() == ']') return ++FAt, true;
    while (true) {
      Blank();
      std::string v;
      if (Peek() == '"' ? !String(v) : !Scalar(v)) return false;
      aArgs.push_back(std::move(v));
      Blank();
      if (Peek() == ',') {
        ++FAt;
        continue;
      }
      if (Peek() != ']') return false;
      ++FAt;
      return true;
    }
  }

  bool Skip(int aDepth) {
    if (aDepth > kMaxDepth) return false;
    Blank();
    const char c = Peek();
    if (c == '"') {
      std::string ignored;
      return String(ignored);
    }
    if (c == '[' || c == '{') {
      const char close = c == '[' ? ']' : '}';
      ++FAt;
      Blank();
      if (Peek() == close) return ++FAt, true;
      while (true) {
        Blank();
        if (c == '{') {
          std::string name;
          if (!String(name)) return false;
          Blank();
          if (Peek() != ':') return false;
          ++FAt;
        }
        if (!Skip(aDepth + 1)) return false;
        Blank();
        if (Peek() == ',') {
          ++FAt;
          continue;
        }
        if (Peek() != close) return false;
        ++FAt;
        return true;
      }
    }
    std::string ignored;
    return Scalar(ignored);
  }

  std::string_view FText;
  std::size_t FAt = 0;
};

}  // namespace

std::string DSJSONString(std::string_view aText) {
  std::string out = "\"";
  out.reserve(aText.size() + 2);
  for (std::size_t i = 0; i < aText.size();) {
    const unsigned char c = static_cast<unsigned char>(aText[i]);
    const std::size_t n = Utf8Length(aText, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(aText.substr(i, n));
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  out += '"';
  return out;
}

bool DSParseJSONArguments(std::string_view aText, std::vector<std::string>& aArgs) {
  std::vector<std::string> args;
  TJSONReader reader(aText);
  if (!reader.Arguments(args)) return false;
  aArgs = std::move(args);
  return true;
}

}  // namespace quillon
