// The web-module framework the application is written against: abstract web request and
// response with their property indexes, action items, the dispatcher that runs
// BeforeDispatch, the actions, the dispatch components and the default action, and the web
// module. No transport here: a bridge supplies concrete requests and responses.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/lumTextMask.h"

namespace quillon {

// Dates of the framework: days since 1899-12-30, the fraction the time of day; -1 "none".
using TWebDateTime = double;

class EWebBrokerException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A base for everything that can be a Sender.
class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  std::string Name;
};

// A class reference: its name and a constructor with no owner.
struct TComponentClass {
  std::string ClassName;
  std::function<std::unique_ptr<TComponent>()> Create;
  explicit operator bool() const { return static_cast<bool>(Create); }
};

template <class T>
TComponentClass ClassOf(std::string aName) {
  return {std::move(aName), [] { return std::unique_ptr<TComponent>(std::make_unique<T>()); }};
}

// Name/value pairs in order; look-ups ignore letter case.
class TStrings {
 public:
  void Add(std::string aName, std::string aValue) { FItems.emplace_back(std::move(aName), std::move(aValue)); }
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::string& Names(int i) const { return FItems.at(static_cast<std::size_t>(i)).first; }
  const std::string& ValueFromIndex(int i) const { return FItems.at(static_cast<std::size_t>(i)).second; }
  int IndexOfName(std::string_view aName) const;
  std::string Values(std::string_view aName) const;
  void Clear() { FItems.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> FItems;
};

bool WebSameText(std::string_view a, std::string_view b);
// "a=1&b=x%20y": percent escapes and "+" decoded.
void ExtractHTTPFields(std::string_view aText, char aSeparator, TStrings& aFields, bool aDecode);
std::string WebURLDecode(std::string_view aText);

// The folder that relative template and file paths start from: the executable's folder
// unless set (a host with a --root option sets it before it serves).
std::string WebApplicationDirectory();
void SetWebApplicationDirectory(std::string aFolder);
// A path as given when absolute, else below WebApplicationDirectory.
std::string WebExpandPath(const std::string& aPath);

// RFC 1123, RFC 850 and asctime forms; -1 when none fits.
TWebDateTime ParseHTTPDate(std::string_view aText);
TWebDateTime UnixToWebDateTime(double aSeconds);
double WebDateTimeToUnix(TWebDateTime aValue);

enum class TMethodType { mtAny, mtGet, mtPut, mtPost, mtHead, mtDelete, mtPatch };

// One request. Derived classes answer the indexed getters and the body operations; the
// framework derives the method type and the query, content and cookie fields from them.
// A derived constructor calls InitializeRequest once its own state is in place.
class TWebRequest : public TObject {
 public:
  ~TWebRequest() override = default;

  // ---- The overridable slots. ----
  virtual std::string GetRemoteIP() { return GetStringVariable(21); }
  virtual std::string GetRawContent() = 0;
  virtual std::string GetStringVariable(int Index) = 0;
  virtual TWebDateTime GetDateVariable(int Index) = 0;
  virtual std::int64_t GetIntegerVariable(int Index) = 0;
  virtual std::string GetInternalPathInfo() { return PathInfo(); }
  virtual std::string GetRawPathInfo() { return PathInfo(); }
  virtual std::string GetInternalScriptName() { return ScriptName(); }
  // The whole body: what ReadTotalContent of a streaming transport would gather.
  virtual std::string ReadTotalContent() { return GetRawContent(); }
  virtual int ReadClient(void* Buffer, int Count) = 0;
  virtual std::string ReadString(int Count) = 0;
  virtual std::string TranslateURI(const std::string& URI) = 0;
  virtual int WriteClient(const void* Buffer, int Count) = 0;
  virtual bool WriteString(const std::string& AString) = 0;
  virtual bool WriteHeaders(int StatusCode, const std::string& ReasonString, const std::string& Headers) = 0;
  virtual std::string GetFieldByName(const std::string& Name) = 0;

