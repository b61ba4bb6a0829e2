// The document registry and placeholder filling.
#include "server/lumWebSocket_HTTPResponse.h"

#include <mutex>
#include <vector>

#include "connection/lumWebSocket_RequestLines.h"
#include "platform/win32/Resources.h"

namespace quillon {

namespace {

template <class T>
TlumWSHTTPResponse_BaseClass ClassOf() {
  return {&T::GetFileName, []() -> std::unique_ptr<TlumWSHTTPResponse_Base> {
            return std::make_unique<T>();
          }};
}

struct TRegistry {
  std::mutex Lock;
  std::vector<TlumWSHTTPResponse_BaseClass> Classes;
};

// Made on first use, with the documents in their fixed order, so that no static
// initialisation order matters.
TRegistry& Registry() {
  static TRegistry registry{{},
                            {ClassOf<TlumWSProtocol_JS_Base>(), ClassOf<TlumWSProtocol_JS_Flash>(),
                             ClassOf<TlumWSProtocol_JS_EventSource>(),
                             ClassOf<TlumWSProtocol_HTML_Base>()}};
  return registry;
}

}  // namespace

std::string TlumWSResourceResponse::GetContent() {
  const auto bytes = platform::FindResourceByName(FResourceName);
  return bytes ? std::string(*bytes) : std::string();
}

void TlumWSHTTPResponse::RegisterFileName(TlumWSHTTPResponse_BaseClass aClass) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Lock);
  r.Classes.push_back(aClass);
}

std::string TlumWSHTTPResponse::GetResponseMessage(std::string_view aFileName) {
  std::vector<TlumWSHTTPResponse_BaseClass> classes;
  {
    TRegistry& r = Registry();
    std::lock_guard lock(r.Lock);
    classes = r.Classes;
  }
  std::string out;
  for (const std::string& name : SplitDelimited(aFileName)) {
    for (const auto& c : classes) {
      if (!SameText(c.GetFileName(), name)) continue;
      // A document whose resource is missing is unknown, not an empty page.
      const std::string content = c.Create()->GetContent();
      if (!content.empty()) {
        out += content;
        out += "\r\n";
      }
      break;
    }
  }
  return out;
}

std::string ReplaceDocumentPlaceholders(std::string_view aText, std::string_view aLocalIP,
                                        int aLocalPort, bool aSSL) {
  std::string host(aLocalIP);
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  const std::string port = std::to_string(aLocalPort);
  const std::string_view ssl = aSSL ? "s" : "";
  struct TPair {
    std::string_view From;
    std::string_view To;
  };
  const TPair pairs[] = {{"{%host%}", host}, {"{%port%}", port}, {"{%ssl%}", ssl}};
  std::string out;
  out.reserve(aText.size());
  std::size_t i = 0;
  while (i < aText.size()) {
    bool replaced = false;
    if (aText[i] == '{') {
      for (const TPair& p : pairs) {
        if (aText.size() - i >= p.From.size() && SameText(aText.substr(i, p.From.size()), p.From)) {
          out += p.To;
          i += p.From.size();
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out += aText[i++];
  }
  return out;
}

}  // namespace quillon
