// The web module's components, actions and handlers.
#include "app/WebModuleUnit1.h"

#include <sys/stat.h>

#include <ctime>
#include <mutex>

#include "app/ServerMethodsUnit1.h"
#include "platform/webbroker/Web_WebReq.h"

namespace quillon {

namespace {

// Regenerations of the proxy run one at a time: the second finds the file up to date.
std::mutex& ProxyLock() {
  static std::mutex m;
  return m;
}

bool ModificationTime(const char* aPath, timespec& aTime) {
  struct stat st {};
  if (::stat(aPath, &st) != 0) return false;
  aTime = st.st_mtim;
  return true;
}

bool Newer(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

std::string NamePart(const std::string& aFileName) {
  const std::size_t slash = aFileName.find_last_of("/\\");
  return slash == std::string::npos ? aFileName : aFileName.substr(slash + 1);
}

std::string FolderPart(const std::string& aFileName) {
  const std::size_t slash = aFileName.find_last_of("/\\");
  return slash == std::string::npos ? std::string() : aFileName.substr(0, slash + 1);
}

}  // namespace

bool IsLocalClient(const std::string& aRemoteAddr) {
  return aRemoteAddr == "127.0.0.1" || aRemoteAddr == "0:0:0:0:0:0:0:1" || aRemoteAddr == "::1";
}

TComponentClass WebModule1Class() { return ClassOf<TWebModule1>("TWebModule1"); }

TWebModule1::TWebModule1() {
  Name = "WebModule1";
  using namespace std::placeholders;
  DSServer1 = std::make_unique<TDSServer>();
  DSHTTPWebDispatcher1 = std::make_unique<TDSHTTPWebDispatcher>();
  DSHTTPWebDispatcher1->Server = DSServer1.get();
  DSHTTPWebDispatcher1->PathInfo = "datasnap*";
  DSServerClass1 = std::make_unique<TDSServerClass>(DSServer1.get());
  DSServerClass1->OnGetClass = [this](TDSServerClass* c, TPersistentClass& p) { DSServerClass1GetClass(c, p); };

  auto tagHandler = [this](TObject* s, TTag t, const std::string& n, const TStrings& p, std::string& r) {
    ServerFunctionInvokerHTMLTag(s, t, n, p, r);
  };
  ServerFunctionInvoker = std::make_unique<TPageProducer>();
  ServerFunctionInvoker->HTMLFile = "templates/serverfunctioninvoker.html";
  ServerFunctionInvoker->OnHTMLTag = tagHandler;
  ServerFunctionInvoker->Dispatcher = this;
  ReverseString = std::make_unique<TPageProducer>();
  ReverseString->HTMLFile = "templates/reversestring.html";
  ReverseString->OnHTMLTag = tagHandler;
  ReverseString->Dispatcher = this;

  WebFileDispatcher1 = std::make_unique<TWebFileDispatcher>();
  WebFileDispatcher1->WebFileExtensions = {
      {"text/css", "css"},        {"text/javascript", "js"},        {"image/x-png", "png"},
      {"text/html", "htm;html"},  {"image/jpeg", "jpg;jpeg;jpe"},   {"image/gif", "gif"},
  };
  WebFileDispatcher1->WebDirectories = {{true, "*"}, {false, "\\templates\\*"}};
  WebFileDispatcher1->RootDirectory = ".";
  WebFileDispatcher1->VirtualPath = "/";
  WebFileDispatcher1->BeforeDispatch = [this](TObject* s, const std::string& f, TWebRequest& q, TWebResponse& r,
                                              bool& h) { WebFileDispatcher1BeforeDispatch(s, f, q, r, h); };

  DSServerMetaDataProvider1 = std::make_unique<TDSServerMetaDataProvider>();
  DSServerMetaDataProvider1->Server = DSServer1.get();
  DSProxyGenerator1 = std::make_unique<TDSProxyGenerator>();
  DSProxyGenerator1->ExcludeClasses = "DSMetadata";
  DSProxyGenerator1->MetaDataProvider = DSServerMetaDataProvider1.get();
  DSProxyGenerator1->Writer = "Java Script REST";

  AddAction("ReverseStringAction", "/ReverseString").Producer = ReverseString.get();
  AddAction("ServerFunctionInvokerAction", "/ServerFunctionInvoker").Producer = ServerFunctionInvoker.get();
  AddAction("DefaultAction", "/", true).OnAction = [this](TObject* s, TWebRequest& q, TWebResponse& r, bool& h) {
    WebModuleDefaultAction(s, q, r, h);
  };
  // Dispatch components in declaration order: REST before files.
  AddDispatchComponent(DSHTTPWebDispatcher1.get());
  AddDispatchComponent(WebFileDispatcher1.get());

  OnCreate = [this](TObject* s) { WebModuleCreate(s); };
  BeforeDispatch = [this](TObject* s, TWebRequest& q, TWebResponse& r, bool& h) { WebModuleBeforeDispatch(s, q, r, h); };
  DoCreate();
}

TWebModule1::~TWebModule1() = default;

void TWebModule1::WebModuleCreate(TObject* /*Sender*/) {
  FServerFunctionInvokerAction = ActionByName("ServerFunctionInvokerAction");
}

void TWebModule1::WebModuleBeforeDispatch(TObject* /*Sender*/, TWebRequest& Request, TWebResponse& /*Response*/,
                                          bool& /*Handled*/) {
  if (FServerFunctionInvokerAction != nullptr) FServerFunctionInvokerAction->Enabled = IsLocalClient(Request.RemoteAddr());
}

void TWebModule1::WebModuleDefaultAction(TObject* /*Sender*/, TWebRequest& Request, TWebResponse& Response,
                                         bool& /*Handled*/) {
  const std::string path = Request.InternalPathInfo();
  if (path.empty() || path == "/") {
    Response.SetContent(ReverseString->Content());
  } else {
    Response.SendRedirect(Request.InternalScriptName() + "/");
  }
}

void TWebModule1::ServerFunctionInvokerHTMLTag(TObject* /*Sender*/, TTag /*Tag*/, const std::string& TagString,
                                               const TStrings& /*TagParams*/, std::string& ReplaceText) {
  TWebRequest* request = Request();
  if (request == nullptr) return;
  if (WebSameText(TagString, "urlpath")) {
    ReplaceText = request->InternalScriptName();
  } else if (WebSameText(TagString, "port")) {
    ReplaceText = std::to_string(request->ServerPort());
  } else if (WebSameText(TagString, "host")) {
    ReplaceText = request->Host();
  } else if (WebSameText(TagString, "classname")) {
    ReplaceText = TServerMethods1::ClassInfo()->ClassName;
  } else if (WebSameText(TagString, "loginrequired")) {
    ReplaceText = DSHTTPWebDispatcher1->AuthenticationManager != nullptr ? "true" : "false";
  } else if (WebSameText(TagString, "serverfunctionsjs")) {
    ReplaceText = request->InternalScriptName() + "/js/serverfunctions.js";
  } else if (WebSameText(TagString, "servertime")) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[64] = "";
    if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof text, "%x %X", &local);
    ReplaceText = text;
  } else if (WebSameText(TagString, "serverfunctioninvoker")) {
    ReplaceText = IsLocalClient(request->RemoteAddr())
                      ? "<div><a href=\"" + request->InternalScriptName() +
                            "/ServerFunctionInvoker\" target=\"_blank\">Server Functions</a></div>"
                      : std::string();
  }
}

void TWebModule1::WebFileDispatcher1BeforeDispatch(TObject* /*Sender*/, const std::string& AFileName,
                                                   TWebRequest& /*Request*/, TWebResponse& /*Response*/,
                                                   bool& Handled) {
  Handled = false;
  if (!WebSameText(NamePart(AFileName), "serverfunctions.js")) return;
  std::lock_guard lock(ProxyLock());
  timespec fileTime{}, exeTime{};
  bool generate = false;
  struct stat st {};
  if (::stat(AFileName.c_str(), &st) != 0) {
    generate = true;
  } else if (ModificationTime(AFileName.c_str(), fileTime) && ModificationTime("/proc/self/exe", exeTime)) {
    generate = Newer(exeTime, fileTime);
  }
  if (!generate) return;
  DSProxyGenerator1->TargetDirectory = FolderPart(AFileName);
  DSProxyGenerator1->TargetUnitName = NamePart(AFileName);
  DSProxyGenerator1->Write();
}

void TWebModule1::DSServerClass1GetClass(TDSServerClass* /*DSServerClass*/, TPersistentClass& PersistentClass) {
  PersistentClass = TServerMethods1::ClassInfo();
}

}  // namespace quillon