  // ---- Properties by index. ----
  std::string Method() { return GetStringVariable(0); }
  std::string ProtocolVersion() { return GetStringVariable(1); }
  std::string URL() { return GetStringVariable(2); }
  std::string Query() { return GetStringVariable(3); }
  std::string PathInfo() { return GetStringVariable(4); }
  std::string PathTranslated() { return GetStringVariable(5); }
  std::string CacheControl() { return GetStringVariable(6); }
  TWebDateTime Date() { return GetDateVariable(7); }
  std::string Accept() { return GetStringVariable(8); }
  std::string From() { return GetStringVariable(9); }
  std::string Host() { return GetStringVariable(10); }
  TWebDateTime IfModifiedSince() { return GetDateVariable(11); }
  std::string Referer() { return GetStringVariable(12); }
  std::string UserAgent() { return GetStringVariable(13); }
  std::string ContentEncoding() { return GetStringVariable(14); }
  std::string ContentType() { return GetStringVariable(15); }
  std::int64_t ContentLength() { return GetIntegerVariable(16); }
  std::string ContentVersion() { return GetStringVariable(17); }
  std::string DerivedFrom() { return GetStringVariable(18); }
  TWebDateTime Expires() { return GetDateVariable(19); }
  std::string Title() { return GetStringVariable(20); }
  std::string RemoteAddr() { return GetStringVariable(21); }
  std::string RemoteHost() { return GetStringVariable(22); }
  std::string ScriptName() { return GetStringVariable(23); }
  std::int64_t ServerPort() { return GetIntegerVariable(24); }
  std::string Connection() { return GetStringVariable(26); }
  std::string Cookie() { return GetStringVariable(27); }
  std::string Authorization() { return GetStringVariable(28); }
  std::string RemoteIP() { return GetRemoteIP(); }
  std::string RawContent() { return GetRawContent(); }
  std::string InternalPathInfo() { return GetInternalPathInfo(); }
  std::string RawPathInfo() { return GetRawPathInfo(); }
  std::string InternalScriptName() { return GetInternalScriptName(); }
  // The body as text, read once.
  std::string Content();

  TMethodType MethodType() const { return FMethodType; }
  const TStrings& QueryFields();
  // Form fields of an "application/x-www-form-urlencoded" body.
  const TStrings& ContentFields();
  const TStrings& CookieFields();

 protected:
  // The framework's construction: classifies the method (it reads Method).
  void InitializeRequest();

 private:
  TMethodType FMethodType = TMethodType::mtAny;
  bool FQueryParsed = false, FContentParsed = false, FCookiesParsed = false, FContentRead = false;
  std::string FContent;
  TStrings FQueryFields, FContentFields, FCookieFields;
};

struct TCookie {
  std::string Name, Value, Domain, Path;
  TWebDateTime Expires = -1;
  bool Secure = false;
};

// One answer. Derived classes keep the values and send them. The framework owns the content
// stream it is given: the stream is handed over as a unique_ptr, so FreeContentStream is
// always in effect.
class TWebResponse : public TObject {
 public:
  explicit TWebResponse(TWebRequest* HTTPRequest) : FHTTPRequest(HTTPRequest) {}
  ~TWebResponse() override = default;

  virtual std::string GetStringVariable(int Index) = 0;
  virtual void SetStringVariable(int Index, const std::string& Value) = 0;
  virtual TWebDateTime GetDateVariable(int Index) = 0;
  virtual void SetDateVariable(int Index, TWebDateTime Value) = 0;
  virtual std::int64_t GetIntegerVariable(int Index) = 0;
  virtual void SetIntegerVariable(int Index, std::int64_t Value) = 0;
  virtual std::string GetContent() = 0;
  virtual void SetContent(const std::string& Value) = 0;
  // The framework's step: the previous stream goes, the new one is kept and ContentLength
  // becomes its size (of Content without a stream).
  virtual void SetContentStream(std::unique_ptr<std::istream> Value);
  virtual int GetStatusCode() = 0;
  virtual void SetStatusCode(int Value) = 0;
  virtual std::string GetLogMessage() = 0;
  virtual void SetLogMessage(const std::string& Value) = 0;
  virtual void SendResponse() = 0;
  virtual void SendRedirect(const std::string& URI) = 0;
  virtual void SendStream(std::istream& AStream) = 0;
  virtual bool Sent() { return false; }

  std::string Version() { return GetStringVariable(0); }
  std::string ReasonString() { return GetStringVariable(1); }
  void SetReasonString(const std::string& V) { SetStringVariable(1, V); }
  std::string Server() { return GetStringVariable(2); }
  void SetServer(const std::string& V) { SetStringVariable(2, V); }
  std::string WWWAuthenticate() { return GetStringVariable(3); }
  void SetWWWAuthenticate(const std::string& V) { SetStringVariable(3, V); }
  std::string Realm() { return GetStringVariable(4); }
  void SetRealm(const std::string& V) { SetStringVariable(4, V); }
  std::string Allow() { return GetStringVariable(5); }
  void SetAllow(const std::string& V) { SetStringVariable(5, V); }
  std::string Location() { return GetStringVariable(6); }
  void SetLocation(const std::string& V) { SetStringVariable(6, V); }
  std::string ContentEncoding() { return GetStringVariable(7); }
  void SetContentEncoding(const std::string& V) { SetStringVariable(7, V); }
  std::string ContentType() { return GetStringVariable(8); }
  void SetContentType(const std::string& V) { SetStringVariable(8, V); }
  std::string ContentVersion() { return GetStringVariable(9); }
  std::string DerivedFrom() { return GetStringVariable(10); }
  std::string Title() { return GetStringVariable(11); }
  std::int64_t ContentLength() { return GetIntegerVariable(0); }
  void SetContentLength(std::int64_t V) { SetIntegerVariable(0, V); }
  TWebDateTime Date() { return GetDateVariable(0); }
  void SetDate(TWebDateTime V) { SetDateVariable(0, V); }
  TWebDateTime Expires() { return GetDateVariable(1); }
  void SetExpires(TWebDateTime V) { SetDateVariable(1, V); }
  TWebDateTime LastModified() { return GetDateVariable(2); }
  void SetLastModified(TWebDateTime V) { SetDateVariable(2, V); }
  std::string Content() { return GetContent(); }
  int StatusCode() { return GetStatusCode(); }
  std::istream* ContentStream() const { return FContentStream.get(); }

