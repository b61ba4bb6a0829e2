// The built-in documents: the classes that load a document from its named resource, the
// module-wide registry of document classes, and the placeholder filling done per request.
// Choosing which request gets which document is the server's (DoBuiltInDocument).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quillon {

class TlumWSHTTPResponse_Base {
 public:
  virtual ~TlumWSHTTPResponse_Base() = default;
  // The document text; empty when its resource is missing.
  virtual std::string GetContent() = 0;
};

// A document class as a value: its name and how to make one.
struct TlumWSHTTPResponse_BaseClass {
  std::string_view (*GetFileName)();
  std::unique_ptr<TlumWSHTTPResponse_Base> (*Create)();
};

// Loads the named raw resource.
class TlumWSResourceResponse : public TlumWSHTTPResponse_Base {
 public:
  explicit TlumWSResourceResponse(std::string_view aResourceName) : FResourceName(aResourceName) {}
  std::string GetContent() override;

 private:
  std::string_view FResourceName;
};

class TlumWSProtocol_JS_Base : public TlumWSResourceResponse {
 public:
  TlumWSProtocol_JS_Base() : TlumWSResourceResponse("LUM_JS_QUILLON") {}
  static std::string_view GetFileName() { return "Quillon.js"; }
};
class TlumWSProtocol_JS_Flash : public TlumWSResourceResponse {
 public:
  TlumWSProtocol_JS_Flash() : TlumWSResourceResponse("LUM_JS_QUILLONFLASH") {}
  static std::string_view GetFileName() { return "QuillonFlash.js"; }
};
class TlumWSProtocol_JS_EventSource : public TlumWSResourceResponse {
 public:
  TlumWSProtocol_JS_EventSource() : TlumWSResourceResponse("LUM_JS_QUILLONEVENTSOURCE") {}
  static std::string_view GetFileName() { return "QuillonEventSource.js"; }
};
class TlumWSProtocol_HTML_Base : public TlumWSResourceResponse {
 public:
  TlumWSProtocol_HTML_Base() : TlumWSResourceResponse("LUM_HTML_QUILLON") {}
  static std::string_view GetFileName() { return "Quillon.html"; }
};

inline constexpr std::string_view kMovieResourceName = "LUM_WEBSOCKETMAIN_SWF";

class TlumWSHTTPResponse {
 public:
  // Appends a document class; the four documents above are registered before any use.
  static void RegisterFileName(TlumWSHTTPResponse_BaseClass aClass);
  // For each comma-separated name, the first class whose name equals it ignoring case
  // contributes its content and CR LF; unknown names and missing resources contribute nothing.
  static std::string GetResponseMessage(std::string_view aFileName);
};

// Replaces every {%host%}, {%port%} and {%ssl%} (letter case ignored). An IPv6 host goes in
// brackets so that the URLs it ends up in stay valid.
std::string ReplaceDocumentPlaceholders(std::string_view aText, std::string_view aLocalIP,
                                        int aLocalPort, bool aSSL);

}  // namespace quillon