  // Further header lines of the framework ("Name", "value"), in order.
  void SetCustomHeader(const std::string& Name, const std::string& Value);
  TStrings& CustomHeaders() { return FCustomHeaders; }
  std::vector<TCookie>& Cookies() { return FCookies; }
  TWebRequest* HTTPRequest() const { return FHTTPRequest; }

  bool FreeContentStream = true;

 private:
  TWebRequest* FHTTPRequest;
  std::unique_ptr<std::istream> FContentStream;
  TStrings FCustomHeaders;
  std::vector<TCookie> FCookies;
};

// Size of a seekable stream; its position is kept.
std::int64_t StreamSize(std::istream& aStream);

using THTTPMethodEvent =
    std::function<void(TObject* Sender, TWebRequest& Request, TWebResponse& Response, bool& Handled)>;

// Anything that makes page content (a page producer).
class IProduceContent {
 public:
  virtual ~IProduceContent() = default;
  virtual std::string Content() = 0;
};

class TCustomWebDispatcher;

class TWebActionItem {
 public:
  std::string Name;
  std::string PathInfo;  // a mask; letter case ignored
  TMethodType MethodType = TMethodType::mtAny;
  bool Default = false;
  bool Enabled = true;
  IProduceContent* Producer = nullptr;  // not owned
  THTTPMethodEvent OnAction;            // wins over Producer

  bool Matches(TWebRequest& aRequest) const;
  bool DispatchAction(TCustomWebDispatcher* aSender, TWebRequest& aRequest, TWebResponse& aResponse);
};

// A component that answers the requests under its mask.
class IWebDispatch {
 public:
  virtual ~IWebDispatch() = default;
  virtual TMethodType DispatchMethodType() { return TMethodType::mtAny; }
  virtual bool DispatchMask(TWebRequest& Request) = 0;
  virtual bool DispatchRequest(TObject* Sender, TWebRequest& Request, TWebResponse& Response) = 0;
};

class IWebExceptionHandler {
 public:
  virtual ~IWebExceptionHandler() = default;
  virtual void HandleException(const std::exception& E, bool& Handled) = 0;
};

class IWebRequestHandler {
 public:
  virtual ~IWebRequestHandler() = default;
  virtual bool HandleRequest(TWebRequest& Request, TWebResponse& Response) = 0;
};

using TWebExceptionEvent = std::function<void(TObject* Sender, const std::exception& E, bool& Handled)>;

class TCustomWebDispatcher : public TComponent, public IWebExceptionHandler {
 public:
  // The dispatch: BeforeDispatch, the enabled actions in order, the dispatch components,
  // the default action, and AfterDispatch when one of them handled the request.
  virtual bool DispatchAction(TWebRequest& Request, TWebResponse& Response);
  // Without OnException: the error is shown on stderr and, unless the answer already went
  // out, the client gets 500 with a short text. Always handled.
  void HandleException(const std::exception& E, bool& Handled) override;

  TWebActionItem& AddAction(std::string aName, std::string aPathInfo, bool aDefault = false);
  TWebActionItem* ActionByName(std::string_view aName);
  void AddDispatchComponent(IWebDispatch* aComponent) { FDispatchList.push_back(aComponent); }

  // The request of the current dispatch, until ClearCurrent.
  TWebRequest* Request() const { return FRequest; }
  TWebResponse* Response() const { return FResponse; }
  void ClearCurrent() {
    FRequest = nullptr;
    FResponse = nullptr;
  }

  THTTPMethodEvent BeforeDispatch;
  THTTPMethodEvent AfterDispatch;
  TWebExceptionEvent OnException;

 private:
  std::vector<std::unique_ptr<TWebActionItem>> FActions;
  std::vector<IWebDispatch*> FDispatchList;
  TWebRequest* FRequest = nullptr;
  TWebResponse* FResponse = nullptr;
};

class TWebModule : public TCustomWebDispatcher {
 public:
  std::function<void(TObject* Sender)> OnCreate;

 protected:
  // A module's constructor calls this once its components are in place.
  void DoCreate() {
    if (OnCreate) OnCreate(this);
  }
};

}  // namespace quillon
